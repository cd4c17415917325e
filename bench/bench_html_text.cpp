// Time of the HTML engine on large bodies of several shapes, by size: each should grow linearly.
// Run: build with -DDROPRELAY_BENCH=ON, then build/bench/bench_html_text.
#include <benchmark/benchmark.h>

#include <string>

#include "html/html_text.h"

namespace {

// Repeats `unit` until the page reaches `bytes`.
std::string Page(const std::string& head, const std::string& unit, std::size_t bytes) {
  std::string page = head;
  while (page.size() < bytes) page += unit;
  return page;
}

void Run(benchmark::State& state, const std::string& page) {
  for (auto _ : state) benchmark::DoNotOptimize(droprelay::html::HtmlInnerText(page));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(page.size()));
}

void Paragraphs(benchmark::State& state) {
  Run(state, Page("<html><body>", "<p>Привет, это абзац текста &amp; <b>жирный</b> текст.</p>\n",
                  static_cast<std::size_t>(state.range(0))));
}
void Table(benchmark::State& state) {
  Run(state, Page("<table>", "<tr><td>a</td><td class=x>b</td><td style='display:none'>c</td></tr>",
                  static_cast<std::size_t>(state.range(0))));
}
void DeepNesting(benchmark::State& state) {
  Run(state, Page("", "<div><b>x", static_cast<std::size_t>(state.range(0))));
}
void StyledElements(benchmark::State& state) {
  std::string sheet = "<style>";
  for (int i = 0; i < 2000; ++i)
    sheet += ".c" + std::to_string(i) + " span:not(.k){display:none} #i" + std::to_string(i) +
             " > b{visibility:hidden}\n";
  sheet += "div span{text-transform:uppercase} @media (max-width:600px){div{display:none}}</style>";
  Run(state, Page(sheet, "<div class='c7 k'><span>one</span> <b id=i3>two</b></div>\n",
                  static_cast<std::size_t>(state.range(0))));
}
void ManyStyleRules(benchmark::State& state) {
  Run(state, Page("<style>", "div.a p > span ~ i:nth-child(2n+1), .b[href^=x] { display: none }\n",
                  static_cast<std::size_t>(state.range(0))) +
                 "</style><div class=a><p><span></span><i>x</i></p></div>");
}

void SiblingSelectors(benchmark::State& state) {
  Run(state, Page("<style>.x ~ .y{display:none} .q .z{display:none}</style>", "<b class=y>t</b>",
                  static_cast<std::size_t>(state.range(0))));
}

// R rules ".aN > .bN ~ .cN {display:block}" over E siblings under one element bearing every aN
// (or, `miss`, none of them), sibling i bearing bK and cK for K = i mod R: the cost must grow
// about linearly with R and with E.
std::string HostilePage(int rules, int elements, bool miss) {
  std::string page = "<html><head><style>\n";
  for (int n = 0; n < rules; ++n) {
    std::string k = std::to_string(n);
    page += ".a" + k + " > .b" + k + " ~ .c" + k + " {display:block}\n";
  }
  page += "</style></head><body><div class=\"";
  for (int n = 0; n < rules && !miss; ++n) page += "a" + std::to_string(n) + " ";
  page += "x\">\n";
  for (int i = 0; i < elements; ++i) {
    std::string k = std::to_string(i % rules);
    page += "<p class=\"b" + k + " c" + k + "\">item " + std::to_string(i) + ", a line of words</p>\n";
  }
  return page + "</div></body></html>\n";
}

void HostileSiblings(benchmark::State& state) {
  Run(state, HostilePage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                         state.range(2) != 0));
}

// Rules whose subject is any element: every rule is tried on every element.
void UniversalRules(benchmark::State& state) {
  std::string page = "<style>";
  for (int n = 0; n < state.range(0); ++n)
    page += ":not(.q" + std::to_string(n) + ") ~ * {white-space:pre-line}\n";
  page += "</style><div>";
  for (int i = 0; i < 5000; ++i) page += "<span>w" + std::to_string(i) + "</span>\n";
  Run(state, page + "</div>");
}

// A descendant chain over a deep tree: every element asks about all its ancestors.
void DeepDescendants(benchmark::State& state) {
  std::string page = "<style>";
  for (int n = 0; n < state.range(0); ++n) {
    std::string k = std::to_string(n);
    page += ".d" + k + " .e" + k + " .f" + k + " {display:block}\n";
  }
  page += "</style>";
  for (int i = 0; i < 400; ++i) {
    std::string k = std::to_string(i % state.range(0));
    page += "<div class=\"d" + k + " e" + k + " f" + k + "\">t";
  }
  Run(state, page);
}

constexpr std::int64_t kSmall = 1 << 20;
constexpr std::int64_t kLarge = 20 << 20;

}  // namespace

BENCHMARK(Paragraphs)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(Table)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(DeepNesting)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(StyledElements)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(ManyStyleRules)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(SiblingSelectors)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(HostileSiblings)
    ->ArgNames({"rules", "elements", "miss"})
    ->Args({250, 20000, 0})
    ->Args({500, 20000, 0})
    ->Args({1000, 20000, 0})
    ->Args({2000, 20000, 0})
    ->Args({1000, 5000, 0})
    ->Args({1000, 10000, 0})
    ->Args({1000, 40000, 0})
    ->Args({1000, 20000, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(UniversalRules)->Arg(100)->Arg(200)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK(DeepDescendants)->Arg(100)->Arg(200)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

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

constexpr std::int64_t kSmall = 1 << 20;
constexpr std::int64_t kLarge = 20 << 20;

}  // namespace

BENCHMARK(Paragraphs)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(Table)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(DeepNesting)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(StyledElements)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(ManyStyleRules)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(SiblingSelectors)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

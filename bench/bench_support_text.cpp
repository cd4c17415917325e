// Throughput of the support routines on relay-sized inputs: code-page conversion, repeated
// replacement over long texts (linear, not quadratic), the relay's one read of a drop file and
// message composition.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "app/drop_file.h"
#include "mail/compose.h"
#include "text/convert.h"
#include "submit/submission.h"
#include "text/string_utils.h"

namespace {

std::string CyrillicUtf8(std::size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += "Съешь же ещё этих мягких французских булок, да выпей чаю — «ок».\r\n";
  return text;
}

void BM_Utf8ToCp1251(benchmark::State& state) {
  const std::string text = CyrillicUtf8(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(droprelay::Utf8ToCp1251(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Utf8ToCp1251)->Arg(4 << 10)->Arg(1 << 20);

void BM_Cp1251ToUtf8(benchmark::State& state) {
  const std::string text = droprelay::Utf8ToCp1251(CyrillicUtf8(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(droprelay::Cp1251ToUtf8(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Cp1251ToUtf8)->Arg(1 << 20);

// Every occurrence collapses step by step; the cost must grow with the text, not its square.
void BM_StringReplaceAllCollapse(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += "word;;;;;;";
  for (auto _ : state) benchmark::DoNotOptimize(droprelay::StringReplaceAll(text, ";;", ";"));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_StringReplaceAllCollapse)->Arg(16 << 10)->Arg(256 << 10)->Arg(4 << 20);

// The open, the lock and the read the relay does for every drop file.
void BM_ReadDropFile(benchmark::State& state) {
  std::string path = "/tmp/droprelay-bench-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  ::close(fd);
  std::ofstream(path, std::ios::binary) << std::string(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(droprelay::ReadDropFile(path));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0)));
  ::unlink(path.c_str());
}
BENCHMARK(BM_ReadDropFile)->Arg(64 << 10)->Arg(8 << 20);

void BM_ComposeMessage(benchmark::State& state) {
  droprelay::OutgoingMessage message;
  message.from = "relay@example.org";
  message.to = {"a@example.org"};
  message.subject = "Отчёт за месяц";
  message.body = CyrillicUtf8(8 << 10);
  message.attachments.push_back({"отчёт.pdf", std::string(static_cast<std::size_t>(state.range(0)), '\x7F')});
  const droprelay::MessageStamp stamp{"Mon, 7 Dec 2026 10:00:00 +0000", "<x@example.org>", "=_b"};
  for (auto _ : state) benchmark::DoNotOptimize(droprelay::ComposeMessage(message, stamp));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0)));
}
BENCHMARK(BM_ComposeMessage)->Arg(1 << 20)->Arg(10 << 20);

}  // namespace

BENCHMARK_MAIN();

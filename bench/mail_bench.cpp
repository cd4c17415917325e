// The mail library against GMime 3 on the same inputs in the same run.
//
// Ours: LoadFromFile, LocateBodies, RestructureParts(rmIfPending), ComposeBody, the subject, and
// DecodeBodyTo of every attachment -- the relay's whole use of a message. GMime: parse the file,
// the subject, walk every part and decode its content.
//
//   mail_bench [benchmark flags]      throughput (MB/s of input, messages/s)
//   mail_bench --peak-rss CASE IMPL   one run of one case (a to e) by one library (ours, gmime)
//                                     in this process; prints its peak resident memory
//   mail_bench --peak-table           runs --peak-rss for every case and library, each in a
//                                     fresh process, and prints a Markdown table
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "bench/mail_bench_inputs.h"
#include "mail/mail_message.h"

#ifdef DROPRELAY_HAVE_GMIME
#include <gmime/gmime.h>
#endif

extern char** environ;

namespace droprelay::bench {
namespace {

// Answers the number of decoded bytes, so that no work can be optimised away.
std::uint64_t OursOne(const fs::path& file) {
  TMailMessage message;
  message.LoadFromFile(file.string());
  message.LocateBodies();
  message.RestructureParts(rmIfPending);
  message.ComposeBody();
  std::uint64_t bytes = message.GetSubject().size();
  // As the relay decodes its attachment: piece by piece into its destination (here nowhere).
  for (TMailPart* part : message.AttachmentParts()) {
    part->DecodeBodyTo([&bytes](std::string_view piece) {
      bytes += piece.size();
      return true;
    });
  }
  for (const auto& line : message.PlainLines()) bytes += line.size();
  for (const auto& line : message.HtmlLines()) bytes += line.size();
  return bytes;
}

#ifdef DROPRELAY_HAVE_GMIME
void DecodePart(GMimeObject*, GMimeObject* part, gpointer data) {
  if (!GMIME_IS_PART(part)) return;
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (content == nullptr) return;
  GMimeStream* sink = g_mime_stream_null_new();
  g_mime_data_wrapper_write_to_stream(content, sink);
  *static_cast<std::uint64_t*>(data) += GMIME_STREAM_NULL(sink)->written;
  g_object_unref(sink);
}

std::uint64_t GMimeOne(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  GMimeStream* stream = g_mime_stream_fs_new(fd);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  if (message == nullptr) return 0;
  std::uint64_t bytes = 0;
  if (const char* subject = g_mime_message_get_subject(message)) bytes += std::strlen(subject);
  g_mime_message_foreach(message, DecodePart, &bytes);
  g_object_unref(message);
  return bytes;
}
#endif

// With --benchmark_repetitions, "min" is the least time of the repetitions: on a machine shared
// with other work it is the figure least disturbed by it (for the rate counters it is the worst).
double Least(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

using Worker = std::uint64_t (*)(const fs::path&);

std::vector<fs::path> CaseFiles(const Inputs& in, char which) {
  if (which == 'a') return {in.large};
  if (which == 'c') return {in.many};
  if (which == 'd') return {in.quoted};
  if (which == 'e') return {in.tiny};
  return in.small;
}

void Run(benchmark::State& state, Worker worker, char which) {
  const Inputs in = PrepareInputs(true);
  const std::vector<fs::path> files = CaseFiles(in, which);
  const std::uint64_t inputBytes = TotalSize(files);
  std::uint64_t decoded = 0;
  for (auto _ : state) {
    for (const auto& f : files) decoded += worker(f);
  }
  benchmark::DoNotOptimize(decoded);
  state.SetBytesProcessed(static_cast<std::int64_t>(inputBytes) * state.iterations());
  state.counters["messages/s"] = benchmark::Counter(static_cast<double>(files.size()) * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
  state.counters["decoded_MB"] = static_cast<double>(decoded) / static_cast<double>(state.iterations()) / 1e6;
}

#define DROPRELAY_CASE(name, worker, which)                                                      \
  BENCHMARK_CAPTURE(Run, name, worker, which)->Unit(benchmark::kMillisecond)->MinTime(2.0)->ComputeStatistics( \
      "min", Least)

DROPRELAY_CASE(a_50MB_attachment_ours, OursOne, 'a');
DROPRELAY_CASE(b_2000_small_ours, OursOne, 'b');
DROPRELAY_CASE(c_200_attachments_ours, OursOne, 'c');
DROPRELAY_CASE(d_20MB_quoted_printable_ours, OursOne, 'd');
DROPRELAY_CASE(e_100000_tiny_parts_ours, OursOne, 'e');
#ifdef DROPRELAY_HAVE_GMIME
DROPRELAY_CASE(a_50MB_attachment_gmime, GMimeOne, 'a');
DROPRELAY_CASE(b_2000_small_gmime, GMimeOne, 'b');
DROPRELAY_CASE(c_200_attachments_gmime, GMimeOne, 'c');
DROPRELAY_CASE(d_20MB_quoted_printable_gmime, GMimeOne, 'd');
DROPRELAY_CASE(e_100000_tiny_parts_gmime, GMimeOne, 'e');
#endif

// The decoders alone, as the body decoder uses them (the whole body as one stream), against
// GMime's decoder over the same text: base64 on the attachment text of (a), quoted-printable on
// the body of (d); and our quoted-printable encoder on the decoded body of (d), which the
// restructuring re-encodes (GMime is not asked to encode).
std::string BodyText(const fs::path& file, std::string_view after, std::string_view before) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t begin = text.find("\r\n\r\n", text.find(after)) + 4;
  const std::size_t end = before.empty() ? text.size() : text.rfind(before);
  return text.substr(begin, end - begin);
}

std::string LargeBase64Text() { return BodyText(PrepareInputs(true).large, "archive.bin", "--bench-a-boundary--"); }
std::string QuotedBodyText() { return BodyText(PrepareInputs(true).quoted, "Content-Transfer-Encoding", ""); }

void Base64Body_ours(benchmark::State& state) {
  const std::string text = LargeBase64Text();
  for (auto _ : state) {
    ByteBuffer out;
    Base64DecodeStream(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}
BENCHMARK(Base64Body_ours)->Unit(benchmark::kMillisecond)->MinTime(1.0)->ComputeStatistics("min", Least);

void QuotedPrintableDecode_ours(benchmark::State& state) {
  const std::string text = QuotedBodyText();
  for (auto _ : state) {
    ByteBuffer out;
    DecodeQuotedPrintable(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}
BENCHMARK(QuotedPrintableDecode_ours)->Unit(benchmark::kMillisecond)->MinTime(1.0)->ComputeStatistics("min", Least);

void QuotedPrintableEncode_ours(benchmark::State& state) {
  const std::string text = DecodeQuotedPrintable(QuotedBodyText());
  for (auto _ : state) {
    ByteBuffer out;
    EncodeQuotedPrintable(text, false, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}
BENCHMARK(QuotedPrintableEncode_ours)->Unit(benchmark::kMillisecond)->MinTime(1.0)->ComputeStatistics("min", Least);

#ifdef DROPRELAY_HAVE_GMIME
void GMimeDecode(benchmark::State& state, const std::string& text, GMimeContentEncoding encoding) {
  std::string out;
  for (auto _ : state) {
    GMimeEncoding decoder;
    g_mime_encoding_init_decode(&decoder, encoding);
    out.resize(g_mime_encoding_outlen(&decoder, text.size()));
    out.resize(g_mime_encoding_step(&decoder, text.data(), text.size(), out.data()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}
void Base64Body_gmime(benchmark::State& state) { GMimeDecode(state, LargeBase64Text(), GMIME_CONTENT_ENCODING_BASE64); }
void QuotedPrintableDecode_gmime(benchmark::State& state) {
  GMimeDecode(state, QuotedBodyText(), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
}
BENCHMARK(Base64Body_gmime)->Unit(benchmark::kMillisecond)->MinTime(1.0)->ComputeStatistics("min", Least);
BENCHMARK(QuotedPrintableDecode_gmime)->Unit(benchmark::kMillisecond)->MinTime(1.0)->ComputeStatistics("min", Least);
#endif

long StatusKb(const char* key) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') value = std::strtol(line + n + 1, nullptr, 10);
  }
  std::fclose(f);
  return value;
}

// One case by one library in this fresh process: "input_bytes baseline_kb peak_kb".
int PeakRss(char which, const std::string& impl) {
  const Inputs in = PrepareInputs(false);
  const std::vector<fs::path> files = CaseFiles(in, which);
  Worker worker = OursOne;
#ifdef DROPRELAY_HAVE_GMIME
  if (impl == "gmime") worker = GMimeOne;
#endif
  if (impl != "ours" && worker == OursOne) {
    std::cerr << "unknown library " << impl << "\n";
    return 2;
  }
  const long baseline = StatusKb("VmRSS");
  std::uint64_t decoded = 0;
  for (const auto& f : files) decoded += worker(f);
  benchmark::DoNotOptimize(decoded);
  std::cout << TotalSize(files) << " " << baseline << " " << StatusKb("VmHWM") << "\n";
  return decoded > 0 ? 0 : 1;
}

int PeakTable(const char* self) {
  PrepareInputs(true);
  std::cout << "| case | library | input | peak RSS | peak RSS above start | peak / input |\n"
               "|---|---|---|---|---|---|\n";
  for (const char* which : {"a", "b", "c", "d", "e"}) {
    for (const char* impl : {"ours", "gmime"}) {
      int pipeFds[2];
      if (pipe(pipeFds) != 0) return 1;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
      posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
      char* argv[] = {const_cast<char*>(self), const_cast<char*>("--peak-rss"), const_cast<char*>(which),
                      const_cast<char*>(impl), nullptr};
      pid_t pid = 0;
      const int rc = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
      posix_spawn_file_actions_destroy(&actions);
      close(pipeFds[1]);
      std::string out;
      char buf[256];
      ssize_t n;
      while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
      close(pipeFds[0]);
      int status = 0;
      if (rc == 0) waitpid(pid, &status, 0);
      unsigned long long input = 0;
      long baseline = 0, peak = 0;
      if (rc != 0 || std::sscanf(out.c_str(), "%llu %ld %ld", &input, &baseline, &peak) != 3) {
        std::cout << "| " << which << " | " << impl << " | run failed | | | |\n";
        continue;
      }
      char row[256];
      std::snprintf(row, sizeof row, "| %s | %s | %.1f MB | %.1f MB | %.1f MB | %.2f |\n", which, impl,
                    static_cast<double>(input) / 1e6, static_cast<double>(peak) / 1e3 * 1.024,
                    static_cast<double>(peak - baseline) / 1e3 * 1.024,
                    static_cast<double>(peak) * 1024.0 / static_cast<double>(input));
      std::cout << row;
    }
  }
  return 0;
}

}  // namespace
}  // namespace droprelay::bench

int main(int argc, char** argv) {
#ifdef DROPRELAY_HAVE_GMIME
  g_mime_init();
#endif
  if (argc == 4 && std::strcmp(argv[1], "--peak-rss") == 0) {
    return droprelay::bench::PeakRss(argv[2][0], argv[3]);
  }
  if (argc == 2 && std::strcmp(argv[1], "--peak-table") == 0) {
    return droprelay::bench::PeakTable("/proc/self/exe");
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

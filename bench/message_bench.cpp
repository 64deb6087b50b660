// Message format throughput: SaveToEml of a 10 MiB part and Parse of the
// message it wrote, against OpenSSL's block encoder and decoder over the
// same bytes, all in MB/s of part bytes. Then the peak memory of parsing,
// measured in a child process of its own.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "message/EmlWriter.h"
#include "message/MailParser.h"

namespace {

constexpr size_t kPart = 10 * 1024 * 1024;

struct Fixture {
  std::string dir;
  std::string local;
  std::string eml;
  std::string part;
  std::string message;
  std::string base64;  // the part as one unbroken line, for the decoder

  Fixture() {
    // $TMPDIR picks the file system the files are written to.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/message_bench_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    local = dir + "/part.bin";
    eml = dir + "/part.eml";
    part.resize(kPart);
    uint64_t x = 88172645463325252ull;
    for (char& c : part) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      c = static_cast<char>(x);
    }
    std::ofstream(local, std::ios::binary)
        .write(part.data(), static_cast<std::streamsize>(part.size()));
    int length = 0;
    if (!Writer().SaveToEml(eml, length)) std::abort();
    std::ifstream in(eml, std::ios::binary);
    message.assign(std::istreambuf_iterator<char>(in), {});
    base64.resize(4 * ((kPart + 2) / 3) + 1);
    base64.resize(static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(base64.data()),
        reinterpret_cast<const unsigned char*>(part.data()), static_cast<int>(part.size()))));
  }
  ~Fixture() {
    std::remove(local.c_str());
    std::remove(eml.c_str());
    rmdir(dir.c_str());
  }

  EmlWriter Writer() const {
    PartHeader r;
    r.name = "bench.bin";
    r.file_id = 1;
    r.size = r.total_size = static_cast<int>(kPart);
    r.part = r.total_part = 1;
    r.from = r.to = "bench@example.com";
    r.md5 = "0123456789abcdef0123456789abcdef";
    r.source_path = local;
    r.kind = MessageKind::kFilePart;
    return EmlWriter(r);
  }
};

Fixture& Data() {
  static Fixture fixture;
  return fixture;
}

void BM_EvpEncodeBlock(benchmark::State& state) {
  Fixture& f = Data();
  std::string out(4 * ((kPart + 2) / 3) + 1, '\0');
  for (auto _ : state) {
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(f.part.data()),
                            static_cast<int>(kPart));
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPart));
}

void BM_SaveToEml(benchmark::State& state) {
  Fixture& f = Data();
  EmlWriter writer = f.Writer();
  std::string path = f.dir + "/w.eml";
  for (auto _ : state) {
    int length = 0;
    if (!writer.SaveToEml(path, length)) state.SkipWithError("SaveToEml failed");
    benchmark::DoNotOptimize(length);
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPart));
}

void BM_EvpDecodeBlock(benchmark::State& state) {
  Fixture& f = Data();
  std::string out(f.base64.size() / 4 * 3 + 3, '\0');
  for (auto _ : state) {
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(f.base64.data()),
                            static_cast<int>(f.base64.size()));
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPart));
}

void BM_Parse(benchmark::State& state) {
  Fixture& f = Data();
  for (auto _ : state) {
    MailParser parser;
    parser.Parse(f.message);
    if (parser.attachments.empty() || parser.attachments.begin()->second.size() != kPart) {
      state.SkipWithError("attachment lost");
    }
    benchmark::DoNotOptimize(parser.attachments);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPart));
}

BENCHMARK(BM_EvpEncodeBlock)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_SaveToEml)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_EvpDecodeBlock)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps each run's throughput for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.run_name.function_name] = it->second.value;
      if (run.iterations > 0 && run.real_accumulated_time > 0) {
        wall_rates[run.run_name.function_name] = static_cast<double>(kPart) *
                                                 static_cast<double>(run.iterations) /
                                                 run.real_accumulated_time;
      }
    }
  }
  std::map<std::string, double> rates;       // per CPU second
  std::map<std::string, double> wall_rates;  // per wall-clock second
};

long MaxRssKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Child mode: read the message, parse it, and print the high-water marks.
int MeasureParse(const char* path) {
  long before_input = MaxRssKiB();
  std::ifstream in(path, std::ios::binary);
  std::string message((std::istreambuf_iterator<char>(in)), {});
  long with_input = MaxRssKiB();
  MailParser parser;
  parser.Parse(message);
  long after = MaxRssKiB();
  bool ok = !parser.attachments.empty() && parser.attachments.begin()->second.size() == kPart;
  std::printf("%zu %ld %ld %ld %d\n", message.size(), before_input, with_input, after, ok ? 1 : 0);
  return ok ? 0 : 1;
}

void ReportPeakMemory(const std::string& eml) {
  // A fresh image of this program, so the child's high-water mark holds
  // nothing of the parent's buffers.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return;
  self[n] = '\0';
  std::string command = std::string("'") + self + "' --measure-parse '" + eml + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return;
  size_t size = 0;
  long base = 0, with_input = 0, after = 0;
  int ok = 0;
  int fields = std::fscanf(pipe, "%zu %ld %ld %ld %d", &size, &base, &with_input, &after, &ok);
  pclose(pipe);
  if (fields != 5 || !ok) {
    std::printf("peak memory: child failed\n");
    return;
  }
  double mib = 1024.0 * 1024.0;
  double peak = (after - base) * 1024.0;
  std::printf(
      "parse peak memory: message %.2f MiB; peak above start %.2f MiB (input text included) = "
      "%.2f x message (target <= 4); above the input text %.2f MiB\n",
      size / mib, peak / mib, peak / size, (after - with_input) * 1024.0 / mib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--measure-parse") == 0) return MeasureParse(argv[2]);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (auto* table : {&reporter.rates, &reporter.wall_rates}) {
    auto rate = [&](const char* name) { return table->count(name) ? table->at(name) : 0.0; };
    double enc = rate("BM_EvpEncodeBlock"), save = rate("BM_SaveToEml");
    double dec = rate("BM_EvpDecodeBlock"), parse = rate("BM_Parse");
    std::printf("\n%s time:\n", table == &reporter.rates ? "CPU" : "wall-clock");
    std::printf("SaveToEml %.0f MB/s vs EVP_EncodeBlock %.0f MB/s: ratio %.2f (target >= 0.5)\n",
                save / 1e6, enc / 1e6, enc > 0 ? save / enc : 0.0);
    std::printf("Parse     %.0f MB/s vs EVP_DecodeBlock %.0f MB/s: ratio %.2f (target >= 0.4)\n",
                parse / 1e6, dec / 1e6, dec > 0 ? parse / dec : 0.0);
  }
  ReportPeakMemory(Data().eml);
  return 0;
}

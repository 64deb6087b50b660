// Content on demand, measured on real mounts of tandrel-cli against a
// private Dovecot, each figure beside a baseline of the same run:
//   1. a fresh machine with a cache limit: seconds until the whole tree
//      (2,000 small files and 190 MiB of large ones) is listed, beside a
//      fresh machine without one (which shows a file once it is here);
//   2. the first byte of an uncached 10 MiB file, beside a raw FETCH of its
//      part message;
//   3. a sequential read of an uncached 100 MiB file, beside raw FETCH of its
//      ten part messages (goal >= 0.8);
//   4. random 64 KiB reads of uncached content: bytes the server sent
//      (counted at a loopback proxy) per byte read (goal <= 2), as a program
//      reads (the kernel's read-ahead on) and with POSIX_FADV_RANDOM.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "LoopbackProxy.h"
#include "PartMessages.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "platform/FileHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFolders = 20;
constexpr int kPerFolder = 100;
constexpr int kLargeFiles = 4;  // ten.bin, hundred.bin, rand1.bin, rand2.bin
constexpr int kRandomReads = 48;
constexpr size_t kRandomSize = 64 * 1024;
const char kUser[] = "od@example.org";
const char kRawUser[] = "raw@example.org";
const char kPassword[] = "pw";

std::map<std::string, double> g_figures;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Eventually(const std::function<bool()>& done, int seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

size_t CountFiles(const std::string& dir) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) ++n;
  }
  return n;
}

bool MakeSource(const std::string& src) {
  return Shell("set -e; cd " + Quote(src) + "; for d in $(seq 1 " + std::to_string(kFolders) +
               "); do mkdir d$d; for f in $(seq 1 " + std::to_string(kPerFolder) +
               "); do head -c $((1000 + (d * f) % 3000)) /dev/urandom > d$d/f$f; done; done;"
               " head -c 10M /dev/urandom > ten.bin; head -c 100M /dev/urandom > hundred.bin;"
               " head -c 40M /dev/urandom > rand1.bin; head -c 40M /dev/urandom > rand2.bin") == 0;
}

bool UpToDate(CliMachine& machine) {
  std::string out;
  machine.Cli("status", out);
  return out.find("State:       up to date") != std::string::npos &&
         out.find("Uploads:     0 files") != std::string::npos;
}

// The raw mailbox: the part messages of ten.bin (UID 1) and hundred.bin
// (UIDs 2 to 11), appended as the program writes them.
bool FillRaw(TempDir& root, int port) {
  std::vector<std::string> emls;
  std::string md5;
  const std::string src = root.Sub("src");
  MakeDir(root.Sub("eml10"));
  MakeDir(root.Sub("eml100"));
  if (!WritePartMessages(src + "/ten.bin", "ten.bin", 1, kRawUser, root.Sub("eml10"), emls, md5) ||
      !WritePartMessages(src + "/hundred.bin", "hundred.bin", 2, kRawUser, root.Sub("eml100"),
                         emls, md5)) {
    return false;
  }
  ImapClient raw;
  if (!raw.Connect("127.0.0.1", port, false) || !raw.Login(kRawUser, kPassword) ||
      !raw.Create("tandrel")) {
    return false;
  }
  for (const auto& eml : emls) {
    if (!raw.Append("tandrel", eml)) return false;
  }
  return true;
}

// Seconds to FETCH the raw mailbox's messages first..last (UIDs).
double RawFetch(int port, int first, int last) {
  ImapClient raw;
  if (!raw.Connect("127.0.0.1", port, false) || !raw.Login(kRawUser, kPassword) ||
      !raw.Select("tandrel")) {
    return -1;
  }
  auto start = Clock::now();
  for (int uid = first; uid <= last; ++uid) {
    std::string message;
    if (!raw.FetchMessage({std::to_string(uid)}, message)) return -1;
  }
  return Since(start);
}

void ListTree(benchmark::State& state, TempDir* root, int port, const std::string& limit) {
  const size_t want = kFolders * kPerFolder + kLargeFiles;
  for (auto _ : state) {
    CliMachine m(root->Sub("list-" + (limit.empty() ? std::string("all") : limit)), kUser,
                 kPassword, port);
    m.SetLogLevel("");
    std::vector<std::string> args = {"--user", kUser, "--server", "127.0.0.1", "--port",
                                     std::to_string(port)};
    if (!limit.empty()) args.insert(args.end(), {"--cache-limit", limit});
    m.SetMountArgs(args);
    auto start = Clock::now();
    if (!m.Mount() || !Eventually([&] { return CountFiles(m.MountPoint()) == want; }, 600)) {
      return state.SkipWithError("the tree did not show");
    }
    double seconds = Since(start);
    state.SetIterationTime(seconds);
    g_figures[limit.empty() ? "list/all" : "list/on_demand"] = seconds;
    m.Terminate();
  }
}

// Reads the file at path in 1 MiB reads; seconds, or -1.
double ReadAll(const std::string& path, size_t& bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  std::vector<char> buffer(1 << 20);
  bytes = 0;
  auto start = Clock::now();
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) return -1;
    if (n == 0) break;
    bytes += static_cast<size_t>(n);
  }
  return Since(start);
}

// kRandomReads reads of 64 KiB at random offsets of an uncached file, each
// compared with the source; bytes at the proxy per byte read, or -1.
double RandomReads(const std::string& path, const std::string& source, LoopbackProxy& proxy,
                   bool advise_random) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string want = ReadFileBytes(source);
  if (!fd.ok() || want.size() < kRandomSize) return -1;
  if (advise_random) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
  std::mt19937 random(42);
  std::uniform_int_distribution<size_t> pick(0, (want.size() - kRandomSize) / 4096);
  std::vector<char> buffer(kRandomSize);
  uint64_t before = proxy.BytesToClients();
  for (int i = 0; i < kRandomReads; ++i) {
    size_t at = pick(random) * 4096;
    ssize_t n = ::pread(fd.get(), buffer.data(), kRandomSize, static_cast<off_t>(at));
    if (n != static_cast<ssize_t>(kRandomSize) ||
        want.compare(at, kRandomSize, buffer.data(), kRandomSize) != 0) {
      return -1;
    }
  }
  return static_cast<double>(proxy.BytesToClients() - before) / (kRandomReads * kRandomSize);
}

struct Reader {
  TempDir* root;
  LoopbackProxy* proxy;
  int server_port;
};

void ReadOnDemand(benchmark::State& state, Reader r) {
  for (auto _ : state) {
    CliMachine m(r.root->Sub("reader"), kUser, kPassword, r.proxy->Port());
    m.SetLogLevel("");
    m.SetMountArgs({"--user", kUser, "--server", "127.0.0.1", "--port",
                    std::to_string(r.proxy->Port()), "--cache-limit", "128M"});
    const std::string mnt = m.MountPoint(), src = r.root->Sub("src");
    if (!m.Mount() || !Eventually([&] { return FileExists(mnt + "/rand2.bin"); }, 120))
      return state.SkipWithError("the reader did not mount");
    auto start = Clock::now();
    char byte = 0;
    UniqueFd ten(::open((mnt + "/ten.bin").c_str(), O_RDONLY | O_CLOEXEC));
    if (!ten.ok() || ::read(ten.get(), &byte, 1) != 1) return state.SkipWithError("first byte");
    g_figures["first_byte/on_demand"] = Since(start);
    g_figures["first_byte/raw_part"] = RawFetch(r.server_port, 1, 1);
    size_t bytes = 0;
    double seq = ReadAll(mnt + "/hundred.bin", bytes);
    double raw = RawFetch(r.server_port, 2, 11);
    if (seq < 0 || bytes != 100u << 20 || ReadFileBytes(mnt + "/hundred.bin") !=
                                              ReadFileBytes(src + "/hundred.bin")) {
      return state.SkipWithError("sequential read");
    }
    g_figures["sequential/on_demand_s"] = seq;
    g_figures["sequential/raw_s"] = raw;
    g_figures["random/read_ahead"] = RandomReads(mnt + "/rand1.bin", src + "/rand1.bin", *r.proxy, false);
    g_figures["random/fadv_random"] = RandomReads(mnt + "/rand2.bin", src + "/rand2.bin", *r.proxy, true);
    state.SetIterationTime(Since(start));
    m.Terminate();
  }
}

bool Populate(TempDir& root, int port) {
  std::string src = root.Sub("src");
  MakeDir(src);
  CliMachine writer(root.Sub("writer"), kUser, kPassword, port);
  writer.SetLogLevel("");
  if (!MakeSource(src) || !writer.Mount()) return false;
  if (Shell("cp -r " + Quote(src) + "/. " + Quote(writer.MountPoint())) != 0) return false;
  bool done = Eventually([&] { return UpToDate(writer); }, 900);
  writer.Terminate();
  if (!done) std::fprintf(stderr, "on_demand_bench: the upload did not end\n%s", writer.Output().c_str());
  return done && FillRaw(root, port);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TempDir root("on-demand-bench");
  DovecotServer server;
  if (!DovecotServer::Installed() || !server.Start() || !server.AddUser(kUser, kPassword) ||
      !server.AddUser(kRawUser, kPassword)) {
    std::fprintf(stderr, "on_demand_bench: no Dovecot: %s\n", server.Error().c_str());
    return 1;
  }
  if (!Populate(root, server.ImapPort())) {
    std::fprintf(stderr, "on_demand_bench: the mailbox could not be filled\n");
    return 1;
  }
  LoopbackProxy proxy(server.ImapPort());
  if (!proxy.Start()) return 1;
  for (const char* limit : {"", "64M"}) {
    benchmark::RegisterBenchmark(*limit ? "list/on_demand" : "list/download_all", ListTree, &root,
                                 server.ImapPort(), std::string(limit))
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("read/on_demand", ReadOnDemand, Reader{&root, &proxy, server.ImapPort()})
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  auto f = [](const char* key) { return g_figures.count(key) != 0 ? g_figures[key] : -1.0; };
  std::printf("\nwhole tree listed: on demand %.2f s, downloading everything %.2f s (%.3f)\n",
              f("list/on_demand"), f("list/all"), f("list/on_demand") / f("list/all"));
  std::printf("first byte of an uncached 10 MiB file: %.1f ms, raw FETCH of its part %.1f ms "
              "(%.3f)\n",
              f("first_byte/on_demand") * 1000, f("first_byte/raw_part") * 1000,
              f("first_byte/on_demand") / f("first_byte/raw_part"));
  std::printf("sequential read of an uncached 100 MiB file: %.0f MB/s, raw FETCH of its parts "
              "%.0f MB/s: %.2f (goal >= 0.8)\n",
              104.8576 / f("sequential/on_demand_s"), 104.8576 / f("sequential/raw_s"),
              f("sequential/raw_s") / f("sequential/on_demand_s"));
  std::printf("random 64 KiB reads of uncached content, bytes from the server per byte read: "
              "%.2f as read, %.2f with POSIX_FADV_RANDOM (goal <= 2)\n",
              f("random/read_ahead"), f("random/fadv_random"));
  return 0;
}

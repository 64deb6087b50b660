// The drive against its limits, in one run on the file system of the cache:
// the native folder, a minimal single-threaded FUSE passthrough (the ceiling
// of any FUSE drive here) and the Tandrel mount, served by tandrel-cli
// against a private Dovecot. Sequential 512 MiB write (fsync) and cold read
// with dd, then 1,000 files of 4 KiB created, read and deleted; the peak
// memory of the mounted process while the big file is copied. Then the way
// to the mailbox and to another machine, with the program's own periods: a
// 100 MiB cp until every part is in the mailbox, beside the cp and a raw
// APPEND of the same part messages; and the time from writing a 1 KiB file
// on one mount until a second mount of the account reads it, against a
// server with IDLE and against one without.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "PartMessages.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/MountPoint.h"
#include "store/MetaStore.h"
#include "sync/PartHeaders.h"

#ifndef DRIVE_PASSTHROUGH_PATH
#error DRIVE_PASSTHROUGH_PATH must name the passthrough executable
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBigMiB = 512;
constexpr int kSmallFiles = 1000;
constexpr int kRounds = 3;
constexpr size_t kSmallSize = 4096;
constexpr int kUploadMiB = 100;
constexpr int kVisibilitySamples = 5;
const char kPassword[] = "pw";

struct Subject {
  std::string name;
  std::string dir;      // where the files go
  std::string backing;  // where their bytes land (dir for the native folder)
};

std::map<std::string, std::vector<double>> g_results;  // "subject/what" -> figure per round

double Seconds(const std::function<void()>& body) {
  auto start = Clock::now();
  body();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void DropCache(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

long PeakKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return utime + stime;
}

// Waits (at most two minutes) until the mounted process has stopped
// uploading: under 5 % of a core over half a second. Each phase then
// measures the drive, not the sync engine's background work.
void WaitIdle(pid_t pid) {
  if (pid <= 0) return;
  auto deadline = Clock::now() + std::chrono::minutes(2);
  long ticks_per_half = sysconf(_SC_CLK_TCK) / 2;
  while (Clock::now() < deadline) {
    long before = CpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (CpuTicks(pid) - before <= ticks_per_half / 20) return;
  }
}

void BigWrite(benchmark::State& state, Subject s, pid_t server_pid) {
  for (auto _ : state) {
    std::string file = s.dir + "/big.bin";
    WaitIdle(server_pid);
    Shell("sync");  // every subject starts without dirty pages
    double t = Seconds([&] {
      Shell("dd if=/dev/zero of=" + Quote(file) + " bs=1M count=" + std::to_string(kBigMiB) +
            " conv=fsync status=none");
    });
    state.SetIterationTime(t);
    g_results[s.name + "/write"].push_back(kBigMiB * 1.048576 / t);
    state.counters["MB/s"] = kBigMiB * 1.048576 / t;
    if (server_pid > 0) {
      g_results[s.name + "/peak_mib"].push_back(PeakKiB(server_pid) / 1024.0);
      state.counters["peak_MiB"] = PeakKiB(server_pid) / 1024.0;
    }
  }
}

void BigRead(benchmark::State& state, Subject s, pid_t server_pid) {
  for (auto _ : state) {
    WaitIdle(server_pid);
    std::string file = s.dir + "/big.bin";
    DropCache(file);
    DropCache(s.backing + "/big.bin");
    double t = Seconds([&] { Shell("dd if=" + Quote(file) + " of=/dev/null bs=1M status=none"); });
    state.SetIterationTime(t);
    g_results[s.name + "/read"].push_back(kBigMiB * 1.048576 / t);
    state.counters["MB/s"] = kBigMiB * 1.048576 / t;
    ::unlink(file.c_str());
  }
}

void SmallFiles(benchmark::State& state, Subject s, pid_t server_pid) {
  std::string block(kSmallSize, 's');
  for (auto _ : state) {
    WaitIdle(server_pid);
    std::string dir = s.dir + "/small";
    ::mkdir(dir.c_str(), 0755);
    auto name = [&](int i) { return dir + "/f" + std::to_string(i); };
    double create = Seconds([&] {
      for (int i = 0; i < kSmallFiles; ++i) {
        int fd = ::open(name(i).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(kSmallSize))
          state.SkipWithError("small write failed");
        if (fd >= 0) ::close(fd);
      }
    });
    std::string buf(kSmallSize, '\0');
    double read = Seconds([&] {
      for (int i = 0; i < kSmallFiles; ++i) {
        int fd = ::open(name(i).c_str(), O_RDONLY);
        if (fd < 0 || ::read(fd, buf.data(), buf.size()) != static_cast<ssize_t>(kSmallSize))
          state.SkipWithError("small read failed");
        if (fd >= 0) ::close(fd);
      }
    });
    double remove = Seconds([&] {
      for (int i = 0; i < kSmallFiles; ++i) ::unlink(name(i).c_str());
    });
    ::rmdir(dir.c_str());
    state.SetIterationTime(create + read + remove);
    g_results[s.name + "/create_ms"].push_back(create * 1000 / kSmallFiles);
    g_results[s.name + "/read_ms"].push_back(read * 1000 / kSmallFiles);
    g_results[s.name + "/delete_ms"].push_back(remove * 1000 / kSmallFiles);
    state.counters["create_ms"] = create * 1000 / kSmallFiles;
    state.counters["read_ms"] = read * 1000 / kSmallFiles;
    state.counters["delete_ms"] = remove * 1000 / kSmallFiles;
  }
}

// The passthrough as a child process, stopped with SIGTERM (it unmounts).
class Passthrough {
 public:
  Passthrough(const std::string& backing, const std::string& mount) : mount_(mount) {
    MakeDir(backing);
    MakeDir(mount);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(DRIVE_PASSTHROUGH_PATH, DRIVE_PASSTHROUGH_PATH, backing.c_str(), mount.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !IsMountPoint(mount_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  ~Passthrough() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (IsMountPoint(mount_)) Shell("fusermount3 -u -z " + Quote(mount_));
  }
  bool ok() const { return IsMountPoint(mount_); }

 private:
  std::string mount_;
  pid_t pid_ = -1;
};

void RegisterBig(const Subject& s, pid_t pid, int round) {
  std::string tag = "/round" + std::to_string(round);
  benchmark::RegisterBenchmark((s.name + "/write_512MiB_fsync" + tag).c_str(), BigWrite, s, pid)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((s.name + "/read_512MiB_cold" + tag).c_str(), BigRead, s, pid)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

void RegisterSmall(const Subject& s, pid_t pid) {
  benchmark::RegisterBenchmark((s.name + "/files_1000x4KiB").c_str(), SmallFiles, s, pid)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}


// --- the way up and across

bool OpenFolder(ImapClient& client, int port, const std::string& user) {
  return client.Connect("127.0.0.1", port, false) && client.Login(user, kPassword) &&
         (client.Select("tandrel") || (client.Create("tandrel") && client.Select("tandrel")));
}

// Part messages in the folder the client has open whose record `ours`
// takes; the headers of UIDs looked at before are not fetched again.
int PartsInMailbox(ImapClient& client, const std::function<bool(const FileRecord&)>& ours,
                   std::map<std::string, bool>& known) {
  std::set<std::string> uids;
  if (!client.Noop() || !client.FetchUidList(uids)) return -1;
  std::vector<uint32_t> fresh;
  for (const auto& uid : uids)
    if (known.count(uid) == 0) fresh.push_back(static_cast<uint32_t>(std::stoul(uid)));
  // The new ones' headers in batches, as the engine fetches them: the
  // watcher should not weigh on the server it measures.
  std::map<uint32_t, std::string> headers;
  if (!fresh.empty() && !client.FetchHeaders(fresh, headers, ImapClient::kHeaderBatch, "X-tdr-info"))
    return -1;
  for (const auto& [uid, header] : headers) {
    MailParser parser;
    parser.Parse(header);
    FileRecord record = PartHeaders::FromMessage(parser.info);
    known.emplace(std::to_string(uid), record.kind == RecordKind::kFilePart && ours(record));
  }
  int parts = 0;
  for (const auto& uid : uids) {
    auto found = known.find(uid);
    parts += found != known.end() && found->second ? 1 : 0;
  }
  return parts;
}

int PartsInMailbox(ImapClient& client, const std::string& name,
                   std::map<std::string, bool>& known) {
  // A multi-part file's parts carry their number after the name.
  return PartsInMailbox(
      client,
      [&name](const FileRecord& r) {
        return r.name.rfind(name, 0) == 0 &&
               (r.name.size() == name.size() || r.name[name.size()] == '(');
      },
      known);
}

struct UploadSource {
  std::string file;
  std::vector<std::string> emls;  // its part messages, for the raw APPEND
};

bool PrepareUpload(TempDir& root, UploadSource& source) {
  source.file = root.Sub("upload-source.bin");
  if (Shell("head -c " + std::to_string(kUploadMiB) + "M /dev/urandom > " + Quote(source.file)) != 0)
    return false;
  std::string md5;
  return WritePartMessages(source.file, "raw.bin", 4242, "raw@example.org", root.path(),
                           source.emls, md5);
}

struct UploadTarget {
  const UploadSource* source;
  std::string mount;
  pid_t pid;
  int port;
  std::string user;
};

void DriveUpload(benchmark::State& state, UploadTarget t) {
  static int round = 0;
  for (auto _ : state) {
    WaitIdle(t.pid);
    std::string name = "up" + std::to_string(round++) + ".bin";
    ImapClient watcher, raw;
    std::map<std::string, bool> known;
    if (!OpenFolder(watcher, t.port, t.user) || !OpenFolder(raw, t.port, "raw@example.org") ||
        PartsInMailbox(watcher, name, known) < 0) {
      return state.SkipWithError("mailbox");
    }
    int parts = static_cast<int>(t.source->emls.size());
    auto start = Clock::now();
    Shell("cp " + Quote(t.source->file) + " " + Quote(t.mount + "/" + name));
    double cp = std::chrono::duration<double>(Clock::now() - start).count();
    while (PartsInMailbox(watcher, name, known) < parts &&
           Clock::now() - start < std::chrono::minutes(2)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    double append = Seconds([&] {
      for (const auto& eml : t.source->emls) raw.Append("tandrel", eml);
    });
    state.SetIterationTime(total);
    g_results["upload/cp_s"].push_back(cp);
    g_results["upload/raw_append_s"].push_back(append);
    g_results["upload/total_s"].push_back(total);
    g_results["upload/ratio"].push_back((cp + append) / total);
    state.counters["ratio"] = (cp + append) / total;
    ::unlink((t.mount + "/" + name).c_str());
  }
}

// A source tree of small files (200 B to 8 KB, 100 to a folder), one per
// round as its names tell the round's files apart in the mailbox, and the
// files' messages for the raw client.
constexpr int kTreeFiles = 2000;
struct TreeSource {
  std::vector<std::string> dirs;
  std::vector<std::string> emls;
};

bool PrepareTrees(TempDir& root, TreeSource& t) {
  for (int round = 0; round < kRounds; ++round) {
    std::string dir = root.Sub("tree" + std::to_string(round));
    t.dirs.push_back(dir);
    for (int i = 0; i < kTreeFiles; ++i) {
      std::string sub = dir + "/d" + std::to_string(i / 100);
      MakeDir(sub);
      std::string bytes(200 + (i * 7919) % 7800, '\0');
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>((i * 31 + k * 7) & 0xff);
      FileRecord r;
      r.name = "t" + std::to_string(round) + "f" + std::to_string(i);
      r.cache_path = sub + "/" + r.name;
      WriteFileBytes(r.cache_path, bytes);
      if (round > 0) continue;
      if (!GetFileMd5(r.cache_path, r.total_size, r.time, r.md5)) return false;
      r.kind = RecordKind::kFilePart;
      r.from = r.to = "raw@example.org";
      r.file_id = 7000 + i;
      r.part = r.total_part = 1;
      r.size = static_cast<int>(r.total_size);
      std::string eml = root.Sub("tree-eml-" + std::to_string(i));
      EmlWriter writer(PartHeaders::ToMessage(r, r.cache_path));
      int length = 0;
      if (!writer.SaveToEml(eml, length)) return false;
      t.emls.push_back(eml);
    }
  }
  return true;
}

// cp -r of the round's tree onto the mount until every file is in the
// mailbox, beside the cp and a raw client appending the same messages
// pipelined (100 in flight) over one connection to a mailbox of its own.
void TreeUpload(benchmark::State& state, const TreeSource* tree, UploadTarget t) {
  static int round = 0;
  for (auto _ : state) {
    WaitIdle(t.pid);
    std::string prefix = "t" + std::to_string(round) + "f";
    const std::string& dir = tree->dirs[round % tree->dirs.size()];
    std::string raw_user = "rawtree" + std::to_string(round++) + "@example.org";
    ImapClient watcher, raw;
    std::map<std::string, bool> known;
    auto ours = [&prefix](const FileRecord& r) { return r.name.rfind(prefix, 0) == 0; };
    if (!OpenFolder(watcher, t.port, t.user) || !OpenFolder(raw, t.port, raw_user) ||
        PartsInMailbox(watcher, ours, known) < 0) {
      return state.SkipWithError("mailbox");
    }
    auto start = Clock::now();
    Shell("cp -r " + Quote(dir) + " " + Quote(t.mount + "/" + prefix));
    double cp = std::chrono::duration<double>(Clock::now() - start).count();
    while (PartsInMailbox(watcher, ours, known) < kTreeFiles &&
           Clock::now() - start < std::chrono::minutes(3)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    double append = Seconds([&] {
      for (size_t at = 0; at < tree->emls.size(); at += ImapClient::kAppendsInFlight) {
        size_t end = std::min(tree->emls.size(), at + ImapClient::kAppendsInFlight);
        std::vector<std::string> batch(tree->emls.begin() + at, tree->emls.begin() + end);
        std::vector<ImapClient::Appended> appended;
        raw.AppendMessages("tandrel", batch, appended);
      }
    });
    state.SetIterationTime(total);
    g_results["tree/cp_s"].push_back(cp);
    g_results["tree/raw_append_s"].push_back(append);
    g_results["tree/total_s"].push_back(total);
    g_results["tree/ratio"].push_back(total / (cp + append));
  }
}

// Seconds from the start of writing a 1 KiB file on mount a until mount b
// reads its bytes (60 s at most).
double VisibleAfter(const std::string& a, const std::string& b, const std::string& name) {
  std::string bytes(1024, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + (i + name.size()) % 26);
  auto start = Clock::now();
  WriteFileBytes(a + "/" + name, bytes);
  while (Clock::now() - start < std::chrono::seconds(60)) {
    if (ReadFileBytes(b + "/" + name) == bytes) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Two mounts of one account on server, with the program's periods.
void MeasureVisibility(DovecotServer& server, TempDir& root, const std::string& key) {
  std::string user = key + "@example.org";
  server.AddUser(user, kPassword);
  CliMachine a(root.Sub(key + "-a"), user, kPassword, server.ImapPort());
  CliMachine b(root.Sub(key + "-b"), user, kPassword, server.ImapPort());
  for (CliMachine* m : {&a, &b}) {
    m->SetLogLevel("");
    m->SetPeriods("");
  }
  if (!a.Mount() || !b.Mount()) {
    std::fprintf(stderr, "drive_bench: visibility mounts failed\n%s", a.Output().c_str());
    return;
  }
  for (int i = 0; i < kVisibilitySamples; ++i) {
    double s = VisibleAfter(a.MountPoint(), b.MountPoint(), "vis" + std::to_string(i) + ".txt");
    g_results["visibility/" + key].push_back(s);
    std::printf("visibility %s sample %d: %.2f s\n", key.c_str(), i, s);
  }
  a.Terminate();
  b.Terminate();
}

double Median(const std::string& key) {
  auto it = g_results.find(key);
  if (it == g_results.end() || it->second.empty()) return 0;
  std::vector<double> v = it->second;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

// True when the run's --benchmark_filter (if any) names the given word.
bool Wanted(int argc, char** argv, const std::string& word) {
  const std::string flag = "--benchmark_filter=";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind(flag, 0) == 0) return arg.find(word) != std::string::npos;
  }
  return true;
}

int main(int argc, char** argv) {
  bool visibility = Wanted(argc, argv, "visibility");
  benchmark::Initialize(&argc, argv);
  TempDir root("drive-bench");
  DovecotServer server;
  if (!DovecotServer::Installed() || !server.Start() ||
      !server.AddUser("bench@example.org", "pw") || !server.AddUser("raw@example.org", "pw") ||
      !server.AddUser("rawtree0@example.org", "pw") || !server.AddUser("rawtree1@example.org", "pw") ||
      !server.AddUser("rawtree2@example.org", "pw")) {
    std::fprintf(stderr, "drive_bench: no Dovecot: %s\n", server.Error().c_str());
    return 1;
  }
  Subject native{"native", root.Sub("native"), root.Sub("native")};
  MakeDir(native.dir);
  Passthrough passthrough(root.Sub("pt-back"), root.Sub("pt-mnt"));
  CliMachine tandrel(root.Sub("tandrel"), "bench@example.org", "pw", server.ImapPort());
  tandrel.SetLogLevel("");
  tandrel.SetPeriods("");
  if (!passthrough.ok() || !tandrel.Mount()) {
    std::fprintf(stderr, "drive_bench: a mount failed\n%s", tandrel.Output().c_str());
    return 1;
  }
  Subject pt{"passthrough", root.Sub("pt-mnt"), root.Sub("pt-back")};
  Subject td{"tandrel", tandrel.MountPoint(), tandrel.CacheDir()};
  // Rounds interleave the subjects, so a slow spell of the shared disk does
  // not fall on one subject alone; the figures are the medians.
  for (int round = 0; round < kRounds; ++round) {
    RegisterBig(native, -1, round);
    RegisterBig(pt, -1, round);
    RegisterBig(td, tandrel.Pid(), round);
  }
  RegisterSmall(native, -1);
  RegisterSmall(pt, -1);
  RegisterSmall(td, tandrel.Pid());
  UploadSource source;
  if (!PrepareUpload(root, source)) {
    std::fprintf(stderr, "drive_bench: could not prepare the upload\n");
    return 1;
  }
  UploadTarget target{&source, td.dir, tandrel.Pid(), server.ImapPort(), "bench@example.org"};
  benchmark::RegisterBenchmark("tandrel/upload_100MiB_until_in_mailbox", DriveUpload, target)
      ->Iterations(1)
      ->Repetitions(kRounds)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  TreeSource tree;
  if (!PrepareTrees(root, tree)) {
    std::fprintf(stderr, "drive_bench: could not prepare the trees\n");
    return 1;
  }
  benchmark::RegisterBenchmark("tandrel/tree_of_2000_small_files_until_in_mailbox", TreeUpload,
                               &tree, target)
      ->Iterations(1)
      ->Repetitions(kRounds)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (visibility) {
    MeasureVisibility(server, root, "idle");
    DovecotServer::Options options;
    options.no_idle = true;
    DovecotServer polled(options);
    if (polled.Start()) MeasureVisibility(polled, root, "poll");
  }

  auto r = [](const std::string& key) { return Median(key); };
  std::printf("\nsubject       write MB/s  read MB/s  create ms  read ms  delete ms\n");
  for (const char* name : {"native", "passthrough", "tandrel"}) {
    std::string n = name;
    std::printf("%-12s %10.0f %10.0f %10.3f %8.3f %10.3f\n", name, r(n + "/write"), r(n + "/read"),
                r(n + "/create_ms"), r(n + "/read_ms"), r(n + "/delete_ms"));
  }
  double wr = r("passthrough/write") > 0 ? r("tandrel/write") / r("passthrough/write") : 0;
  double rr = r("passthrough/read") > 0 ? r("tandrel/read") / r("passthrough/read") : 0;
  std::printf("\ntandrel / passthrough: write %.2f (target >= 0.7), read %.2f (target >= 0.7)\n",
              wr, rr);
  std::printf("tandrel create per file: %.3f ms, delete %.3f ms (target <= 0.5 ms each)\n",
              r("tandrel/create_ms"), r("tandrel/delete_ms"));
  std::printf("upload of %d MiB: cp %.2f s + raw APPEND %.2f s / cp start to every part in the "
              "mailbox %.2f s = %.2f (target >= 0.8)\n",
              kUploadMiB, r("upload/cp_s"), r("upload/raw_append_s"), r("upload/total_s"),
              r("upload/ratio"));
  std::printf("tree of %d small files: cp start to every file in the mailbox %.2f s / (cp %.2f s + "
              "raw pipelined APPEND %.2f s) = %.2f (target <= 1.25)\n",
              kTreeFiles, r("tree/total_s"), r("tree/cp_s"), r("tree/raw_append_s"),
              r("tree/ratio"));
  std::printf("1 KiB file written on A until B reads it (median of %d): with IDLE %.2f s "
              "(target <= 1.5 s), without IDLE %.2f s (target <= 11 s)\n",
              kVisibilitySamples, r("visibility/idle"), r("visibility/poll"));
  auto peaks = g_results["tandrel/peak_mib"];
  std::printf("tandrel peak memory while copying: %.1f MiB (target <= 100 MiB)\n",
              peaks.empty() ? 0.0 : *std::max_element(peaks.begin(), peaks.end()));
  return 0;
}

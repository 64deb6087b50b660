// Start-up over a large cache: seconds from `tandrel-cli mount` until the
// drive answers (the root listed and one file's stat) with 100,000 cached
// files in 100 folders, beside the same machine over a drive of one file.
// Offline (the server stopped once the account is known), so that only the
// machine's own work counts. Goal: within 2 s.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "TempDir.h"
#include "platform/FileHelpers.h"
#include "store/StoreFiles.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 100000;
constexpr int kFolders = 100;
// d1 holds the first files, 10,000 in all; the rest are spread over the
// other folders (the SQL below and the loop after it agree).
constexpr int kBigFolder = 10000;
const std::string kFolderOf = "(CASE WHEN i < " + std::to_string(kBigFolder) +
                              " THEN 1 ELSE 2 + i % " + std::to_string(kFolders - 1) + " END)";
const char kUser[] = "start@example.org";
const char kPassword[] = "pw";

std::map<std::string, double> g_seconds;
long g_peak_kib = 0;

double TimeShell(const std::string& command) {
  auto start = Clock::now();
  if (Shell(command) != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The process's peak resident memory (VmHWM), in KiB.
long PeakKib(pid_t pid) {
  std::string status = ReadFileBytes("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

bool Eventually(const std::function<bool()>& done, int seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The account's database gets kFiles - 1 more files like d1/f1, spread over
// kFolders folders like d1, each with its cached copy.
bool Grow(const std::string& db, const std::string& cache) {
  const std::string sql =
      "BEGIN;"
      "WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(kFolders) +
      ") INSERT INTO folder(name, parent_id, full_name, stat) SELECT replace(name, 'd1', 'd' || i),"
      " parent_id, replace(full_name, 'd1', 'd' || i), stat FROM folder, n WHERE name = 'd1';"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(kFiles - 1) +
      ") INSERT INTO ftable(file_id, file_name, folder_id, origin) SELECT 10000000 + i, 'g' || i,"
      " (SELECT id FROM folder WHERE name = 'd' || " + kFolderOf +
      "), 10000000 + i FROM n;"
      "INSERT INTO mail(file_id, mail_id, name, size, time, md5, total_size, part, total_part,"
      " local_fn, stat) SELECT f.file_id, 'x' || f.file_id, f.file_name, m.size, m.time, m.md5,"
      " m.total_size, m.part, m.total_part, m.local_fn, m.stat FROM ftable f, mail m WHERE"
      " f.file_id > 10000000 AND m.file_id = (SELECT file_id FROM ftable WHERE file_name = 'f1');"
      "COMMIT;";
  if (Shell("sqlite3 " + Quote(db) + " " + Quote(sql)) != 0) return false;
  std::string bytes = ReadFileBytes(cache + "d1/f1");
  for (int d = 2; d <= kFolders; ++d) MakeDir(cache + "d" + std::to_string(d));
  for (int i = 1; i < kFiles; ++i) {
    int folder = i < kBigFolder ? 1 : 2 + i % (kFolders - 1);
    std::string path = cache + "d" + std::to_string(folder) + "/g" + std::to_string(i);
    WriteFileBytes(path, bytes);
  }
  return FileExists(cache + "d1/g100");
}

struct Case {
  CliMachine* machine;
  std::string key, path;
  std::string db;  // grown first when not empty
};

// Mounts offline and waits until the root lists and the case's file stats.
void Start(benchmark::State& state, Case c) {
  for (auto _ : state) {
    if (!c.db.empty() && !Grow(c.db, c.machine->CacheDir()))
      return state.SkipWithError("the drive could not be grown");
    auto start = Clock::now();
    struct stat st {};
    const std::string mnt = c.machine->MountPoint();
    bool ready = c.machine->Mount(60000) && Eventually([&] {
      return Shell("ls " + Quote(mnt) + " > /dev/null 2>&1") == 0 &&
             ::stat((mnt + c.path).c_str(), &st) == 0;
    }, 60);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (ready && !c.db.empty()) {
      // A folder of 10,000 files listed with their attributes, first through
      // the drive (nothing of it in the kernel's caches yet), then directly
      // in the cache directory.
      g_seconds["ls drive"] = TimeShell("ls -l " + Quote(mnt + "/d1") + " > /dev/null");
      g_seconds["ls cache"] = TimeShell("ls -l " + Quote(c.machine->CacheDir() + "d1") + " > /dev/null");
      g_peak_kib = PeakKib(c.machine->Pid());
    }
    c.machine->Terminate();
    if (!ready) return state.SkipWithError("the drive did not answer");
    state.SetIterationTime(seconds);
    g_seconds[c.key] = seconds;
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TempDir root("startup-bench");
  DovecotServer server;
  if (!DovecotServer::Installed() || !server.Start() || !server.AddUser(kUser, kPassword)) {
    std::fprintf(stderr, "startup_bench: no Dovecot: %s\n", server.Error().c_str());
    return 1;
  }
  CliMachine m(root.Sub("m"), kUser, kPassword, server.ImapPort());
  m.SetLogLevel("");
  std::string out;
  bool known = m.Mount() && Shell("mkdir " + Quote(m.MountPoint() + "/d1") + " && echo one > " +
                                  Quote(m.MountPoint() + "/d1/f1")) == 0 &&
               Eventually([&] {
                 m.Cli("status", out);
                 return out.find("State:       up to date") != std::string::npos &&
                        out.find("Uploads:     0 files") != std::string::npos;
               }, 120);
  m.Terminate();
  server.Stop();
  if (!known) {
    std::fprintf(stderr, "startup_bench: the account could not be set up\n%s", m.Output().c_str());
    return 1;
  }
  std::string db = NativePath(AccountDbPath(root.Sub("m") + "/share/tandrel", kUser));
  benchmark::RegisterBenchmark("startup/one_file", Start, Case{&m, "one", "/d1/f1", ""})
      ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("startup/100000_files", Start, Case{&m, "many", "/d57/g10054", db})
      ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nstart-up until the drive answers, offline: %.2f s with 100,000 cached files, "
              "%.2f s with one (%.1fx; goal <= 2 s)\n",
              g_seconds["many"], g_seconds["one"], g_seconds["many"] / g_seconds["one"]);
  std::printf("ls -l of a folder of 10,000 files: %.3f s through the drive, %.3f s in the cache "
              "directory (goal <= 0.2 s)\n",
              g_seconds["ls drive"], g_seconds["ls cache"]);
  std::printf("peak memory of the drive's process with 100,000 files: %.1f MiB (goal <= 100 MiB)\n",
              g_peak_kib / 1024.0);
  return 0;
}

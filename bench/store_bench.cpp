// Store costs the drive pays: constructing a MetaStore (every callback
// does) and GetFolderEntries on a folder of 1,000 files, in microseconds,
// each against the bare engine doing the same work (a baseline measured in
// the same run), printed as a ratio at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"

namespace {

constexpr int kFiles = 1000;
const char* const kUser = "bench@example.com";

struct Fixture {
  std::string root;

  Fixture() {
    char pattern[] = "/tmp/store_bench_XXXXXX";
    root = mkdtemp(pattern);
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    if (!PrepareDataDir(root + "/bin/")) std::abort();
    MetaStore store;
    AccountRecord account;
    account.user = kUser;
    store.AddAccount(account);
    store.SetCurAccount(kUser);
    FolderRecord folder;
    folder.name = "bench";
    folder.parent_id = 1;
    store.AddFolder(folder);
    int folder_id = 0;
    if (!store.GetFolderId("\\bench\\", folder_id)) std::abort();
    for (int i = 0; i < kFiles; ++i) {
      FileRecord r;
      r.name = "file" + std::to_string(i) + ".txt";
      r.folder_id = folder_id;
      r.total_size = 1000 + i;
      r.time = 1700000000 + i;
      r.md5 = "0123456789abcdef0123456789abcdef";
      if (!store.AddFile(r, true)) std::abort();
    }
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

Fixture& Data() {
  static Fixture fixture;
  return fixture;
}

// Baseline: the two files a handle opens, opened and closed bare.
void BM_BareOpenTwoFiles(benchmark::State& state) {
  Data();
  const std::string main_db = DataDir() + "/tandrel.db";
  const std::string account_db = DataDir() + "/" + kUser + ".db";
  for (auto _ : state) {
    sqlite3* a = nullptr;
    sqlite3* b = nullptr;
    sqlite3_open(main_db.c_str(), &a);
    sqlite3_open(account_db.c_str(), &b);
    sqlite3_close(a);
    sqlite3_close(b);
  }
}
BENCHMARK(BM_BareOpenTwoFiles)->Unit(benchmark::kMicrosecond);

void BM_MetaStoreConstruct(benchmark::State& state) {
  Data();
  for (auto _ : state) {
    MetaStore store;
    benchmark::DoNotOptimize(&store);
  }
}
BENCHMARK(BM_MetaStoreConstruct)->Unit(benchmark::kMicrosecond);

// Baseline: the listing's join read bare, one prepared statement, the same
// nine fields taken by column index into the same records.
void BM_BareFolderQuery(benchmark::State& state) {
  Data();
  sqlite3* db = nullptr;
  sqlite3_open((DataDir() + "/" + kUser + ".db").c_str(), &db);
  const char* sql =
      "select * from mail, ftable where ftable.file_id=mail.file_id and mail.part=1 and "
      "ftable.folder_id=2 and (stat=0 or stat=1 or stat=4)";
  auto text = [](sqlite3_stmt* stmt, int column) {
    const unsigned char* t = sqlite3_column_text(stmt, column);
    return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
  };
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    std::vector<FileRecord> files;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      FileRecord r;
      r.file_id = sqlite3_column_int(stmt, 0);
      r.mail_id = text(stmt, 1);
      r.size = sqlite3_column_int(stmt, 3);
      r.time = sqlite3_column_int(stmt, 4);
      r.md5 = text(stmt, 5);
      r.total_size = sqlite3_column_int(stmt, 6);
      r.part = sqlite3_column_int(stmt, 7);
      r.total_part = sqlite3_column_int(stmt, 8);
      r.name = text(stmt, 12);
      files.push_back(std::move(r));
    }
    sqlite3_finalize(stmt);
    std::vector<DriveEntry> entries;
    for (FileRecord& f : files) {
      DriveEntry e;
      e.name = std::move(f.name);
      e.kind = DriveEntry::kFile;
      e.SetSize(static_cast<uint64_t>(static_cast<int64_t>(f.total_size)));
      e.SetTime(static_cast<uint32_t>(f.time));
      entries.push_back(std::move(e));
    }
    if (entries.size() != kFiles) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(entries.data());
  }
  sqlite3_close(db);
}
BENCHMARK(BM_BareFolderQuery)->Unit(benchmark::kMicrosecond);

void BM_GetFolderEntries(benchmark::State& state) {
  Data();
  MetaStore store;
  for (auto _ : state) {
    std::vector<DriveEntry> entries;
    store.GetFolderEntries("\\bench\\", entries);
    if (entries.size() != kFiles) state.SkipWithError("wrong entry count");
    benchmark::DoNotOptimize(entries.data());
  }
}
BENCHMARK(BM_GetFolderEntries)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's mean time per iteration for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        micros_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char* what, const std::string& name, const std::string& baseline) {
    if (micros_.count(name) == 0 || micros_.count(baseline) == 0 || micros_[baseline] <= 0) return;
    std::printf("%s: %.1f us, %.2fx the bare engine (%.1f us)\n", what, micros_[name],
                micros_[name] / micros_[baseline], micros_[baseline]);
  }

 private:
  std::map<std::string, double> micros_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("MetaStore construction", "BM_MetaStoreConstruct", "BM_BareOpenTwoFiles");
  reporter.PrintRatio("GetFolderEntries, 1000 files", "BM_GetFolderEntries", "BM_BareFolderQuery");
  benchmark::Shutdown();
  return 0;
}

// The first pass over a folder of 10,000 part messages: every header
// fetched with one command per UID (the baseline, as GetHeader does it) or
// in batched UID FETCH commands (FetchHeaders), and the engine's whole first
// refresh of a new machine (listing, batched headers, every part recorded).
// All in the same run against a private Dovecot on loopback; medians printed
// side by side.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "DovecotServer.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

namespace {

constexpr int kMessages = 10000;
const char* kUser = "bench@example.com";
const char* kPassword = "bench";

DovecotServer* g_server = nullptr;
std::vector<uint32_t> g_uids;

bool Open(ImapClient& client) {
  return client.Connect("127.0.0.1", g_server->ImapPort(), false) &&
         client.Login(kUser, kPassword) && client.Select(ImapClient::kFolder);
}

void BM_HeaderPerUid(benchmark::State& state) {
  ImapClient client;
  if (!Open(client)) return state.SkipWithError("cannot open the session");
  for (auto _ : state) {
    size_t got = 0;
    for (uint32_t uid : g_uids) {
      std::string header;
      if (!client.GetHeader(std::to_string(uid), header)) return state.SkipWithError("fetch");
      got += !header.empty();
    }
    if (got != g_uids.size()) return state.SkipWithError("headers missing");
  }
}

void Batched(benchmark::State& state, const std::string& fields) {
  ImapClient client;
  if (!Open(client)) return state.SkipWithError("cannot open the session");
  for (auto _ : state) {
    std::map<uint32_t, std::string> headers;
    if (!client.FetchHeaders(g_uids, headers, ImapClient::kHeaderBatch, fields))
      return state.SkipWithError("fetch");
    if (headers.size() != g_uids.size()) return state.SkipWithError("headers missing");
  }
}

void BM_HeaderBatched(benchmark::State& state) { Batched(state, ""); }
// Only the field the first pass reads: a server can answer it from its cache.
void BM_InfoFieldBatched(benchmark::State& state) { Batched(state, "X-tdr-info"); }

// A new machine's engine: its own data directory each time, so every pass
// learns all 10,000 parts.
void BM_EngineFirstPass(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    TempDir home("bench-machine");
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_DATA_HOME", home.Sub("share").c_str(), 1);
    AccountRecord account;
    account.user = kUser;
    account.pwd = kPassword;
    account.down_server = "127.0.0.1";
    account.port = g_server->ImapPort();
    bool ready = PrepareDataDir(home.Sub("bin") + "/");
    {
      MetaStore store;
      ready = ready && store.AddAccount(account) && store.SetCurAccount(kUser);
    }
    if (!ready) return state.SkipWithError("no data directory");
    FolderCache cache;
    SyncEngine engine(SyncStatus::Instance(), *TransferProgress::Instance(), DataDir());
    engine.Attach(account, cache);
    state.ResumeTiming();
    if (!engine.Refresh()) return state.SkipWithError("refresh");
    state.PauseTiming();
    std::map<std::string, PartState> parts;
    if (!MetaStore().GetAllMailId(parts) || parts.size() != g_uids.size())
      return state.SkipWithError("parts missing");
    state.ResumeTiming();
  }
}

// One part message per file, each with its own file id, as many files
// uploaded once leave them.
bool WritePart(const std::string& content, int file_id, const std::string& path) {
  PartHeader header;
  header.name = "f" + std::to_string(file_id) + ".bin";
  header.file_id = file_id;
  header.time = 1700000000;
  header.total_part = 1;
  header.part = 1;
  header.size = header.total_size = 1000;
  header.md5 = "0123456789abcdef0123456789abcdef";
  header.from = header.to = kUser;
  header.source_path = content;
  header.kind = MessageKind::kFilePart;
  EmlWriter writer(header);
  writer.SetTime(1700000000);
  int length = 0;
  return writer.SaveToEml(path, length);
}

// The messages go straight into the folder's maildir: 10,000 APPENDs would
// cost minutes of set-up. Dovecot takes them in at the next SELECT.
bool Fill(const std::string& content) {
  ImapClient setup;
  if (!setup.Connect("127.0.0.1", g_server->ImapPort(), false) || !setup.Login(kUser, kPassword) ||
      !setup.Create(ImapClient::kFolder))
    return false;
  std::string cur = g_server->MailDir() + "/" + kUser + "/.tandrel/cur/";
  for (int i = 0; i < kMessages; ++i)
    if (!WritePart(content, i + 1, cur + "1700000000." + std::to_string(i) + ".bench:2,"))
      return false;
  ImapClient::UidListing listing;
  if (!setup.Select(ImapClient::kFolder) || !setup.ListUids(listing)) return false;
  g_uids = listing.uids;
  return g_uids.size() == static_cast<size_t>(kMessages);
}

class SideBySide : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (!run.error_occurred && run.iterations > 0 && run.run_type == Run::RT_Iteration)
        seconds_[run.run_name.function_name].push_back(run.real_accumulated_time /
                                                       static_cast<double>(run.iterations));
  }
  void Print() {
    double per_uid = Median("BM_HeaderPerUid"), batched = Median("BM_HeaderBatched"),
           info = Median("BM_InfoFieldBatched"), engine = Median("BM_EngineFirstPass");
    if (per_uid <= 0 || batched <= 0 || info <= 0 || engine <= 0) return;
    std::printf("\nFirst pass over %d messages, medians (target <= 0.5 s):\n", kMessages);
    std::printf("  one command per UID (baseline)     %7.3f s\n", per_uid);
    std::printf("  batched, whole header (%zu/command) %7.3f s   %.1fx faster\n",
                ImapClient::kHeaderBatch, batched, per_uid / batched);
    std::printf("  batched, X-tdr-info field only    %7.3f s   %.1fx faster\n", info,
                per_uid / info);
    std::printf("  engine first pass, new machine      %7.3f s   %.1fx faster\n",
                engine, per_uid / engine);
  }

 private:
  double Median(const std::string& name) {
    std::vector<double>& v = seconds_[name];
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!DovecotServer::Installed()) {
    std::fprintf(stderr, "first_pass_bench: dovecot is not installed\n");
    return 1;
  }
  DovecotServer server;
  server.AddUser(kUser, kPassword);
  if (!server.Start()) {
    std::fprintf(stderr, "first_pass_bench: %s\n", server.Error().c_str());
    return 1;
  }
  g_server = &server;
  TempDir dir("bench");
  std::string content = dir.Sub("part.bin");
  WriteFileBytes(content, std::string(1000, 'x'));
  if (!Fill(content)) {
    std::fprintf(stderr, "first_pass_bench: cannot fill the folder\n%s\n",
                 server.LogText().c_str());
    return 1;
  }
  using Body = void (*)(benchmark::State&);
  const std::pair<const char*, Body> bodies[] = {{"BM_HeaderPerUid", BM_HeaderPerUid},
                                                 {"BM_HeaderBatched", BM_HeaderBatched},
                                                 {"BM_InfoFieldBatched", BM_InfoFieldBatched},
                                                 {"BM_EngineFirstPass", BM_EngineFirstPass}};
  for (const auto& [name, fn] : bodies) {
    benchmark::RegisterBenchmark(name, fn)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(
        benchmark::kMillisecond);
  }
  SideBySide reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Print();
  benchmark::Shutdown();
  return 0;
}

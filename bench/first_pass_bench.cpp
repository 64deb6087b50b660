// The first pass over a folder of 10,000 part messages: every header
// fetched with one command per UID (the baseline, as GetHeader does it) or
// in batched UID FETCH commands (FetchHeaders). Both in the same run against
// a private Dovecot on loopback; medians printed side by side.
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
#include "TestMessageFile.h"
#include "mail/ImapClient.h"

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

// The messages go straight into the folder's maildir: 10,000 APPENDs would
// cost minutes of set-up. Dovecot takes them in at the next SELECT.
bool Fill(const std::string& eml) {
  ImapClient setup;
  if (!setup.Connect("127.0.0.1", g_server->ImapPort(), false) || !setup.Login(kUser, kPassword) ||
      !setup.Create(ImapClient::kFolder))
    return false;
  std::string bytes = ReadFileBytes(eml);
  std::string cur = g_server->MailDir() + "/" + kUser + "/.tandrel/cur/";
  for (int i = 0; i < kMessages; ++i)
    WriteFileBytes(cur + "1700000000." + std::to_string(i) + ".bench:2,", bytes);
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
           info = Median("BM_InfoFieldBatched");
    if (per_uid <= 0 || batched <= 0 || info <= 0) return;
    std::printf("\nFirst pass over %d messages, medians (target <= 0.5 s):\n", kMessages);
    std::printf("  one command per UID (baseline)     %7.3f s\n", per_uid);
    std::printf("  batched, whole header (%zu/command) %7.3f s   %.1fx faster\n",
                ImapClient::kHeaderBatch, batched, per_uid / batched);
    std::printf("  batched, X-tdr-info field only    %7.3f s   %.1fx faster\n", info,
                per_uid / info);
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
  std::string eml = dir.Sub("part.eml");
  if (!WriteTestMessage(eml, 1000) || !Fill(eml)) {
    std::fprintf(stderr, "first_pass_bench: cannot fill the folder\n%s\n",
                 server.LogText().c_str());
    return 1;
  }
  using Body = void (*)(benchmark::State&);
  const std::pair<const char*, Body> bodies[] = {{"BM_HeaderPerUid", BM_HeaderPerUid},
                                                 {"BM_HeaderBatched", BM_HeaderBatched},
                                                 {"BM_InfoFieldBatched", BM_InfoFieldBatched}};
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

// The sync engine against a private Dovecot, each figure beside a baseline
// measured in the same run:
//   1. upload of a 100 MiB file (10 parts) from SyncAddFile until every part
//      is appended, beside raw Append of the same 10 messages over one
//      connection and over as many as the engine uses; with the digest known
//      (as from the drive) and with it read from the copy;
//   2. download of it into a fresh data directory (one RefreshPass), beside
//      raw FetchMessage of the 10 messages; both also on an encrypted drive,
//      beside the plain drive's figure;
//   3. a Refresh that finds nothing new over 1,000, 10,000 and 100,000
//      messages, and (3b) the first pass of a fresh machine over 10,000 and
//      100,000 part messages (goal for 100,000: 5 s);
//   4. the time from SyncAddFile of a 1 KiB file on one machine until it is
//      readable in another machine's cache, with the program's periods;
//   5. 2,000 small files (200 B to 8 KB) from SyncAddFile until every one is
//      appended, beside a raw client appending the same messages pipelined
//      (AppendMessages, 100 in flight) over one connection.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DovecotServer.h"
#include "PartMessages.h"
#include "SyncMachine.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/DriveKey.h"
#include "message/EmlWriter.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "store/SyncQueries.h"
#include "sync/FolderCache.h"
#include "sync/PartHeaders.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"
#include "sync/TaskWorker.h"
#include "sync/TransferProgress.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long long kBigFile = 100ll << 20;
const char* kPassword = "bench";

DovecotServer* g_server = nullptr;
TempDir* g_dir = nullptr;
std::map<std::string, std::vector<double>> g_samples;  // figure -> values

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

bool WriteBytes(const std::string& path, long long size, unsigned seed) {
  FILE* f = fopen(NativePath(path).c_str(), "wb");
  if (f == nullptr) return false;
  std::string block(1 << 20, '\0');
  unsigned x = seed;
  for (long long done = 0; done < size; done += static_cast<long long>(block.size())) {
    for (auto& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    size_t n = static_cast<size_t>(std::min<long long>(block.size(), size - done));
    if (fwrite(block.data(), 1, n, f) != n) {
      fclose(f);
      return false;
    }
  }
  return fclose(f) == 0;
}

// One machine inside this process: its own home below the temp dir, made
// current through the environment (only one machine is in use at a time).
class LocalMachine {
 public:
  LocalMachine(const std::string& name, const std::string& user) : user_(user) {
    root_ = g_dir->Sub(name);
    Use();
    PrepareDataDir(root_ + "/bin/");
    MetaStore store;
    account_.user = user;
    account_.pwd = kPassword;
    account_.down_server = "127.0.0.1";
    account_.port = g_server->ImapPort();
    store.AddAccount(account_);
    store.SetCurAccount(user);
    // Made once the environment names this machine's data directory.
    engine_ = std::make_unique<SyncEngine>(SyncStatus::Instance(), *TransferProgress::Instance(),
                                           DataDir());
    engine_->Attach(account_, cache_);
    engine_->RebuildFolderCache();
  }
  void Use() {
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ + "/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
  }
  int CountAtStat(PartState stat) {
    SyncQueries queries(user_);
    SyncQueries::Parts parts;
    queries.GetAllParts(parts);
    int n = 0;
    for (const auto& [key, row] : parts) n += row.stat == stat ? 1 : 0;
    return n;
  }
  SyncEngine& engine() { return *engine_; }
  FolderCache& cache() { return cache_; }

 private:
  std::string root_;
  std::string user_;
  AccountRecord account_;
  FolderCache cache_;
  std::unique_ptr<SyncEngine> engine_;
};

bool OpenClient(ImapClient& client, const std::string& user) {
  return client.Connect("127.0.0.1", g_server->ImapPort(), false) &&
         client.Login(user, kPassword) &&
         (client.Select("tandrel") || (client.Create("tandrel") && client.Select("tandrel")));
}

// --- 1 and 2: a 100 MiB file

struct BigFile {
  std::string source;             // the file's bytes
  std::vector<std::string> emls;  // its 10 part messages
  std::set<std::string> uids;     // those messages in the download mailbox
  std::string md5;                // its digest, as the drive takes it while writing
};
BigFile g_big;
std::optional<DriveKey> g_key;  // the encrypted drive's, made at start

bool PrepareBigFile() {
  g_big.source = g_dir->Sub("big.bin");
  if (!WriteBytes(g_big.source, kBigFile, 1)) return false;
  if (!WritePartMessages(g_big.source, "big.bin", 424242, "raw@example.com", g_dir->path(),
                         g_big.emls, g_big.md5)) {
    return false;
  }
  // The download mailboxes: the file uploaded once by the engine, plain and
  // sealed.
  for (bool sealed : {false, true}) {
    LocalMachine uploader(sealed ? "sealed-source" : "down-source",
                          sealed ? "sealed@example.com" : "down@example.com");
    if (sealed) uploader.engine().SetKey(*g_key);
    std::string cache = uploader.engine().CacheRoot();
    if (!WriteBytes(cache + "\\big.bin", kBigFile, 1)) return false;
    if (!uploader.engine().SyncAddFile("\\big.bin") || !uploader.engine().TaskStep()) return false;
  }
  ImapClient client;
  std::set<std::string> all;
  if (!OpenClient(client, "down@example.com") || !client.FetchUidList(all)) return false;
  for (const auto& uid : all) {
    std::string header;
    if (!client.GetHeader(uid, header)) return false;
    MailParser parser;
    parser.Parse(header);
    if (parser.info.kind == MessageKind::kFilePart) g_big.uids.insert(uid);
  }
  return g_big.uids.size() == 10;
}

// Each round starts on a fresh machine; the last one's files go, so a round
// writes into memory that earlier rounds used, as a machine that keeps
// syncing does, rather than into never-touched pages (which a virtual
// machine may back lazily, at several ms per MiB).
void RemoveMachineDir(const std::string& name) {
  std::error_code ec;
  std::filesystem::remove_all(g_dir->Sub(name), ec);
}

int g_upload_round = 0;

// The drive hands SyncAddFile the digest it took while the file was written;
// a caller without one has the copy read once more (the "digest read" figure).
void EngineUpload(benchmark::State& state, bool digest_known, const char* figure,
                  bool sealed = false) {
  for (auto _ : state) {
    std::string name = "up" + std::to_string(g_upload_round++);
    double s = 0;
    {
      LocalMachine a(name, name + "@example.com");
      if (sealed) a.engine().SetKey(*g_key);
      std::string cache = a.engine().CacheRoot();
      if (!MoveByShell(cache + "\\big.bin", g_big.source)) return state.SkipWithError("copy");
      auto start = Clock::now();
      bool ok = a.engine().SyncAddFile("\\big.bin", digest_known ? g_big.md5 : "") &&
                a.engine().TaskStep();
      s = Seconds(start);
      MoveByShell(g_big.source, cache + "\\big.bin");
      // With UIDPLUS a part learns its mail id at once (stat 0); without, it
      // waits at stat 4 for the next listing.
      int sent = a.CountAtStat(PartState::kAppended) + a.CountAtStat(PartState::kCached);
      if (!ok || sent != 10) return state.SkipWithError("upload incomplete");
    }
    RemoveMachineDir(name);
    state.SetIterationTime(s);
    g_samples[figure].push_back(kBigFile / 1e6 / s);
  }
}

void BM_EngineUpload(benchmark::State& state) { EngineUpload(state, true, "upload engine MB/s"); }

void BM_EngineUploadSealed(benchmark::State& state) {
  EngineUpload(state, true, "upload sealed engine MB/s", true);
}

void BM_EngineUploadDigestRead(benchmark::State& state) {
  EngineUpload(state, false, "upload engine, digest read MB/s");
}

void BM_RawAppend(benchmark::State& state) {
  for (auto _ : state) {
    ImapClient client;
    if (!OpenClient(client, "raw@example.com")) return state.SkipWithError("login");
    auto start = Clock::now();
    for (const auto& eml : g_big.emls) {
      if (!client.Append("tandrel", eml)) return state.SkipWithError("append");
    }
    double s = Seconds(start);
    state.SetIterationTime(s);
    g_samples["upload raw Append MB/s"].push_back(kBigFile / 1e6 / s);
  }
}

// The same 10 messages over as many connections as the engine's uploads
// use, each connection taking every third.
void BM_RawAppendLanes(benchmark::State& state) {
  constexpr size_t kLanes = TaskWorker::kUploadLanes;
  for (auto _ : state) {
    std::vector<std::unique_ptr<ImapClient>> clients;
    for (size_t i = 0; i < kLanes; ++i) {
      clients.push_back(std::make_unique<ImapClient>());
      if (!OpenClient(*clients.back(), "raw@example.com")) return state.SkipWithError("login");
    }
    std::vector<int> ok(kLanes, 1);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kLanes; ++i) {
      threads.emplace_back([&, i] {
        for (size_t k = i; k < g_big.emls.size(); k += kLanes)
          ok[i] = ok[i] && clients[i]->Append("tandrel", g_big.emls[k]);
      });
    }
    for (auto& t : threads) t.join();
    double s = Seconds(start);
    if (std::count(ok.begin(), ok.end(), 0) > 0) return state.SkipWithError("append");
    state.SetIterationTime(s);
    g_samples["upload raw Append, 3 connections MB/s"].push_back(kBigFile / 1e6 / s);
  }
}

int g_download_round = 0;

void EngineDownload(benchmark::State& state, bool sealed) {
  for (auto _ : state) {
    std::string name = "down" + std::to_string(g_download_round++);
    double s = 0;
    {
      LocalMachine b(name, sealed ? "sealed@example.com" : "down@example.com");
      if (sealed) b.engine().SetKey(*g_key);
      auto start = Clock::now();
      b.engine().RefreshPass();
      s = Seconds(start);
      if (b.CountAtStat(PartState::kCached) != 10) return state.SkipWithError("download incomplete");
    }
    RemoveMachineDir(name);
    state.SetIterationTime(s);
    g_samples[sealed ? "download sealed engine MB/s" : "download engine MB/s"].push_back(kBigFile /
                                                                                         1e6 / s);
  }
}

void BM_EngineDownload(benchmark::State& state) { EngineDownload(state, false); }
void BM_EngineDownloadSealed(benchmark::State& state) { EngineDownload(state, true); }

void BM_RawFetch(benchmark::State& state) {
  for (auto _ : state) {
    ImapClient client;
    if (!OpenClient(client, "down@example.com")) return state.SkipWithError("login");
    auto start = Clock::now();
    for (const auto& uid : g_big.uids) {
      std::string message;
      if (!client.FetchMessage({uid}, message)) return state.SkipWithError("fetch");
    }
    double s = Seconds(start);
    state.SetIterationTime(s);
    g_samples["download raw FetchMessage MB/s"].push_back(kBigFile / 1e6 / s);
  }
}

// --- 3: refresh over many messages

// Appends n small part messages, each of its own file, to user's mailbox.
bool FillMailbox(const std::string& user, int n) {
  ImapClient client;
  if (!OpenClient(client, user)) return false;
  std::string content = g_dir->Sub("small.bin");
  if (!WriteBytes(content, 100, 7)) return false;
  // Appended 100 at a time, pipelined: 100,000 messages fill in seconds.
  std::vector<std::string> batch;
  for (int i = 1; i <= n; ++i) {
    std::string eml = g_dir->Sub("fill" + std::to_string(batch.size()) + ".eml");
    FileRecord r;
    r.name = "f" + std::to_string(i);
    r.kind = RecordKind::kFilePart;
    r.from = r.to = user;
    r.cache_path = content;
    r.file_id = 1000 + i;
    r.part = r.total_part = 1;
    r.size = r.total_size = 100;
    r.md5 = "small";
    EmlWriter writer(PartHeaders::ToMessage(r, r.cache_path));
    int length = 0;
    if (!writer.SaveToEml(eml, length)) return false;
    batch.push_back(eml);
    if (batch.size() < 100 && i < n) continue;
    std::vector<ImapClient::Appended> appended;
    MailResult sent = client.AppendMessages("tandrel", batch, appended);
    for (const auto& a : appended) sent = a.result.ok() ? sent : a.result;
    if (!sent.ok()) {
      std::fprintf(stderr, "sync_bench: append %d of %d: %s\n", i, n, sent.text().c_str());
      return false;
    }
    batch.clear();
  }
  return true;
}

std::map<int, std::unique_ptr<LocalMachine>> g_refreshers;

bool PrepareRefresh(int n) {
  std::string user = "r" + std::to_string(n) + "@example.com";
  if (!FillMailbox(user, n)) return false;
  auto m = std::make_unique<LocalMachine>("r" + std::to_string(n), user);
  auto start = Clock::now();
  bool ok = m->engine().Refresh();
  double s = Seconds(start);
  if (!ok || m->CountAtStat(PartState::kAwaitingDownload) != n) {
    std::fprintf(stderr, "sync_bench: first pass over %d: %s, %d parts known\n", n,
                 ok ? "done" : "failed", m->CountAtStat(PartState::kAwaitingDownload));
    return false;
  }
  if (n >= 10000) {
    g_samples["first pass over " + std::string(n == 10000 ? "10,000" : "100,000") +
              " part messages s"]
        .push_back(s);
  }
  g_refreshers[n] = std::move(m);
  return true;
}

void BM_RefreshNothingNew(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  if (!g_refreshers[n]) return state.SkipWithError("mailbox not prepared");
  LocalMachine& m = *g_refreshers[n];
  m.Use();
  for (auto _ : state) {
    auto start = Clock::now();
    if (!m.engine().Refresh()) return state.SkipWithError("refresh failed");
    double s = Seconds(start);
    state.SetIterationTime(s);
    g_samples["refresh, nothing new, " + std::to_string(n) + " messages ms"].push_back(s * 1000);
  }
}

// --- 4: latency between two machines with the program's periods

void MeasureLatency(int samples) {
  SyncMachine a(g_dir->Sub("lat-a")), b(g_dir->Sub("lat-b"));
  std::string setup = "setup lat@example.com " + std::string(kPassword) + " " +
                      std::to_string(g_server->ImapPort());
  if (!a.Launch() || !b.Launch() || !a.Run(setup) || !b.Run(setup) || !a.Run("start 1000 10000") ||
      !b.Run("start 1000 10000")) {
    std::fprintf(stderr, "sync_bench: latency machines did not start\n");
    return;
  }
  std::string cache_b = b.CacheDir();
  for (int i = 0; i < samples; ++i) {
    std::string name = "lat" + std::to_string(i) + ".txt";
    auto start = Clock::now();
    if (!a.Run("gen \\" + name + " 1024 " + std::to_string(i))) break;
    bool seen = false;
    while (Seconds(start) < 60 && !seen) {
      std::vector<std::string> lines;
      b.Run("list", &lines);
      for (const auto& line : lines) {
        if (line == "F \\" + name + " 1024" && ReadFileBytes(cache_b + name).size() == 1024) {
          seen = true;
        }
      }
      if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (seen) g_samples["add on A until readable on B s"].push_back(Seconds(start));
  }
  a.Run("stop");
  b.Run("stop");
  a.Quit();
  b.Quit();
}

// --- 5: many small files

constexpr int kSmallFiles = 2000;
struct SmallFiles {
  std::vector<std::string> sources;  // the files' bytes
  std::vector<std::string> md5s;
  std::vector<std::string> emls;  // one message each, for the raw client
};
SmallFiles g_small;

bool PrepareSmallFiles() {
  std::string dir = g_dir->Sub("small");
  std::filesystem::create_directories(dir);
  for (int i = 0; i < kSmallFiles; ++i) {
    FileRecord r;
    r.name = "f" + std::to_string(i);
    r.cache_path = dir + "/" + r.name;
    if (!WriteBytes(r.cache_path, 200 + (i * 7919) % 7800, 100 + i) ||
        !GetFileMd5(r.cache_path, r.total_size, r.time, r.md5)) {
      return false;
    }
    r.kind = RecordKind::kFilePart;
    r.from = r.to = "rawsmall@example.com";
    r.file_id = 5000 + i;
    r.part = r.total_part = 1;
    r.size = static_cast<int>(r.total_size);
    std::string eml = r.cache_path + ".eml";
    EmlWriter writer(PartHeaders::ToMessage(r, r.cache_path));
    int length = 0;
    if (!writer.SaveToEml(eml, length)) return false;
    g_small.sources.push_back(r.cache_path);
    g_small.md5s.push_back(r.md5);
    g_small.emls.push_back(eml);
  }
  return true;
}

int g_small_round = 0;

void BM_EngineSmallFiles(benchmark::State& state) {
  for (auto _ : state) {
    std::string name = "small" + std::to_string(g_small_round++);
    double s = 0;
    {
      LocalMachine a(name, name + "@example.com");
      std::string cache = a.engine().CacheRoot();
      for (int i = 0; i < kSmallFiles; ++i)
        std::filesystem::copy_file(g_small.sources[i], NativePath(cache + "\\f" + std::to_string(i)));
      auto start = Clock::now();
      bool ok = true;
      for (int i = 0; i < kSmallFiles && ok; ++i)
        ok = a.engine().SyncAddFile("\\f" + std::to_string(i), g_small.md5s[i]);
      for (int step = 0; ok && step < 50 && a.CountAtStat(PartState::kAwaitingUpload) > 0; ++step)
        ok = a.engine().TaskStep();
      s = Seconds(start);
      if (!ok || a.CountAtStat(PartState::kAwaitingUpload) != 0)
        return state.SkipWithError("upload incomplete");
    }
    RemoveMachineDir(name);
    state.SetIterationTime(s);
    g_samples["small files engine s"].push_back(s);
  }
}

int g_raw_small_round = 0;

// Each round into a mailbox of its own, as each engine round.
void BM_RawSmallAppend(benchmark::State& state) {
  for (auto _ : state) {
    ImapClient client;
    std::string user = "rawsmall" + std::to_string(g_raw_small_round++) + "@example.com";
    if (!OpenClient(client, user)) return state.SkipWithError("login");
    auto start = Clock::now();
    for (size_t at = 0; at < g_small.emls.size(); at += ImapClient::kAppendsInFlight) {
      size_t end = std::min(g_small.emls.size(), at + ImapClient::kAppendsInFlight);
      std::vector<std::string> batch(g_small.emls.begin() + at, g_small.emls.begin() + end);
      std::vector<ImapClient::Appended> appended;
      if (!client.AppendMessages("tandrel", batch, appended).ok())
        return state.SkipWithError("append");
    }
    double s = Seconds(start);
    state.SetIterationTime(s);
    g_samples["small files raw pipelined s"].push_back(s);
  }
}

void PrintFigures() {
  std::printf("\n%-48s %12s %8s\n", "figure", "median", "samples");
  for (const auto& [name, values] : g_samples) {
    std::printf("%-48s %12.2f %8zu\n", name.c_str(), Median(values), values.size());
  }
  auto ratio = [](const char* engine, const char* raw) {
    double r = Median(g_samples[raw]);
    return r > 0 ? Median(g_samples[engine]) / r : 0.0;
  };
  std::printf("upload ratio (engine / raw Append):          %.2f (target >= 0.8)\n",
              ratio("upload engine MB/s", "upload raw Append MB/s"));
  std::printf("upload ratio (engine / raw Append, 3 conns): %.2f (target >= 0.8)\n",
              ratio("upload engine MB/s", "upload raw Append, 3 connections MB/s"));
  std::printf("download ratio (engine / raw FetchMessage):  %.2f (target >= 0.8)\n",
              ratio("download engine MB/s", "download raw FetchMessage MB/s"));
  std::printf("encrypted / plain drive, upload:             %.2f (target >= 0.9)\n",
              ratio("upload sealed engine MB/s", "upload engine MB/s"));
  std::printf("encrypted / plain drive, download:           %.2f (target >= 0.9)\n",
              ratio("download sealed engine MB/s", "download engine MB/s"));
  if (!g_samples["small files raw pipelined s"].empty()) {
    std::printf("small files (engine / raw pipelined):       %.2f (lower is better)\n",
                ratio("small files engine s", "small files raw pipelined s"));
  }
}

}  // namespace

// True when the run's --benchmark_filter (if any) names the given word, so a
// filtered run skips the set-up of figures it does not measure.
bool Wanted(int argc, char** argv, const std::string& word) {
  const std::string flag = "--benchmark_filter=";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind(flag, 0) == 0) return arg.find(word) != std::string::npos;
  }
  return true;
}

int main(int argc, char** argv) {
  bool refresh = Wanted(argc, argv, "Refresh");
  bool latency = Wanted(argc, argv, "Latency");
  bool small = Wanted(argc, argv, "Small");
  benchmark::Initialize(&argc, argv);
  if (!DovecotServer::Installed()) {
    std::fprintf(stderr, "sync_bench: dovecot is not installed\n");
    return 1;
  }
  DovecotServer server;
  g_key = DriveKey::Generate();
  for (const char* user :
       {"raw@example.com", "down@example.com", "sealed@example.com", "r1000@example.com",
        "r10000@example.com", "r100000@example.com", "lat@example.com"}) {
    server.AddUser(user, kPassword);
  }
  for (int i = 0; i < 16; ++i) {  // a fresh mailbox for each of the upload rounds
    server.AddUser("up" + std::to_string(i) + "@example.com", kPassword);
    server.AddUser("small" + std::to_string(i) + "@example.com", kPassword);
    server.AddUser("rawsmall" + std::to_string(i) + "@example.com", kPassword);
  }
  if (!server.Start()) {
    std::fprintf(stderr, "sync_bench: %s\n%s\n", server.Error().c_str(), server.LogText().c_str());
    return 1;
  }
  g_server = &server;
  TempDir dir("syncbench");
  g_dir = &dir;
  if (!PrepareBigFile()) {
    std::fprintf(stderr, "sync_bench: could not prepare the 100 MiB file\n");
    return 1;
  }
  if (small && !PrepareSmallFiles()) {
    std::fprintf(stderr, "sync_bench: could not prepare the small files\n");
    return 1;
  }
  if (refresh && (!PrepareRefresh(1000) || !PrepareRefresh(10000) || !PrepareRefresh(100000))) {
    std::fprintf(stderr, "sync_bench: could not fill the refresh mailboxes\n");
    return 1;
  }
  using Body = void (*)(benchmark::State&);
  const std::pair<const char*, Body> bodies[] = {
      {"RawAppend/100MiB", BM_RawAppend},
      {"RawAppendLanes/100MiB", BM_RawAppendLanes},
      {"EngineUpload/100MiB", BM_EngineUpload},
      {"EngineUploadSealed/100MiB", BM_EngineUploadSealed},
      {"EngineUploadDigestRead/100MiB", BM_EngineUploadDigestRead},
      {"RawFetch/100MiB", BM_RawFetch},
      {"EngineDownload/100MiB", BM_EngineDownload},
      {"EngineDownloadSealed/100MiB", BM_EngineDownloadSealed}};
  // Rounds interleave engine and baseline, so a drift of the machine during
  // the run weighs on both alike.
  for (int round = 0; round < 5; ++round) {
    for (const auto& [name, fn] : bodies) {
      benchmark::RegisterBenchmark(name, fn)->Iterations(1)->UseManualTime()->Unit(
          benchmark::kMillisecond);
    }
  }
  for (int round = 0; small && round < 3; ++round) {
    for (const auto& [name, fn] : {std::pair<const char*, Body>{"RawSmallAppend/2000", BM_RawSmallAppend},
                                   {"EngineSmallFiles/2000", BM_EngineSmallFiles}}) {
      benchmark::RegisterBenchmark(name, fn)->Iterations(1)->UseManualTime()->Unit(
          benchmark::kMillisecond);
    }
  }
  benchmark::RegisterBenchmark("RefreshNothingNew", BM_RefreshNothingNew)
      ->Arg(1000)
      ->Arg(10000)
      ->Arg(100000)
      ->Iterations(10)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  if (latency) MeasureLatency(3);
  PrintFigures();
  g_refreshers.clear();
  benchmark::Shutdown();
  return 0;
}

// Append and fetch of a message holding a 10 MiB part through ImapClient,
// each beside a raw baseline in the same run: the same command bytes through
// one socket (or one TLS session) with one large write, or large reads to the
// tagged completion. Against a private Dovecot on loopback, plain and TLS.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DovecotServer.h"
#include "TempDir.h"
#include "TestMessageFile.h"
#include "mail/ImapClient.h"

namespace {

constexpr size_t kPartBytes = 10u << 20;
const char* kUser = "bench@example.com";
const char* kPassword = "bench";

struct Setup {
  DovecotServer* server = nullptr;
  std::string eml;
  std::string eml_bytes;
  std::string uid[2];  // the message kept for fetching, per port
};
Setup g;

int PortFor(bool tls) { return tls ? g.server->ImapsPort() : g.server->ImapPort(); }

bool OpenClient(ImapClient& client, bool tls) {
  return client.Connect("localhost", PortFor(tls), tls) && client.Login(kUser, kPassword) &&
         client.Select("tandrel");
}

// The baseline: bare socket and OpenSSL calls, no line reader.
class RawSession {
 public:
  ~RawSession() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  bool Open(bool tls) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(PortFor(tls)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    if (tls) {
      ctx_ = SSL_CTX_new(TLS_client_method());
      ssl_ = SSL_new(ctx_);
      SSL_set_fd(ssl_, fd_);
      if (SSL_connect(ssl_) != 1) return false;
    }
    std::string reply;
    return Command(std::string("tag1 login ") + kUser + " " + kPassword + "\r\n", reply) &&
           Command("tag1 select tandrel\r\n", reply);
  }
  bool Write(const char* data, size_t n) {
    while (n > 0) {
      long w = ssl_ != nullptr ? SSL_write(ssl_, data, static_cast<int>(n))
                               : ::send(fd_, data, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      data += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  // Large reads until the reply ends with the tagged line (or a "+").
  bool ReadReply(std::string& reply, bool continuation = false) {
    reply.clear();
    for (;;) {
      long r = ssl_ != nullptr ? SSL_read(ssl_, chunk_.data(), static_cast<int>(chunk_.size()))
                               : ::recv(fd_, chunk_.data(), chunk_.size(), 0);
      if (r <= 0) return false;
      reply.append(chunk_.data(), static_cast<size_t>(r));
      if (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) continue;
      size_t start = reply.rfind("\r\n", reply.size() - 3);
      start = start == std::string::npos ? 0 : start + 2;
      if (reply.compare(start, 5, "tag1 ") == 0) return true;
      if (continuation && reply[start] == '+') return true;
    }
  }
  bool Command(const std::string& command, std::string& reply) {
    return Write(command.data(), command.size()) && ReadReply(reply);
  }

 private:
  std::vector<char> chunk_ = std::vector<char>(1u << 20);
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

void DeleteAllBut(ImapClient& client, const std::string& keep) {
  std::set<std::string> uids;
  client.FetchUidList(uids);
  uids.erase(keep);
  if (!uids.empty()) client.Delete(uids);
}

void Report(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPartBytes));
}

void BM_Append(benchmark::State& state, bool tls) {
  ImapClient client;
  if (!OpenClient(client, tls)) return state.SkipWithError("cannot open the session");
  for (auto _ : state) {
    if (!client.Append("tandrel", g.eml)) return state.SkipWithError("append failed");
    state.PauseTiming();
    DeleteAllBut(client, g.uid[tls]);
    state.ResumeTiming();
  }
  Report(state);
}

void BM_AppendBaseline(benchmark::State& state, bool tls) {
  RawSession raw;
  ImapClient cleaner;
  if (!raw.Open(tls) || !OpenClient(cleaner, tls)) return state.SkipWithError("cannot open");
  std::string command = "tag1 append \"tandrel\" {" + std::to_string(g.eml_bytes.size()) + "}\r\n";
  std::string literal = g.eml_bytes + "\r\n", reply;
  for (auto _ : state) {
    if (!raw.Write(command.data(), command.size()) || !raw.ReadReply(reply, true) ||
        !raw.Write(literal.data(), literal.size()) || !raw.ReadReply(reply))
      return state.SkipWithError("raw append failed");
    state.PauseTiming();
    DeleteAllBut(cleaner, g.uid[tls]);
    state.ResumeTiming();
  }
  Report(state);
}

void BM_Fetch(benchmark::State& state, bool tls) {
  ImapClient client;
  if (!OpenClient(client, tls)) return state.SkipWithError("cannot open the session");
  std::string message;
  for (auto _ : state) {
    message.clear();
    if (!client.FetchMessage({g.uid[tls]}, message) || message.size() != g.eml_bytes.size())
      return state.SkipWithError("fetch failed");
  }
  Report(state);
}

void BM_FetchBaseline(benchmark::State& state, bool tls) {
  RawSession raw;
  if (!raw.Open(tls)) return state.SkipWithError("cannot open");
  std::string command = "tag1 uid fetch " + g.uid[tls] + " (BODY.PEEK[])\r\n", reply;
  for (auto _ : state) {
    if (!raw.Command(command, reply) || reply.size() < g.eml_bytes.size())
      return state.SkipWithError("raw fetch failed");
  }
  Report(state);
}

// Prints the usual table, then the median of each measurement over its
// repetitions as a ratio of its baseline's median. Repetitions run randomly
// interleaved, so a load burst on the machine hits both sides alike.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration) continue;
      double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      mbps_[run.run_name.function_name].push_back(static_cast<double>(kPartBytes) / 1e6 / seconds);
    }
  }
  void PrintRatios() const {
    std::printf("\nMB/s of raw part bytes (10 MiB part), medians, client / raw baseline:\n");
    for (const char* op : {"Append", "Fetch"})
      for (const char* mode : {"plain", "tls"}) {
        std::string name = std::string(op) + "/" + mode,
                    base = std::string(op) + "Baseline/" + mode;
        double a = Median(name), b = Median(base);
        if (a > 0 && b > 0)
          std::printf("  %-13s %8.1f MB/s   baseline %8.1f MB/s   ratio %.2f (target %.1f)\n",
                      name.c_str(), a, b, a / b, op[0] == 'A' ? 0.8 : 0.7);
      }
  }

 private:
  double Median(const std::string& name) const {
    auto found = mbps_.find(name);
    if (found == mbps_.end() || found->second.empty()) return 0;
    std::vector<double> v = found->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  std::map<std::string, std::vector<double>> mbps_;
};

}  // namespace

int main(int argc, char** argv) {
  // Defaults that the command line can override (later flags win).
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=5";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions, interleave});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (!DovecotServer::Installed()) {
    std::fprintf(stderr, "imap_bench: dovecot is not installed\n");
    return 1;
  }
  DovecotServer server;
  server.AddUser(kUser, kPassword);
  if (!server.Start()) {
    std::fprintf(stderr, "imap_bench: %s\n%s\n", server.Error().c_str(), server.LogText().c_str());
    return 1;
  }
  ::setenv("SSL_CERT_FILE", server.CaFile().c_str(), 1);
  g.server = &server;
  TempDir dir("bench");
  g.eml = dir.Sub("part.eml");
  if (!WriteTestMessage(g.eml, kPartBytes)) return 1;
  g.eml_bytes = ReadFileBytes(g.eml);

  ImapClient setup;
  if (!setup.Connect("localhost", server.ImapPort(), false) || !setup.Login(kUser, kPassword) ||
      !setup.Create("tandrel") || !setup.Select("tandrel") || !setup.Append("tandrel", g.eml))
    return 1;
  std::set<std::string> uids;
  if (!setup.FetchUidList(uids) || uids.size() != 1) return 1;
  g.uid[0] = g.uid[1] = *uids.begin();

  for (bool tls : {false, true}) {
    std::string mode = tls ? "/tls" : "/plain";
    using Body = void (*)(benchmark::State&, bool);
    const std::pair<const char*, Body> bodies[] = {{"AppendBaseline", BM_AppendBaseline},
                                                   {"Append", BM_Append},
                                                   {"FetchBaseline", BM_FetchBaseline},
                                                   {"Fetch", BM_Fetch}};
    for (const auto& [name, fn] : bodies)
      benchmark::RegisterBenchmark((name + mode).c_str(), fn, tls)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

// What an idle, in-step drive costs the mailbox: bytes the server sends a
// mounted tandrel-cli per minute while nothing changes, over mailboxes of
// 1,000 and 10,000 messages (counted at a loopback proxy), beside what a
// pass that lists every UID (NOOP and UID FETCH 1:* every ten seconds, as
// the drive did before) receives over the same mailbox. The messages are
// small strays: a listing costs the same per message whatever it holds.
// Goal: at most 20 KB a minute over 5,000 messages, not growing with them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "LoopbackProxy.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "platform/FileHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWindowSeconds = 30;
constexpr int kPassesPerMinute = 6;  // the refresh period of ten seconds
const char kPassword[] = "pw";

std::map<std::string, double> g_figures;

bool Eventually(const std::function<bool()>& done, int seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::string User(int messages) { return "idle" + std::to_string(messages) + "@example.org"; }

bool Fill(TempDir& root, int port, int messages) {
  std::string eml = root.Sub("stray.eml");
  WriteFileBytes(eml, "From: a@example.org\r\nSubject: stray\r\n\r\nhello\r\n");
  ImapClient raw;
  if (!raw.Connect("127.0.0.1", port, false) || !raw.Login(User(messages), kPassword) ||
      !raw.Create("tandrel")) {
    return false;
  }
  for (int i = 0; i < messages; ++i) {
    if (!raw.Append("tandrel", eml)) return false;
  }
  raw.Logout();
  return true;
}

// Bytes a minute of passes that each list every UID.
double ListingEveryPass(int port, int messages) {
  LoopbackProxy proxy(port);
  ImapClient raw;
  if (!proxy.Start() || !raw.Connect("127.0.0.1", proxy.Port(), false) ||
      !raw.Login(User(messages), kPassword) || !raw.Select("tandrel")) {
    return -1;
  }
  uint64_t before = proxy.BytesToClients();
  ImapClient::UidListing listing;
  for (int i = 0; i < kPassesPerMinute; ++i) {
    if (!raw.Noop() || !raw.ListUids(listing)) return -1;
  }
  double bytes = static_cast<double>(proxy.BytesToClients() - before);
  raw.Logout();
  return bytes;
}

void IdleMinute(benchmark::State& state, TempDir* root, int port, int messages) {
  for (auto _ : state) {
    LoopbackProxy proxy(port);
    if (!proxy.Start()) return state.SkipWithError("proxy");
    CliMachine m(root->Sub("m" + std::to_string(messages)), User(messages), kPassword,
                 proxy.Port());
    m.SetLogLevel("");
    m.SetPeriods("");  // the program's own: a pass every ten seconds
    if (!m.Mount()) return state.SkipWithError("mount");
    bool ready = Eventually([&] {
      std::string out;
      m.Cli("status", out);
      return out.find("State:       up to date") != std::string::npos;
    }, 300);
    if (!ready) return state.SkipWithError("never up to date");
    std::this_thread::sleep_for(std::chrono::seconds(12));  // the first passes settle
    uint64_t before = proxy.BytesToClients();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kWindowSeconds));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_figures["drive/" + std::to_string(messages)] =
        static_cast<double>(proxy.BytesToClients() - before) * 60 / seconds;
    g_figures["listing/" + std::to_string(messages)] = ListingEveryPass(port, messages);
    state.SetIterationTime(seconds);
    m.Terminate();
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TempDir root("idle-bench");
  DovecotServer server;
  if (!DovecotServer::Installed() || !server.Start()) {
    std::fprintf(stderr, "idle_bench: no Dovecot: %s\n", server.Error().c_str());
    return 1;
  }
  const int sizes[] = {1000, 10000};
  for (int messages : sizes) {
    if (!server.AddUser(User(messages), kPassword) || !Fill(root, server.ImapPort(), messages)) {
      std::fprintf(stderr, "idle_bench: the mailbox of %d could not be filled\n", messages);
      return 1;
    }
    benchmark::RegisterBenchmark(("idle/" + std::to_string(messages)).c_str(), IdleMinute, &root,
                                 server.ImapPort(), messages)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n");
  for (int messages : sizes) {
    std::string n = std::to_string(messages);
    double drive = g_figures["drive/" + n], listing = g_figures["listing/" + n];
    std::printf("idle minute over %d messages: the drive receives %.0f bytes, a pass listing "
                "every UID %.0f bytes (%.4f; goal <= 20 KB)\n",
                messages, drive, listing, drive / listing);
  }
  return 0;
}

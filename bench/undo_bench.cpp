// What undo costs in the mailbox: a day of ordinary edits (ten documents of
// 200 KB, each saved every 20 minutes for eight hours, the wall clock
// injected) on an engine against a private Dovecot. Printed: the messages
// and bytes the mailbox holds at the end of the day, beside the same drive
// with its trash and versions let go (the baseline, measured in the same
// run), and a month later, when the retention has thinned them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "DovecotServer.h"
#include "EngineMachine.h"
#include "TempDir.h"

namespace {

constexpr int kDocuments = 10;
constexpr int kSavesPerDocument = 24;  // every 20 minutes for eight hours
constexpr size_t kDocumentBytes = 200 * 1000;

struct Box {
  int messages = 0;
  uint64_t bytes = 0;
};

Box Measure(const std::string& maildir) {
  Box box;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(maildir)) {
    std::string name = entry.path().string();
    if (!entry.is_regular_file() || name.find("/cur/") == std::string::npos) continue;
    ++box.messages;
    box.bytes += entry.file_size();
  }
  return box;
}

std::string Content(int doc, int save) {
  std::string bytes(kDocumentBytes, '\0');
  unsigned x = static_cast<unsigned>(doc * 7919 + save * 104729 + 1);
  for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  return bytes;
}

bool Settle(EngineMachine& m) {
  for (int i = 0; i < 20; ++i) {
    if (!m.Step()) return false;
    m.Pass();
    if (m.Pending() == 0) return true;
  }
  return false;
}

void BM_DayOfEdits(benchmark::State& state, DovecotServer* server, const std::string& root) {
  for (auto _ : state) {
    EngineMachine m(root, "undo@example.com", "bench", server->ImapPort());
    time_t now = 1800000000;
    m.engine().SetWallClockForTest([&now] { return timespec{now, 0}; });
    if (!m.SetUp()) return state.SkipWithError("no engine");
    for (int save = 0; save < kSavesPerDocument; ++save) {
      for (int doc = 0; doc < kDocuments; ++doc)
        if (!m.Write("\\doc" + std::to_string(doc) + ".odt", Content(doc, save)))
          return state.SkipWithError("write");
      if (!Settle(m)) return state.SkipWithError("upload");
      now += 20 * 60;
    }
    const std::string maildir = server->MailDir() + "/undo@example.com";
    Box day = Measure(maildir);
    now += 31 * 24 * 3600;
    Settle(m);
    Box month = Measure(maildir);
    m.EmptyTrash();
    Settle(m);
    Box live = Measure(maildir);
    std::printf("undo: a day of %d saves of %d documents of %zu KB\n",
                kDocuments * kSavesPerDocument, kDocuments, kDocumentBytes / 1000);
    std::printf("  drive alone (baseline): %d messages, %.1f MB\n", live.messages,
                live.bytes / 1e6);
    std::printf("  end of the day:         %d messages, %.1f MB (%.2f x the baseline)\n",
                day.messages, day.bytes / 1e6, static_cast<double>(day.bytes) / live.bytes);
    std::printf("  a month later:          %d messages, %.1f MB (%.2f x the baseline)\n",
                month.messages, month.bytes / 1e6, static_cast<double>(month.bytes) / live.bytes);
    state.counters["day_ratio"] = static_cast<double>(day.bytes) / live.bytes;
    state.counters["month_ratio"] = static_cast<double>(month.bytes) / live.bytes;
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!DovecotServer::Installed()) {
    std::fprintf(stderr, "undo_bench: dovecot is not installed\n");
    return 1;
  }
  DovecotServer server;
  server.AddUser("undo@example.com", "bench");
  if (!server.Start()) {
    std::fprintf(stderr, "undo_bench: %s\n", server.Error().c_str());
    return 1;
  }
  TempDir dir("undo-bench");
  benchmark::RegisterBenchmark("BM_DayOfEdits", BM_DayOfEdits, &server, dir.Sub("m"))
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kSecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Changes pushed by the server: two machines on the Dovecot fixture, with
// refresh periods far longer than the tests, so that only IDLE brings a
// change; and a server without IDLE, where the periodic pass does.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "DovecotServer.h"
#include "SyncMachine.h"
#include "TempDir.h"
#include "sync/SyncEngine.h"

namespace {

const char kUser[] = "push@example.com";
const char kPassword[] = "secret";
using Clock = std::chrono::steady_clock;
const char kNeverMs[] = "600000";

class SyncPush : public ::testing::Test {
 protected:
  void Open(DovecotServer::Options options = {}) {
    server_ = std::make_unique<DovecotServer>(options);
    TANDREL_START_DOVECOT(*server_);
    ASSERT_TRUE(server_->AddUser(kUser, kPassword));
    a_ = NewMachine("a");
    b_ = NewMachine("b");
    ASSERT_TRUE(a_ && b_);
  }

  void TearDown() override {
    if (HasFailure() && b_) std::fprintf(stderr, "--- log of B\n%s\n", b_->LogText().c_str());
  }

  std::unique_ptr<SyncMachine> NewMachine(const std::string& name) {
    auto m = std::make_unique<SyncMachine>(tmp_.Sub(name));
    std::string setup =
        "setup " + std::string(kUser) + " " + kPassword + " " + std::to_string(server_->ImapPort());
    if (!m->Launch() || !m->Run(setup)) return nullptr;
    return m;
  }

  // Polls a condition of the test's own (never the engine's clock) until a
  // deadline far below the machines' refresh period.
  template <typename Condition>
  static bool Eventually(Condition condition, int seconds = 30) {
    for (auto deadline = Clock::now() + std::chrono::seconds(seconds); Clock::now() < deadline;) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool Lists(SyncMachine& m, const std::string& path) {
    std::vector<std::string> lines;
    if (!m.Run("list", &lines)) return false;
    for (const auto& line : lines) {
      if (line.compare(2, path.size() + 1, path + " ") == 0) return true;
    }
    return false;
  }

  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  size_t Idles(SyncMachine& m) { return Count(m.LogText(), "refresh: idling"); }
  static int Pending(SyncMachine& m) { return m.Pending(); }

  TempDir tmp_{"push"};
  std::unique_ptr<DovecotServer> server_;
  std::unique_ptr<SyncMachine> a_;
  std::unique_ptr<SyncMachine> b_;
};

TEST_F(SyncPush, AChangeArrivesThroughIdleAndStopEndsTheIdleAtOnce) {
  Open();
  ASSERT_TRUE(b_->Run(std::string("start 50 ") + kNeverMs));
  ASSERT_TRUE(Eventually([&] { return Idles(*b_) > 0; }));
  ASSERT_TRUE(a_->Run(std::string("start 50 ") + kNeverMs));
  ASSERT_TRUE(a_->Run("gen \\one 1000 1"));
  EXPECT_TRUE(Eventually([&] { return Lists(*b_, "\\one"); }));

  auto before = Clock::now();
  ASSERT_TRUE(b_->Run("stop"));
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(SyncEngine::kStopGraceMs));
  EXPECT_EQ(Count(b_->LogText(), "transfers cut"), 0u);
  ASSERT_TRUE(a_->Run("stop"));
}

// Both periods far away: each change goes up because it woke the task
// thread, and is claimed because the server told of the append.
TEST_F(SyncPush, LocalChangesWakeTheTaskThread) {
  Open();
  ASSERT_TRUE(a_->Run(std::string("start ") + kNeverMs + " " + kNeverMs));
  ASSERT_TRUE(Eventually([&] { return Idles(*a_) > 0; }));
  for (const char* change : {"gen \\one 1000 1", "mkdir \\dir", "gen \\dir\\two 3000 2"}) {
    ASSERT_TRUE(a_->Run(change));
    EXPECT_TRUE(Eventually([&] { return Pending(*a_) == 0; })) << change;
  }
  ASSERT_TRUE(b_->Run("pass"));
  EXPECT_TRUE(Lists(*b_, "\\dir\\two"));
}

TEST_F(SyncPush, AnIdleTheServerDroppedIsOpenedAgain) {
  Open();
  // A failed reopening waits one period: short here, the drop itself is seen
  // at once.
  ASSERT_TRUE(b_->Run("start 50 500"));
  ASSERT_TRUE(Eventually([&] { return Idles(*b_) > 0; }));
  ASSERT_TRUE(server_->Restart()) << server_->Error();
  ASSERT_TRUE(Eventually([&] { return Count(b_->LogText(), "dropped while idling") > 0; }));
  size_t idles = Idles(*b_);
  ASSERT_TRUE(Eventually([&] { return Idles(*b_) > idles; }));
  ASSERT_TRUE(a_->Run(std::string("start 50 ") + kNeverMs));
  ASSERT_TRUE(a_->Run("gen \\after 2000 2"));
  EXPECT_TRUE(Eventually([&] { return Lists(*b_, "\\after"); }));
}

TEST_F(SyncPush, WithoutIdleThePeriodicPassBringsTheChange) {
  DovecotServer::Options options;
  options.no_idle = true;
  Open(options);
  ASSERT_TRUE(b_->Run("start 50 300"));
  ASSERT_TRUE(a_->Run("start 50 300"));
  ASSERT_TRUE(a_->Run("gen \\one 1000 1"));
  EXPECT_TRUE(Eventually([&] { return Lists(*b_, "\\one"); }));
  EXPECT_EQ(Idles(*b_), 0u);
}

}  // namespace

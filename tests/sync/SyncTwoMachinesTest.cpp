// Two machines as processes with their own home and data directories,
// signed in to one mailbox of the Dovecot fixture and driven through
// sync_driver: for what needs a process (kill -9). Everything else runs in
// one process (SyncMachinesTest.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <thread>

#include "DovecotServer.h"
#include "MailboxCheck.h"
#include "SyncMachine.h"
#include "TempDir.h"
#include "platform/FileHelpers.h"

namespace {

const char kUser[] = "two@example.com";
const char kPassword[] = "secret";
using Clock = std::chrono::steady_clock;

// Path -> size ("D" folders have size -1), from a machine's folder cache.
using Listing = SyncMachine::Listing;

std::string Native(const std::string& drive_path) { return NativePath(drive_path).substr(1); }

class SyncTwoMachines : public ::testing::Test {
 protected:
  void SetUp() override {
    TANDREL_START_DOVECOT(server_);
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
    a_ = NewMachine("a");
    b_ = NewMachine("b");
    ASSERT_TRUE(a_ && b_);
  }

  void TearDown() override {
    if (HasFailure()) {
      if (a_) std::fprintf(stderr, "--- log of A\n%s\n", a_->LogText().c_str());
      if (b_) std::fprintf(stderr, "--- log of B\n%s\n", b_->LogText().c_str());
    }
  }

  std::unique_ptr<SyncMachine> NewMachine(const std::string& name) {
    auto m = std::make_unique<SyncMachine>(tmp_.Sub(name));
    if (!m->Launch()) return nullptr;
    if (!m->Run("setup " + std::string(kUser) + " " + kPassword + " " + std::to_string(Port()))) {
      return nullptr;
    }
    return m;
  }

  int Port() { return server_.ImapPort(); }

  static bool Do(SyncMachine& m, const std::string& command) {
    bool ok = m.Run(command);
    EXPECT_TRUE(ok) << command;
    return ok;
  }

  static Listing List(SyncMachine& m) { return m.List(); }
  bool Converge(int max_rounds = 12) {
    return SyncMachine::Converge({a_.get(), b_.get()}, max_rounds);
  }

  // Every file both machines list has the same bytes in both caches.
  void ExpectSameBytes(const Listing& listing) {
    for (const auto& [path, size] : listing) {
      std::string native_a = a_->CacheDir() + Native(path);
      std::string native_b = b_->CacheDir() + Native(path);
      if (size < 0) {
        EXPECT_TRUE(DirExists(native_b)) << path;
        continue;
      }
      std::string bytes_a = ReadFileBytes(native_a), bytes_b = ReadFileBytes(native_b);
      EXPECT_EQ(static_cast<long long>(bytes_a.size()), size) << path;
      EXPECT_TRUE(bytes_a == bytes_b) << path << " differs";
    }
  }

  Mailbox CheckMailbox() { return ::CheckMailbox(Port(), kUser, kPassword); }

  DovecotServer server_;
  TempDir tmp_{"two"};
  std::unique_ptr<SyncMachine> a_;
  std::unique_ptr<SyncMachine> b_;
};

TEST_F(SyncTwoMachines, KilledDuringUploadLosesNothing) {
  ASSERT_TRUE(a_->Run("start 50 300"));
  Do(*a_, "gen \\big.bin 25000000 8");
  // Wait until about half its parts' bytes are on their way, then kill
  // without warning.
  bool in_flight = false;
  for (auto deadline = Clock::now() + std::chrono::seconds(120); Clock::now() < deadline;) {
    std::string line = a_->RunLine("uploading");
    size_t done_at = line.rfind(' ');
    if (line.find("big.bin(第") != std::string::npos && done_at != std::string::npos &&
        std::atoll(line.c_str() + done_at + 1) >= 12000000) {
      in_flight = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(in_flight);
  a_->Kill();
  a_ = NewMachine("a");
  ASSERT_TRUE(a_);
  ASSERT_TRUE(Converge(20));
  Listing b = List(*b_);
  EXPECT_EQ(b, (Listing{{"\\big.bin", 25000000}}));
  ExpectSameBytes(b);
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.parts.size(), 3u);
  EXPECT_EQ(box.PartMessages(), 3);
}

}  // namespace

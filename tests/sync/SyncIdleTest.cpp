// An idle drive costs the mailbox the same whatever it holds: a pass that
// finds the counts unchanged asks for no listing, and one after a change
// asks only for what is new, on an open session and on a fresh one, with
// or without CONDSTORE offered.
#include <gtest/gtest.h>

#include "SyncMachinesFixture.h"

namespace {

constexpr int kFiles = 150;

DovecotServer::Options WithCondstore(bool condstore) {
  DovecotServer::Options options;
  options.no_condstore = !condstore;
  return options;
}

class SyncIdle : public SyncMachines, public ::testing::WithParamInterface<bool> {
 protected:
  SyncIdle() : SyncMachines(WithCondstore(GetParam())) {}

  bool Upload() {
    for (int i = 0; i < 400 && a_->Pending() != 0; ++i) a_->Step();
    return a_->Pending() == 0;
  }
  // Bytes the server sent B over one pass.
  uint64_t PassBytes() {
    uint64_t before = b_->BytesFromServer();
    b_->Pass();
    return b_->BytesFromServer() - before;
  }
  static std::string Name(int i) { return "\\f" + std::to_string(i); }
};

TEST_P(SyncIdle, AnIdlePassAsksForNoListingYetSeesWhatOthersAddAndRemove) {
  for (int i = 0; i < kFiles; ++i) ASSERT_TRUE(a_->Write(Name(i), Bytes(100, i)));
  ASSERT_TRUE(Upload());
  ASSERT_TRUE(Converge());
  // A listing of the mailbox alone is 20 bytes a message.
  uint64_t idle = PassBytes() + PassBytes();
  EXPECT_LT(idle, 20u * kFiles / 4) << idle;

  // On the open session: a file added, another removed.
  ASSERT_TRUE(a_->Write("\\new", "new"));
  ASSERT_TRUE(a_->Remove(Name(3)));
  ASSERT_TRUE(Upload());
  b_->Pass();
  b_->Pass();
  Listing seen = b_->List(false);
  EXPECT_EQ(seen.count("\\new"), 1u);
  EXPECT_EQ(seen.count(Name(3)), 0u);
  EXPECT_EQ(seen.count(Name(4)), 1u);

  // While B's connection is down, the same; its fresh session tells by the counts.
  b_->Cut();
  b_->Pass();
  b_->Restore();
  b_->Later(60000);
  ASSERT_TRUE(a_->Write("\\later", "later"));
  ASSERT_TRUE(a_->Remove(Name(5)));
  ASSERT_TRUE(Upload());
  ASSERT_TRUE(Converge());
  seen = b_->List(false);
  EXPECT_EQ(seen.count("\\later"), 1u);
  EXPECT_EQ(seen.count(Name(5)), 0u);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kFiles));
}

INSTANTIATE_TEST_SUITE_P(Condstore, SyncIdle, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Offered" : "NotOffered"; });

}  // namespace

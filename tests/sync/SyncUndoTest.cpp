// The trash and the versions across machines: what one deletes or replaces
// stays in the mailbox, known to every machine and never listed, until a
// machine brings it back or the retention and the thinning let it go.
#include <gtest/gtest.h>

#include <ctime>

#include "SyncMachinesFixture.h"
#include "log/CLog.h"
#include "store/CachePolicy.h"
#include "store/KeptFiles.h"
#include "store/SyncQueries.h"
#include "sync/TrashKeeper.h"

namespace {

constexpr int64_t kStart = 1800000000;  // the machines' wall clock, in seconds

class SyncUndo : public SyncMachines {
 protected:
  void SetUp() override {
    SyncMachines::SetUp();
    for (EngineMachine* m : {a_.get(), b_.get()})
      m->engine().SetWallClockForTest([this] { return timespec{now_, 0}; });
  }
  std::vector<KeptRecord> Kept(EngineMachine& m) {
    std::vector<KeptRecord> kept;
    EXPECT_TRUE(KeptFiles(m.engine().DataDirectory(), kUser).List(kept));
    return kept;
  }
  bool Ask(EngineMachine& m, KeptFiles::Action action, const std::string& path, int n = 0) {
    return KeptFiles(m.engine().DataDirectory(), kUser).Ask({action, path, n});
  }

  time_t now_ = kStart;
};

TEST_F(SyncUndo, AFolderDeletedOnOneMachineComesBackFromAnother) {
  ASSERT_TRUE(a_->Mkdir("\\docs"));
  ASSERT_TRUE(a_->Mkdir("\\docs\\sub"));
  ASSERT_TRUE(a_->Write("\\docs\\a.txt", Bytes(1000, 1)));
  ASSERT_TRUE(a_->Write("\\docs\\sub\\big.bin", Bytes(11000000, 2)));
  ASSERT_TRUE(a_->Write("\\keep.txt", Bytes(10, 3)));
  ASSERT_TRUE(Converge());
  const Listing before = a_->List();
  const int parts = Box().PartMessages();

  // rm -rf docs: files first, then the folders.
  ASSERT_TRUE(a_->Remove("\\docs\\sub\\big.bin"));
  ASSERT_TRUE(a_->Remove("\\docs\\a.txt"));
  ASSERT_TRUE(a_->Rmdir("\\docs\\sub"));
  ASSERT_TRUE(a_->Rmdir("\\docs"));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{{"\\keep.txt", 10}}));
  EXPECT_EQ(Box().PartMessages(), parts) << "the trash keeps every message";
  std::vector<KeptRecord> trash = Kept(*b_);
  ASSERT_EQ(trash.size(), 2u);
  EXPECT_EQ(trash[0].machine, "a");
  EXPECT_EQ(trash[0].kind, KeptKind::kTrash);

  ASSERT_TRUE(Ask(*b_, KeptFiles::Action::kRestore, "\\docs"));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(a_->List(), before);
  EXPECT_EQ(b_->List(), before);
  EXPECT_TRUE(Kept(*a_).empty());
  EXPECT_TRUE(Kept(*b_).empty());

  // A restore into a taken place gets a conflict name; a restore asked
  // twice restores once.
  ASSERT_TRUE(a_->Remove("\\keep.txt"));
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(a_->Write("\\keep.txt", Bytes(20, 4)));
  ASSERT_TRUE(Ask(*a_, KeptFiles::Action::kRestore, "\\keep.txt"));
  ASSERT_TRUE(Ask(*a_, KeptFiles::Action::kRestore, "\\keep.txt"));
  ASSERT_TRUE(Converge());
  std::map<std::string, long long> sizes = Sizes(b_->List());
  EXPECT_EQ(sizes.size(), before.size() + 1);
  EXPECT_EQ(sizes["\\keep.txt"], 20);

  // What one machine lets go, the other forgets with its messages.
  ASSERT_TRUE(a_->Remove("\\keep.txt"));
  ASSERT_TRUE(Converge());
  ASSERT_FALSE(Kept(*b_).empty());
  ASSERT_TRUE(a_->EmptyTrash());
  ASSERT_TRUE(Converge());
  EXPECT_TRUE(Kept(*b_).empty());
  SyncQueries::Parts rows;
  ASSERT_TRUE(SyncQueries(b_->engine().DataDirectory(), kUser).GetAllParts(rows));
  EXPECT_EQ(static_cast<int>(rows.size()), Box().PartMessages());
}

TEST_F(SyncUndo, VersionsAreListedRestoredAndThinnedAndTheTrashExpires) {
  const std::string path = "\\plan.txt";
  for (int edit = 0; edit < 4; ++edit) {
    ASSERT_TRUE(a_->Write(path, Bytes(100 + edit, edit)));
    ASSERT_TRUE(Converge());
    now_ += 2 * 3600;
  }
  std::vector<KeptRecord> kept = Kept(*b_);
  ASSERT_EQ(kept.size(), 3u);
  std::vector<KeptRecord> versions = TrashKeeper::VersionsOf(kept, kept[0].origin);
  ASSERT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions[2].size, 100);  // the first content is the oldest version

  ASSERT_TRUE(Ask(*a_, KeptFiles::Action::kRestoreVersion, path, 3));
  ASSERT_TRUE(Converge());
  EXPECT_TRUE(a_->Read(path) == Bytes(100, 0));
  EXPECT_TRUE(b_->Read(path) == Bytes(100, 0));
  kept = Kept(*a_);
  EXPECT_EQ(kept.size(), 3u) << "the content replaced became a version";

  // A file deleted now; past the retention the trash and the versions go.
  ASSERT_TRUE(a_->Write("\\gone.txt", Bytes(50, 9)));
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(a_->Remove("\\gone.txt"));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(Kept(*b_).size(), 4u);
  now_ += 31 * 24 * 3600;
  ASSERT_TRUE(Converge());
  EXPECT_TRUE(Kept(*b_).empty());
  EXPECT_EQ(Box().PartMessages(), 1);
}

// On demand, a range read before the delete is fetched again after the
// restore: the cached bytes went with the delete.
TEST_F(SyncUndo, ARestoredFileIsReadAgainOnDemand) {
  const std::string big = Bytes(3000000, 6);
  ASSERT_TRUE(a_->Write("\\big.bin", big));
  for (int i = 0; i < 10 && a_->Pending() != 0; ++i) a_->Step();
  ASSERT_TRUE(CachePolicy(b_->engine().DataDirectory(), kUser).SetLimit(1 << 20));
  b_->Pass();
  ContentCache& cache = b_->engine().Content();
  bool complete = false;
  ASSERT_EQ(cache.Ensure("\\big.bin", 100000, 1000, complete), ContentCache::Fetch::kReady);
  ASSERT_TRUE(b_->Remove("\\big.bin"));
  ASSERT_TRUE(Ask(*b_, KeptFiles::Action::kRestore, "\\big.bin"));
  ASSERT_TRUE(b_->Step());
  b_->Pass();
  ASSERT_EQ(cache.Ensure("\\big.bin", 100000, 1000, complete), ContentCache::Fetch::kReady);
  EXPECT_TRUE(b_->ReadAt("\\big.bin", 100000, 1000) == big.substr(100000, 1000));
}

// The thinning alone: the newest, then one for each hour of the clock for
// a day, one for each day for the retention, at most ten (kStart begins an
// hour).
class SyncUndoQuota : public SyncMachines {
 protected:
  SyncUndoQuota() : SyncMachines(Quota()) {}
  static DovecotServer::Options Quota() {
    DovecotServer::Options options;
    options.quota_kib = 20 * 1024;  // two 6 MB files as messages, not three
    return options;
  }
  std::vector<KeptRecord> Kept(EngineMachine& m) {
    std::vector<KeptRecord> kept;
    EXPECT_TRUE(KeptFiles(m.engine().DataDirectory(), kUser).List(kept));
    return kept;
  }
};

// A mailbox that the waiting upload would overfill gives back the oldest
// trash first: the server never has to refuse the upload.
TEST_F(SyncUndoQuota, TheOldestTrashMakesRoomBeforeAnUploadIsRefused) {
  ASSERT_TRUE(a_->Write("\\old.bin", Bytes(6000000, 1)));
  ASSERT_TRUE(a_->Write("\\new.bin", Bytes(6000000, 2)));
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(a_->Remove("\\old.bin"));
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(a_->Remove("\\new.bin"));
  ASSERT_TRUE(Converge());
  ASSERT_EQ(Kept(*a_).size(), 2u);

  CLog* log = CLog::Instance();
  log->Queue().TakeAll();
  log->SetThreshold(LOG_DEBUG);
  log->SetEnabled(true);
  ASSERT_TRUE(a_->Write("\\third.bin", Bytes(6000000, 3)));
  ASSERT_TRUE(Converge());
  log->SetEnabled(false);
  std::string lines;
  for (const std::string& line : log->Queue().TakeAll()) lines += line + "\n";
  EXPECT_EQ(lines.find("mailbox full"), std::string::npos) << lines;
  std::vector<KeptRecord> kept = Kept(*b_);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].path, "\\new.bin");
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{{"\\third.bin", 6000000}}));
}

TEST(TrashKeeperTest, ThinningKeepsOneAnHourThenOneADay) {
  const int64_t now = kStart * 1000;
  std::vector<KeptRecord> kept;
  auto version = [&](int id, int64_t age) {
    KeptRecord k;
    k.file_id = id;
    k.origin = 1;
    k.kind = KeptKind::kVersion;
    k.at = now - age;
    kept.push_back(k);
  };
  version(10, 60000);                            // newest: kept
  version(11, 120000);                           // same hour as it: goes
  version(12, 2 * TrashKeeper::kHour + 60000);   // kept
  version(13, 2 * TrashKeeper::kHour + 120000);  // the same hour of the clock: goes
  version(14, 3 * TrashKeeper::kDay);            // kept
  version(15, 3 * TrashKeeper::kDay + 60000);    // same day: goes
  version(16, 40 * TrashKeeper::kDay);           // past the retention: goes
  for (int i = 0; i < 12; ++i) version(20 + i, (5 + i) * TrashKeeper::kDay);  // beyond ten go
  std::vector<int> gone = TrashKeeper::Expired(kept, now, 30);
  std::set<int> let_go(gone.begin(), gone.end());
  for (int id : {10, 12, 14}) EXPECT_EQ(let_go.count(id), 0u) << id;
  for (int id : {11, 13, 15, 16}) EXPECT_EQ(let_go.count(id), 1u) << id;
  EXPECT_EQ(kept.size() - let_go.size(), static_cast<size_t>(KeptFiles::kMaxVersions));
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "platform/FileHelpers.h"
#include "sync/StatusFile.h"
#include "sync/SyncStatus.h"

namespace {

TEST(SyncStatusTest, StateFollowsTheWorstCondition) {
  SyncStatus status;
  EXPECT_EQ(status.Take().state, SyncStatus::State::kUpToDate);
  status.SetPending(2, 1, 3 << 20);
  SyncStatus::Snapshot s = status.Take();
  EXPECT_EQ(s.state, SyncStatus::State::kSyncing);
  EXPECT_EQ(SyncStatus::StateLine(s), "syncing 3 files, 3.0 MiB left");
  status.NoteError("NO [AUTHENTICATIONFAILED] bad");
  EXPECT_EQ(status.Take().state, SyncStatus::State::kError);
  status.NoteQuotaFull(true);
  EXPECT_NE(SyncStatus::StateLine(status.Take()).find("quota"), std::string::npos);
  status.NoteOffline("no route");
  EXPECT_EQ(status.Take().state, SyncStatus::State::kOffline);
  EXPECT_EQ(status.Take().last_error, "no route");
  status.NoteOnline();
  status.NoteQuotaFull(false);
  EXPECT_EQ(status.Take().state, SyncStatus::State::kSyncing) << "online clears the error";
}

TEST(SyncStatusTest, TextRoundTripAndReport) {
  SyncStatus::Snapshot s;
  s.state = SyncStatus::State::kError;
  s.user = "a@example.org";
  s.mount_point = "/home/a/Tandrel";
  s.pid = 42;
  s.pending_uploads = 1;
  s.bytes_left = 10;
  s.last_error = "line one\r\nline two";
  s.last_error_at = 1700000000;
  s.quota_used = 5;
  s.quota_limit = 40 << 20;
  s.capabilities = {"IDLE", "QUOTA"};
  s.conflict_copies = 3;
  SyncStatus::Snapshot back;
  ASSERT_TRUE(SyncStatus::Parse(SyncStatus::Serialize(s), back));
  EXPECT_EQ(back.state, s.state);
  EXPECT_EQ(back.user, s.user);
  EXPECT_EQ(back.mount_point, s.mount_point);
  EXPECT_EQ(back.pid, 42);
  EXPECT_EQ(back.last_error, "line one  line two") << "one line per value";
  EXPECT_EQ(back.last_error_at, s.last_error_at);
  EXPECT_EQ(back.quota_limit, s.quota_limit);
  EXPECT_EQ(back.capabilities, s.capabilities);
  EXPECT_EQ(back.conflict_copies, 3);
  std::string report = SyncStatus::Describe(back);
  for (const char* part : {"error: line one", "1 file waiting", "40.0 MiB", "IDLE QUOTA"})
    EXPECT_NE(report.find(part), std::string::npos) << part << "\n" << report;
  EXPECT_FALSE(SyncStatus::Parse("garbage\nstate=sleepy\n", back));
}

TEST(SyncStatusTest, FileIsReplacedWholeAndTellsLiveFromStale) {
  TempDir dir("status");
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  SyncStatus::Snapshot s;
  s.user = "a@example.org";
  s.pid = ::getpid();
  s.mount_point = "/proc";  // a mount point that surely stands
  SyncStatus::Snapshot read;
  EXPECT_EQ(StatusFile::Read(s.user, read), StatusFile::Found::kNone);
  ASSERT_TRUE(StatusFile::Publish(s));
  EXPECT_EQ(StatusFile::Read(s.user, read), StatusFile::Found::kLive);
  EXPECT_EQ(read.mount_point, "/proc");
  EXPECT_EQ(ReadFileBytes(dir.Sub("tandrel/a@example.org.status")), SyncStatus::Serialize(s));
  EXPECT_FALSE(FileExists(StatusFile::PathFor(s.user) + "." + std::to_string(::getpid()) + ".tmp"))
      << "no temporary file left";

  s.mount_point = dir.path();  // not mounted: the process died uncleanly
  ASSERT_TRUE(StatusFile::Publish(s));
  EXPECT_EQ(StatusFile::Read(s.user, read), StatusFile::Found::kStale);
  s.pid = 1 << 30;
  StatusFile::Publish(s);
  StatusFile::Remove(s.user);
  EXPECT_TRUE(FileExists(StatusFile::PathFor(s.user))) << "another process's file stays";
  s.pid = ::getpid();
  StatusFile::Publish(s);
  StatusFile::Remove(s.user);
  EXPECT_FALSE(FileExists(StatusFile::PathFor(s.user)));
}

}  // namespace

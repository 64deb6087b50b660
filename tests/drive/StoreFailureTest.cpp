// A store write that fails under a drive operation: the operation reports
// the failure, the cached copy stays, and no table is left half-changed.
#include <gtest/gtest.h>

#include <string>

#include "DriveTestAccount.h"
#include "StoreFault.h"
#include "TempDir.h"
#include "drive/DriveCallbacks.h"
#include "drive/DriveErrors.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"

namespace {

using DC = DriveCallbacks;

class StoreFailureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(account_.ok()); }

  int Put(const std::string& path, const std::string& bytes) {
    DriveFileInfo info;
    int rc = DC::CreateFile(path, GENERIC_WRITE, 0, CREATE_NEW, 0, &info);
    if (rc != 0) return rc;
    uint32_t done = 0;
    rc = DC::WriteFile(path, bytes.data(), bytes.size(), &done, 0, &info);
    DC::CloseFile(path, &info);
    return rc;
  }
  bool Stored(const std::string& path) {
    MetaStore store;
    FileRecord record;
    return store.GetFileInfo(path, record);
  }
  size_t PartRows() {
    SyncQueries queries(account_.engine().Account().user);
    SyncQueries::Parts parts;
    EXPECT_TRUE(queries.GetAllParts(parts));
    return parts.size();
  }
  int UpCount() {
    MetaStore store;
    int count = -1;
    EXPECT_TRUE(store.GetUpFolderCount(count));
    return count;
  }

  DriveTestAccount account_;
};

TEST_F(StoreFailureTest, FailedRecordAtCloseKeepsTheCopyAndIsRecordedLater) {
  {
    StoreFault fault("insert into ftable");
    ASSERT_EQ(Put("\\a.txt", "hello"), 0);
    EXPECT_FALSE(Stored("\\a.txt"));
    EXPECT_EQ(PartRows(), 0u);  // the part rows went back with the file row
  }
  EXPECT_EQ(ReadFileBytes(account_.Local("\\a.txt")), "hello");
  account_.engine().TaskStep();  // no server: only the store work is done
  EXPECT_TRUE(Stored("\\a.txt"));
  EXPECT_EQ(PartRows(), 1u);
}

TEST_F(StoreFailureTest, FailedRenameAndDeleteLeaveTheFileWhereItWas) {
  ASSERT_EQ(Put("\\a.txt", "hello"), 0);
  DriveFileInfo info;
  {
    StoreFault fault("update ftable set");
    EXPECT_NE(DC::MoveFile("\\a.txt", "\\b.txt", false, &info), 0);
  }
  EXPECT_TRUE(Stored("\\a.txt"));
  EXPECT_FALSE(Stored("\\b.txt"));
  EXPECT_EQ(ReadFileBytes(account_.Local("\\a.txt")), "hello");
  {
    StoreFault fault("delete from ftable");
    EXPECT_NE(DC::DeleteFile("\\a.txt", &info), 0);
  }
  EXPECT_TRUE(Stored("\\a.txt"));
  EXPECT_EQ(PartRows(), 1u);
  EXPECT_EQ(ReadFileBytes(account_.Local("\\a.txt")), "hello");
}

TEST_F(StoreFailureTest, FolderRenameFailingHalfWayChangesNoFolder) {
  DriveFileInfo info;
  ASSERT_EQ(DC::CreateDirectory("\\d", &info), 0);
  ASSERT_EQ(DC::CreateDirectory("\\d\\sub", &info), 0);
  {
    // The folder's own row is written, its children's full names fail.
    StoreFault fault("update folder set full_name=");
    EXPECT_NE(DC::MoveFile("\\d", "\\e", false, &info), 0);
  }
  MetaStore store;
  int id = 0;
  EXPECT_TRUE(store.GetFolderId("\\d\\sub\\", id));
  EXPECT_FALSE(store.GetFolderId("\\e\\", id));
}

TEST_F(StoreFailureTest, UncountedChangeIsCountedByTheNextTaskStep) {
  int before = UpCount();
  {
    StoreFault fault("up_count=up_count+1");
    DriveFileInfo info;
    ASSERT_EQ(DC::CreateDirectory("\\d", &info), 0);
    EXPECT_EQ(UpCount(), before);
  }
  account_.engine().TaskStep();
  EXPECT_EQ(UpCount(), before + 1);
}

}  // namespace

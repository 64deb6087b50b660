#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "DriveTestAccount.h"
#include "TempDir.h"
#include "drive/DriveCallbacks.h"
#include "drive/DriveErrors.h"
#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "platform/RunningMd5.h"
#include "platform/Locations.h"
#include "store/CppSQLite3DB.h"
#include "store/StoreFiles.h"
#include "store/MetaStore.h"

namespace {

using DC = DriveCallbacks;

// Descriptors of this process open on a file below folder (the store's own
// stay out of the count: SQLite keeps some for reuse).
size_t OpenBelow(const std::string& folder) {
  size_t open = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(fd.path(), error).string().rfind(folder, 0) == 0) ++open;
  }
  return open;
}

class DriveCallbacksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(account_.ok());
    CLog::Instance()->SetEnabled(true);
    CLog::Instance()->SetThreshold(3);
    CLog::Instance()->Queue().TakeAll();
  }
  void TearDown() override {
    CLog::Instance()->Queue().TakeAll();
    CLog::Instance()->SetEnabled(false);
  }

  // Lines logged since the last call, without their time stamp.
  std::vector<std::string> Logged() {
    std::vector<std::string> out;
    for (std::string& line : CLog::Instance()->Queue().TakeAll()) {
      size_t end = line.find("] ");
      out.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return out;
  }
  bool WasLogged(const std::string& text) {
    std::vector<std::string> lines = Logged();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  int Create(const std::string& path, DriveFileInfo& info) {
    return DC::CreateFile(path, GENERIC_WRITE, 0, CREATE_NEW, 0, &info);
  }
  int Put(const std::string& path, const std::string& bytes) {
    DriveFileInfo info;
    int rc = Create(path, info);
    if (rc != 0) return rc;
    uint32_t done = 0;
    if (!bytes.empty()) rc = DC::WriteFile(path, bytes.data(), bytes.size(), &done, 0, &info);
    DC::CloseFile(path, &info);
    return rc;
  }
  std::string Get(const std::string& path) {
    DriveFileInfo info;
    std::string out(1 << 16, '\0');
    uint32_t got = 0;
    if (DC::ReadFile(path, out.data(), out.size(), &got, 0, &info) != 0) return "<err>";
    out.resize(got);
    return out;
  }
  int64_t StoredSize(const std::string& path) {
    MetaStore store;
    FileRecord record;
    return store.GetFileInfo(path, record) ? record.total_size : -1;
  }

  DriveTestAccount account_;
};

TEST_F(DriveCallbacksTest, NewFileIsRecordedAtCloseWithItsLogLines) {
  DriveFileInfo info;
  ASSERT_EQ(Create("\\a.txt", info), 0);
  EXPECT_EQ(info.context, 10u);
  EXPECT_TRUE(
      WasLogged("CreateFile fn=\\a.txt,DesiredAccess=1073741824,ShareMode:0,"
                "FlagsAndAttributes:0,CreationDisposition:1,isdir=0"));
  uint32_t done = 0;
  ASSERT_EQ(DC::WriteFile("\\a.txt", "hello", 5, &done, 0, &info), 0);
  EXPECT_EQ(done, 5u);
  EXPECT_TRUE(WasLogged("WriteFile fn=\\a.txt, len=5, off=0,Wef=0 begin"));

  // While open: the size is what was written, and the file is listed.
  DriveFileInformation stat;
  ASSERT_EQ(DC::GetFileInformation("\\a.txt", &stat, &info), 0);
  EXPECT_EQ(stat.size, 5u);
  EXPECT_EQ(stat.attributes, FILE_ATTRIBUTE_ARCHIVE);
  std::vector<DriveFindData> listed;
  DC::FindFiles(
      "\\", [&](const DriveFindData& d, DriveFileInfo*) { return listed.push_back(d), 0; }, &info);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "a.txt");
  EXPECT_EQ(listed[0].size, 5u);
  DriveFileInfo second;
  EXPECT_EQ(Create("\\a.txt", second), DRIVE_FILE_EXISTS);
  EXPECT_TRUE(WasLogged("CREATE_NEW err fn:\\a.txt exist"));

  info.sync_requested = true;
  EXPECT_EQ(DC::FlushFileBuffers("\\a.txt", &info), 0);
  info.sync_requested = false;
  EXPECT_EQ(StoredSize("\\a.txt"), -1);
  DC::CloseFile("\\a.txt", &info);
  EXPECT_TRUE(WasLogged("CloseFile \\a.txt ok,fi.context=10"));
  EXPECT_EQ(ReadFileBytes(account_.Local("\\a.txt")), "hello");
  EXPECT_EQ(StoredSize("\\a.txt"), 5);
  DriveEntry entry;
  ASSERT_TRUE(account_.cache().GetEntry("\\", "a.txt", entry));
  EXPECT_EQ(entry.Size(), 5u);
  EXPECT_EQ(Get("\\a.txt"), "hello");
}

TEST_F(DriveCallbacksTest, OpenAndCreateResults) {
  DriveFileInfo info;
  EXPECT_EQ(DC::CreateFile("\\none", GENERIC_READ, 0, OPEN_EXISTING, 0, &info),
            DRIVE_FILE_NOT_FOUND);
  EXPECT_TRUE(WasLogged("GetFileType err fn:\\none in CreateFile exist"));
  EXPECT_EQ(DC::CreateDirectory("\\", &info), 1);
  ASSERT_EQ(DC::CreateDirectory("\\d", &info), 0);
  EXPECT_TRUE(WasLogged("CreateDirectory \\d ok"));
  EXPECT_EQ(DC::CreateDirectory("\\d", &info), DRIVE_FILE_EXISTS);
  EXPECT_TRUE(WasLogged("CreateDirectory err, \\d exist"));
  EXPECT_EQ(Create("\\d", info), DRIVE_FILE_EXISTS);
  EXPECT_EQ(DC::CreateFile("\\d", GENERIC_READ, 0, OPEN_EXISTING, 0, &info), 0);
  EXPECT_EQ(Create("\\nofolder\\x", info), DRIVE_PATH_NOT_FOUND);

  DriveFileInfo dir;
  EXPECT_EQ(DC::OpenDirectory("\\missing", &dir), 0);
  EXPECT_FALSE(dir.is_directory);
  EXPECT_EQ(DC::OpenDirectory("\\d", &dir), 0);
  EXPECT_TRUE(dir.is_directory);
  uint32_t got = 0;
  char buf[4];
  EXPECT_EQ(DC::ReadFile("\\d", buf, 4, &got, 0, &dir), DRIVE_GENERAL_FAILURE);
  EXPECT_TRUE(WasLogged("ReadFile is directory,fn=\\d"));
}

TEST_F(DriveCallbacksTest, ListingKeysAndFindData) {
  DriveFileInfo info;
  ASSERT_EQ(DC::CreateDirectory("\\a", &info), 0);
  ASSERT_EQ(Put("\\a\\z.bin", std::string(3000, 'z')), 0);
  ASSERT_EQ(Put("\\a\\b.bin", "b"), 0);
  ASSERT_EQ(DC::CreateDirectory("\\a\\sub", &info), 0);
  ASSERT_EQ(Put("\\top", ""), 0);

  std::vector<DriveFindData> root, a;
  DC::FindFiles(
      "\\", [&](const DriveFindData& d, DriveFileInfo*) { return root.push_back(d), 0; }, &info);
  DC::FindFiles(
      "\\a", [&](const DriveFindData& d, DriveFileInfo*) { return a.push_back(d), 0; }, &info);
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(root[0].name, "a");
  EXPECT_EQ(root[0].attributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(root[0].size, 0u);
  EXPECT_EQ(root[1].name, "top");
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].name, "b.bin");
  EXPECT_EQ(a[1].name, "sub");
  EXPECT_EQ(a[2].name, "z.bin");
  EXPECT_EQ(a[2].attributes, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(a[2].size, 3000u);
  // Real dates: the recorded time stamp in every time field.
  EXPECT_GT(a[2].last_write_time, 1600000000u);
  EXPECT_EQ(a[2].creation_time, a[2].last_write_time);
}

TEST_F(DriveCallbacksTest, WritesHonourTheirOffsets) {
  DriveFileInfo info;
  ASSERT_EQ(Create("\\o", info), 0);
  uint32_t done = 0;
  ASSERT_EQ(DC::WriteFile("\\o", "world", 5, &done, 6, &info), 0);
  ASSERT_EQ(DC::WriteFile("\\o", "hello ", 6, &done, 0, &info), 0);
  DriveFileInfo appender;
  appender.write_to_end = true;
  ASSERT_EQ(DC::CreateFile("\\o", GENERIC_WRITE, 0, OPEN_EXISTING, 0, &appender), 0);
  ASSERT_EQ(DC::WriteFile("\\o", "!", 1, &done, 0, &appender), 0);
  DC::CloseFile("\\o", &appender);
  EXPECT_EQ(StoredSize("\\o"), -1) << "recorded before its last writer closed";
  DC::CloseFile("\\o", &info);
  EXPECT_EQ(Get("\\o"), "hello world!");
  EXPECT_EQ(StoredSize("\\o"), 12);
  char buf[8];
  uint32_t got = 99;
  EXPECT_EQ(DC::ReadFile("\\o", buf, 8, &got, 100, &info), 0);
  EXPECT_EQ(got, 0u);
}

TEST_F(DriveCallbacksTest, EditingInPlaceRecordsTheNewContent) {
  ASSERT_EQ(Put("\\e", "0123456789"), 0);
  DriveFileInfo edit;
  ASSERT_EQ(DC::CreateFile("\\e", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0, &edit), 0);
  uint32_t done = 0;
  ASSERT_EQ(DC::WriteFile("\\e", "ab", 2, &done, 4, &edit), 0);
  DC::CloseFile("\\e", &edit);
  EXPECT_EQ(Get("\\e"), "0123ab6789");

  DriveFileInfo truncating;
  truncating.open_flags = O_WRONLY | O_TRUNC;
  ASSERT_EQ(DC::CreateFile("\\e", GENERIC_WRITE, 0, OPEN_EXISTING, 0, &truncating), 0);
  ASSERT_EQ(DC::WriteFile("\\e", "new\n", 4, &done, 0, &truncating), 0);
  DC::CloseFile("\\e", &truncating);
  EXPECT_EQ(Get("\\e"), "new\n");
  EXPECT_EQ(StoredSize("\\e"), 4);

  DriveFileInfo none;
  ASSERT_EQ(DC::SetEndOfFile("\\e", 2, &none), 0);
  EXPECT_EQ(Get("\\e"), "ne");
  EXPECT_EQ(StoredSize("\\e"), 2);

  // Known to the namespace, content not downloaded: no edit.
  DriveEntry remote;
  remote.name = "remote";
  remote.kind = DriveEntry::kFile;
  remote.SetSize(10);
  account_.cache().PutEntry("\\", remote);
  DriveFileInfo busy;
  EXPECT_EQ(DC::CreateFile("\\remote", GENERIC_WRITE, 0, OPEN_EXISTING, 0, &busy), DRIVE_BUSY);
  EXPECT_EQ(DriveResultToErrno(DRIVE_BUSY), EBUSY);
  uint32_t got = 0;
  char buf[4];
  EXPECT_EQ(DC::ReadFile("\\remote", buf, 4, &got, 0, &busy), DRIVE_GENERAL_FAILURE);
  EXPECT_TRUE(WasLogged("ReadFile err,fn:\\remote"));
}

TEST_F(DriveCallbacksTest, RenameReplacesAsPosixDoes) {
  DriveFileInfo info;
  ASSERT_EQ(Put("\\src", "new"), 0);
  ASSERT_EQ(Put("\\dst", "old"), 0);
  EXPECT_EQ(DC::MoveFile("\\src", "\\dst", false, &info), DRIVE_ALREADY_EXISTS);
  EXPECT_TRUE(WasLogged("MoveFile srcfn=\\src,dest=\\dst,breplace=0,isdir=0 err"));
  ASSERT_EQ(DC::MoveFile("\\src", "\\dst", true, &info), 0);
  EXPECT_EQ(Get("\\dst"), "new");
  EXPECT_EQ(StoredSize("\\src"), -1);
  EXPECT_EQ(StoredSize("\\dst"), 3);
  EXPECT_EQ(DC::MoveFile("\\missing", "\\x", true, &info), DRIVE_FILE_NOT_FOUND);

  // Folders as rename(2) has them: over an empty folder only, never into
  // themselves, never across kinds.
  ASSERT_EQ(DC::CreateDirectory("\\f1", &info), 0);
  ASSERT_EQ(DC::CreateDirectory("\\f2", &info), 0);
  ASSERT_EQ(DC::CreateDirectory("\\full", &info), 0);
  ASSERT_EQ(Put("\\f1\\in", "x"), 0);
  ASSERT_EQ(Put("\\full\\keep", "k"), 0);
  EXPECT_EQ(DC::MoveFile("\\f1", "\\full", true, &info), DRIVE_DIR_NOT_EMPTY);
  EXPECT_EQ(DC::MoveFile("\\dst", "\\f2", true, &info), DRIVE_IS_A_FOLDER);
  EXPECT_EQ(DC::MoveFile("\\f2", "\\dst", true, &info), DRIVE_NOT_A_FOLDER);
  EXPECT_EQ(DC::MoveFile("\\f1", "\\f2", false, &info), DRIVE_ALREADY_EXISTS);
  EXPECT_EQ(DC::MoveFile("\\f1", "\\f1\\in2", true, &info), DRIVE_INVALID_PARAMETER);
  ASSERT_EQ(DC::MoveFile("\\f1", "\\f2", true, &info), 0);
  EXPECT_EQ(Get("\\f2\\in"), "x");
  EXPECT_EQ(Get("\\full\\keep"), "k");

  // A file still being written moves with its open handle.
  DriveFileInfo open;
  ASSERT_EQ(Create("\\tmp", open), 0);
  ASSERT_EQ(DC::MoveFile("\\tmp", "\\f2\\kept", true, &info), 0);
  uint32_t done = 0;
  ASSERT_EQ(DC::WriteFile("\\f2\\kept", "k", 1, &done, 0, &open), 0);
  DC::CloseFile("\\f2\\kept", &open);
  EXPECT_EQ(StoredSize("\\f2\\kept"), 1);
}

TEST_F(DriveCallbacksTest, HandlesWorkWithoutAPathAndSetTimesAreRecorded) {
  // The empty path is a file known by its handle alone (unlinked since).
  DriveFileInfo w;
  ASSERT_EQ(Create("\\t", w), 0);
  uint32_t done = 0;
  ASSERT_EQ(DC::WriteFile("", "abcd", 4, &done, 0, &w), 0);
  ASSERT_EQ(DC::SetEndOfFile("", 3, &w), 0);
  DriveFileInformation st;
  ASSERT_EQ(DC::GetFileInformation("", &st, &w), 0);
  EXPECT_EQ(st.size, 3u);
  ASSERT_EQ(DC::SetFileTime("", 0, 0, 1000000000, &w), 0);
  DC::CloseFile("", &w);
  MetaStore store;
  FileRecord record;
  ASSERT_TRUE(store.GetFileInfo("\\t", record));
  EXPECT_EQ(record.time, 1000000000) << "a time set before the close is the file's";
  EXPECT_EQ(Get("\\t"), "abc");

  DriveFileInfo info;
  ASSERT_EQ(DC::SetFileTime("\\t", 0, 0, 1100000000, &info), 0);
  ASSERT_TRUE(store.GetFileInfo("\\t", record));
  EXPECT_EQ(record.time, 1100000000);
  ASSERT_EQ(DC::GetFileInformation("\\t", &st, &info), 0);
  EXPECT_EQ(st.last_write_time, 1100000000u);
  EXPECT_EQ(DC::GetFileInformation("\\none", &st, &info), DRIVE_FILE_NOT_FOUND);

  ASSERT_EQ(DC::CreateDirectory("\\d", &info), 0);
  ASSERT_EQ(DC::CreateDirectory("\\d\\s", &info), 0);
  ASSERT_EQ(Put("\\d\\f", "f"), 0);
  ASSERT_EQ(DC::GetFileInformation("\\d", &st, &info), 0);
  EXPECT_EQ(st.link_count, 3u);
  EXPECT_GT(st.last_write_time, 1600000000u);
  EXPECT_EQ(DC::DeleteFile("\\d", &info), DRIVE_IS_A_FOLDER);
  EXPECT_EQ(DC::DeleteDirectory("\\t", &info), DRIVE_NOT_A_FOLDER);
}

TEST_F(DriveCallbacksTest, DeletesLeaveNothingOrphaned) {
  DriveFileInfo info;
  ASSERT_EQ(DC::CreateDirectory("\\full", &info), 0);
  ASSERT_EQ(Put("\\full\\f", "f"), 0);
  EXPECT_EQ(DC::DeleteDirectory("\\full", &info), DRIVE_DIR_NOT_EMPTY);
  EXPECT_EQ(DriveResultToErrno(DRIVE_DIR_NOT_EMPTY), ENOTEMPTY);
  EXPECT_EQ(Get("\\full\\f"), "f");
  ASSERT_EQ(DC::DeleteFile("\\full\\f", &info), 0);
  EXPECT_FALSE(FileExists(account_.Local("\\full\\f")));
  EXPECT_EQ(DC::DeleteFile("\\full\\f", &info), DRIVE_FILE_NOT_FOUND);
  EXPECT_TRUE(WasLogged("DeleteFile fn=\\full\\f err"));
  ASSERT_EQ(DC::DeleteDirectory("\\full", &info), 0);
  EXPECT_EQ(DC::CreateFile("\\full", GENERIC_READ, 0, OPEN_EXISTING, 0, &info),
            DRIVE_FILE_NOT_FOUND);

  // Deleted while being written: nothing is recorded when it closes.
  DriveFileInfo open;
  ASSERT_EQ(Create("\\gone", open), 0);
  ASSERT_EQ(DC::DeleteFile("\\gone", &info), 0);
  DC::CloseFile("", &open);
  EXPECT_EQ(StoredSize("\\gone"), -1);
  EXPECT_FALSE(FileExists(account_.Local("\\gone")));
  EXPECT_EQ(account_.drive().table().Size(), 0u);
}

TEST_F(DriveCallbacksTest, RefusedNamesAndTheSizeLimit) {
  DriveFileInfo info;
  EXPECT_EQ(Create("\\a|b", info), DRIVE_INVALID_PARAMETER);
  EXPECT_EQ(Create("\\a\rb", info), DRIVE_INVALID_PARAMETER);
  EXPECT_EQ(DC::CreateDirectory("\\a\nb", &info), DRIVE_INVALID_PARAMETER);
  EXPECT_EQ(Create("\\" + std::string(256, 'n'), info), DRIVE_NAME_TOO_LONG);
  EXPECT_EQ(DriveResultToErrno(DRIVE_NAME_TOO_LONG), ENAMETOOLONG);
  ASSERT_EQ(Put("\\ok", "1"), 0);
  EXPECT_EQ(DC::MoveFile("\\ok", "\\o|k", true, &info), DRIVE_INVALID_PARAMETER);
  EXPECT_EQ(DriveResultToErrno(DRIVE_INVALID_PARAMETER), EINVAL);

  DriveFileInfo big;
  ASSERT_EQ(Create("\\big", big), 0);
  uint32_t done = 0;
  // Past 4 GiB is an ordinary (sparse) write; the limit is the part count's.
  ASSERT_EQ(DC::WriteFile("\\big", "x", 1, &done, 5ll << 30, &big), 0);
  EXPECT_EQ(DC::WriteFile("\\big", "xy", 2, &done, DriveContext::kMaxFileSize - 1, &big),
            DRIVE_FILE_TOO_LARGE);
  EXPECT_GT(DriveContext::kMaxFileSize, 20ll << 40);
  EXPECT_EQ(DriveResultToErrno(DRIVE_FILE_TOO_LARGE), EFBIG);
  DC::CloseFile("\\big", &big);
  EXPECT_EQ(StoredSize("\\big"), -1);
  EXPECT_FALSE(FileExists(account_.Local("\\big")));
  EXPECT_EQ(DC::CreateFile("\\big", GENERIC_READ, 0, OPEN_EXISTING, 0, &info),
            DRIVE_FILE_NOT_FOUND);
  EXPECT_EQ(DC::SetEndOfFile("\\ok", DriveContext::kMaxFileSize + 1, &info),
            DRIVE_FILE_TOO_LARGE);
}

TEST_F(DriveCallbacksTest, VolumeFigures) {
  ASSERT_EQ(Put("\\m", std::string(1000000, 'm')), 0);
  uint64_t free_available = 0, total = 0, total_free = 0;
  DriveFileInfo info;
  ASSERT_EQ(DC::GetDiskFreeSpace(&free_available, &total, &total_free, &info), 0);
  EXPECT_EQ(total, 107374182400ull);
  EXPECT_EQ(free_available, 107373182400ull);
  EXPECT_EQ(total_free, 107373182400ull);
  EXPECT_TRUE(WasLogged("GetDiskFreeSpace "));
  std::string volume, fs_name;
  uint32_t serial = 0, max_component = 0, flags = 0;
  ASSERT_EQ(DC::GetVolumeInformation(&volume, &serial, &max_component, &flags, &fs_name, &info), 0);
  EXPECT_EQ(volume, "Tandrel");
  EXPECT_EQ(serial, 0x19831116u);
  EXPECT_EQ(max_component, 255u);
  EXPECT_EQ(flags, 0x10Fu);
  EXPECT_EQ(fs_name, "Tandrel系统");
  EXPECT_TRUE(WasLogged("GetVolumeInformation "));
  EXPECT_EQ(DC::Unmount(&info), 0);
  EXPECT_TRUE(WasLogged("Unmount "));
  // Accepted and ignored.
  EXPECT_EQ(DC::SetFileTime("\\m", 1, 2, 3, &info), 0);
  EXPECT_EQ(DC::SetFileAttributes("\\m", 0, &info), 0);
  EXPECT_EQ(StoredSize("\\m"), 1000000);
}

// Every descriptor the drive opens goes with the handle's close, on a
// refused write too, or with the unmount's FinishAll.
TEST_F(DriveCallbacksTest, DescriptorsGoWithTheirHandles) {
  ASSERT_EQ(Put("\\old", "old"), 0);
  const std::string cache =
      std::filesystem::canonical(NativePath(account_.drive().cache_root())).string() + "/";
  EXPECT_EQ(OpenBelow(cache), 0u);
  DriveFileInfo reader, editor, fresh, big;
  ASSERT_EQ(DC::CreateFile("\\old", GENERIC_READ, 0, OPEN_EXISTING, 0, &reader), 0);
  ASSERT_EQ(DC::CreateFile("\\old", GENERIC_WRITE, 0, OPEN_EXISTING, 0, &editor), 0);
  // Past the inline bytes the digest reads through a descriptor of its own.
  std::string bytes(RunningMd5::kInlineBytes + 1, 'b');
  uint32_t done = 0;
  ASSERT_EQ(Create("\\new", fresh), 0);
  ASSERT_EQ(DC::WriteFile("\\new", bytes.data(), bytes.size(), &done, 0, &fresh), 0);
  ASSERT_EQ(DC::MoveFile("\\new", "\\moved", false, &fresh), 0);
  ASSERT_EQ(Create("\\big", big), 0);
  EXPECT_EQ(DC::WriteFile("\\big", "xy", 2, &done, DriveContext::kMaxFileSize - 1, &big),
            DRIVE_FILE_TOO_LARGE);
  EXPECT_EQ(OpenBelow(cache), 5u);
  DC::CloseFile("\\old", &reader);
  DC::CloseFile("\\moved", &fresh);
  DC::CloseFile("\\big", &big);
  account_.drive().FinishAll();  // the editor is still open
  EXPECT_EQ(OpenBelow(cache), 0u);
  EXPECT_EQ(StoredSize("\\moved"), static_cast<int64_t>(bytes.size()));
}

}  // namespace

namespace {

// A name whose content is still downloading: a new file made under it goes
// beside it as a conflict copy, and the download's copy is left alone.
TEST_F(DriveCallbacksTest, ANewFileUnderANameStillDownloadingBecomesAConflictCopy) {
  {
    CppSQLite3DB db;
    db.OpenDb(AccountDbPath(DataDir(), account_.engine().Account().user));
    db.RunStatement("insert into ftable(file_id, file_name, folder_id, origin) values(77,'x',1,77)");
    db.RunStatement(
        "insert into mail(file_id,mail_id,name,size,total_size,part,total_part,md5,stat) "
        "values(77,'5','x',4,4,1,1,'m',2)");
  }
  WriteFileBytes(account_.Local("\\x"), "ab");  // two of the four bytes have arrived
  DriveFileInfo info;
  ASSERT_EQ(Create("\\x", info), 0);
  uint32_t done = 0;
  ASSERT_EQ(DC::WriteFile("\\x", "mine", 4, &done, 0, &info), 0);
  EXPECT_FALSE(account_.engine().Writing().Contains("\\x"));  // the download goes on
  DC::CloseFile("\\x", &info);
  EXPECT_EQ(ReadFileBytes(account_.Local("\\x")), "ab");
  MetaStore store;
  std::map<int, FileRecord> files;
  ASSERT_TRUE(store.GetAllFiles(files));
  ASSERT_EQ(files.size(), 2u);
  for (const auto& [id, r] : files) {
    if (id == 77) continue;
    EXPECT_EQ(r.name.rfind("x (conflict ", 0), 0u) << r.name;
    EXPECT_EQ(ReadFileBytes(account_.Local("\\" + r.name)), "mine");
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "StoreTestEnv.h"
#include "log/CLog.h"
#include "store/SyncQueries.h"

namespace {

class FilesTest : public StoreTestEnv {
 protected:
  void SetUp() override {
    PrepareAccount();
    MetaStore store;
    FolderRecord docs;
    docs.name = "docs";
    docs.parent_id = 1;
    ASSERT_TRUE(store.AddFolder(docs));
    ASSERT_TRUE(store.GetFolderId("\\docs\\", docs_id_));
  }

  static FileRecord NewFile(const std::string& name, int64_t size, int folder_id) {
    FileRecord r;
    r.name = name;
    r.folder_id = folder_id;
    r.total_size = size;
    r.time = 1700000000;
    r.md5 = "d41d8cd98f0b24e980998ecf8427e";
    r.cache_path = "C:\\cache\\" + name;
    return r;
  }

  // Adds a new file and returns its record as AddFile left it.
  FileRecord Add(MetaStore& store, const std::string& name, int64_t size, int folder_id = 1) {
    FileRecord r = NewFile(name, size, folder_id);
    EXPECT_TRUE(store.AddFile(r, true));
    return r;
  }

  long long Count(const std::string& where) {
    return Scalar(AccountPath(), "select count(*) from mail where " + where);
  }

  static void SetStat(MetaStore& store, int file_id, int part, int stat) {
    FileRecord r;
    r.file_id = file_id;
    r.part = part;
    r.stat = StateFromStored(stat);
    ASSERT_TRUE(store.SetFileStat(r));
  }

  // A part learnt from the mailbox for a file the index will describe.
  static FileRecord Known(int file_id, int part, int total_part, int size,
                          const std::string& mail_id) {
    FileRecord r;
    r.file_id = file_id;
    r.part = part;
    r.total_part = total_part;
    r.size = size;
    r.total_size = int64_t{size} * total_part;
    r.mail_id = mail_id;
    r.name = "remote";
    return r;
  }

  int docs_id_ = 0;
};

TEST_F(FilesTest, SplittingIntoTenMiBParts) {
  MetaStore store;
  FileRecord big = Add(store, "big", 25000000);
  EXPECT_EQ(big.total_part, 3);
  EXPECT_EQ(big.part, 3);
  EXPECT_EQ(big.size, 4028480);
  const std::string id = std::to_string(big.file_id);
  EXPECT_EQ(Count("file_id=" + id), 3);
  EXPECT_EQ(Count("file_id=" + id + " and part=1 and size=10485760 and stat=1"), 1);
  EXPECT_EQ(Count("file_id=" + id + " and part=2 and size=10485760 and stat=1"), 1);
  EXPECT_EQ(Count("file_id=" + id + " and part=3 and size=4028480 and stat=1"), 1);
  EXPECT_EQ(Count("file_id=" + id +
                  " and total_size=25000000 and total_part=3 and name='big' "
                  "and local_fn='C:\\cache\\big' and mail_id=''"),
            3);

  FileRecord even = Add(store, "even", 20971520);
  EXPECT_EQ(even.total_part, 2);
  EXPECT_EQ(Count("file_id=" + std::to_string(even.file_id) + " and size=10485760"), 2);

  FileRecord small = Add(store, "small", 1);
  EXPECT_EQ(small.total_part, 1);
  EXPECT_EQ(small.size, 1);

  // Past 4 GiB: the sizes are 64-bit; the parts stay 10 MiB.
  FileRecord huge = Add(store, "huge", 5368709121LL);
  EXPECT_EQ(huge.total_part, 513);
  EXPECT_EQ(Count("file_id=" + std::to_string(huge.file_id) +
                  " and total_size=5368709121 and part=513 and size=1"),
            1);
  FileRecord info;
  ASSERT_TRUE(store.GetFileInfo("\\huge", info));
  EXPECT_EQ(info.total_size, 5368709121LL);

  FileRecord wrapped = NewFile("wrapped", -5, 1);
  EXPECT_FALSE(store.AddFile(wrapped, true));
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable where file_name='wrapped'"), 0);
}

TEST_F(FilesTest, EmptyFileIsOnePartOfNothingAndStaysVisible) {
  MetaStore store;
  FileRecord empty = Add(store, "__init__.py", 0, docs_id_);
  EXPECT_EQ(empty.total_part, 1);
  EXPECT_EQ(empty.part, 1);
  EXPECT_EQ(empty.size, 0);
  EXPECT_EQ(Count("file_id=" + std::to_string(empty.file_id) +
                  " and size=0 and part=1 and "
                  "total_part=1 and stat=1"),
            1);
  std::vector<FileRecord> files;
  ASSERT_TRUE(store.GetFiles("\\docs\\", files));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].total_size, 0);
  FileRecord info;
  ASSERT_TRUE(store.GetFileInfo("\\docs\\__init__.py", info));
  EXPECT_EQ(info.file_id, empty.file_id);
  std::vector<FileRecord> pending;
  ASSERT_TRUE(store.GetPendingUpload(pending));
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].drive_path, "\\docs\\__init__.py");
  EXPECT_TRUE(store.RenameFile("\\docs\\__init__.py", "\\.gitkeep"));
  EXPECT_TRUE(store.GetFileInfo("\\.gitkeep", info));
}

TEST_F(FilesTest, NewIdsArePositiveAndUnused) {
  MetaStore store;
  std::set<int> used;
  for (int i = 0; i < 50; ++i) {
    FileRecord r = Add(store, "f" + std::to_string(i), 10);
    EXPECT_GT(r.file_id, 0);
    EXPECT_TRUE(used.insert(r.file_id).second) << r.file_id;
  }
  for (int i = 0; i < 200; ++i) {
    int id = -1;
    ASSERT_TRUE(store.GetNewFileId(id));
    EXPECT_GT(id, 0);
    EXPECT_EQ(used.count(id), 0u);
  }
  EXPECT_EQ(Scalar(AccountPath(), "select count(distinct file_id) from ftable"), 50);
}

TEST_F(FilesTest, ListingsFollowPartOneState) {
  MetaStore store;
  std::map<int, int> id_of_stat;
  for (int stat : {0, 1, 2, 3, 4}) {
    FileRecord r = Add(store, "s" + std::to_string(stat), 15000000, docs_id_);
    SetStat(store, r.file_id, 1, stat);
    SetStat(store, r.file_id, 2, stat == 1 ? 2 : 1);  // other parts do not matter
    id_of_stat[stat] = r.file_id;
  }
  std::vector<FileRecord> files;
  ASSERT_TRUE(store.GetFiles("\\docs\\", files));
  std::set<std::string> names;
  for (const FileRecord& f : files) {
    names.insert(f.name);
    EXPECT_EQ(f.part, 1);
    EXPECT_EQ(f.total_size, 15000000);
    EXPECT_EQ(f.time, 1700000000);
  }
  EXPECT_EQ(names, (std::set<std::string>{"s0", "s1", "s4"}));
  EXPECT_FALSE(store.GetFiles("\\nope\\", files));

  std::vector<DriveEntry> entries;
  ASSERT_TRUE(store.GetFolderEntries("\\docs\\", entries));
  ASSERT_EQ(entries.size(), 3u);
  for (const DriveEntry& e : entries) {
    EXPECT_EQ(e.kind, DriveEntry::kFile);
    EXPECT_EQ(e.Size(), 15000000u);
    EXPECT_EQ(e.time_low, 1700000000u);
    EXPECT_EQ(e.time_high, 0u);
  }
  std::vector<DriveEntry> none;
  EXPECT_FALSE(store.GetFolderEntries("\\nope\\", none));

  std::map<std::string, PartState> mail_ids;
  ASSERT_TRUE(store.GetAllMailId(mail_ids));
  EXPECT_EQ(mail_ids.size(), 1u);  // all empty mail ids collapse to one key
}

TEST_F(FilesTest, KnownPartsFromTheMailbox) {
  MetaStore store;
  FileRecord local = Add(store, "local", 100, docs_id_);
  SetStat(store, local.file_id, 1, 3);
  FileRecord seen = local;
  seen.mail_id = "uid-5";
  ASSERT_TRUE(store.AddFile(seen, false));
  EXPECT_EQ(Count("file_id=" + std::to_string(local.file_id) + " and mail_id='uid-5' and stat=0"),
            1);

  // Parts of a remote file: stat 2, no ftable row until the index names it.
  FileRecord p1 = Known(4711, 1, 2, 10485760, "uid-7");
  FileRecord p2 = Known(4711, 2, 2, 10485760, "uid-8");
  ASSERT_TRUE(store.AddFile(p1, false));
  ASSERT_TRUE(store.AddFile(p2, false));
  EXPECT_EQ(Count("file_id=4711 and stat=2"), 2);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable where file_id=4711"), 0);
  std::vector<FileRecord> downloads;
  ASSERT_TRUE(store.GetPendingDownloads(downloads));
  EXPECT_TRUE(downloads.empty());

  TaskFolderRecord task;
  FileRecord row;
  row.file_id = 4711;
  row.folder_id = docs_id_;
  row.name = "named";
  std::vector<FileRecord> rows = {row};
  std::map<int, FileRecord> all;
  store.GetAllFiles(all);
  for (const auto& [id, f] : all) rows.push_back(f);
  std::map<std::string, FolderRecord> folders;
  store.GetAllFolders(folders);
  std::vector<FolderRecord> folder_list;
  for (const auto& [name, f] : folders) folder_list.push_back(f);
  ASSERT_TRUE(store.ReplaceFolderTree(rows, task, folder_list));
  ASSERT_TRUE(store.GetPendingDownloads(downloads));
  ASSERT_EQ(downloads.size(), 2u);
  EXPECT_EQ(downloads[0].name, "named");
  EXPECT_EQ(downloads[0].folder_id, docs_id_);

  FileRecord by_mail;
  ASSERT_TRUE(store.GetFileByMailId("uid-8", by_mail));
  EXPECT_EQ(by_mail.file_id, 4711);
  EXPECT_EQ(by_mail.part, 2);
  EXPECT_EQ(by_mail.name, "remote");  // mail.name, not the file's current name
  FileRecord untouched;
  untouched.name = "keep";
  EXPECT_TRUE(store.GetFileByMailId("nothing", untouched));
  EXPECT_EQ(untouched.name, "keep");

  FileRecord complete;
  complete.file_id = 4711;
  complete.total_part = 2;
  EXPECT_FALSE(store.IsFileComplete(complete));
  SetStat(store, 4711, 1, 0);
  SetStat(store, 4711, 2, 0);
  EXPECT_TRUE(store.IsFileComplete(complete));
  complete.file_id = 999;
  complete.total_part = 0;
  EXPECT_TRUE(store.IsFileComplete(complete));
}

TEST_F(FilesTest, UploadOnePartAtATime) {
  MetaStore store;
  FileRecord r = Add(store, "three", 25000000, docs_id_);
  std::set<int> parts;
  for (int round = 0; round < 3; ++round) {
    std::vector<FileRecord> pending;
    ASSERT_TRUE(store.GetPendingUpload(pending));
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].drive_path, "\\docs\\three");
    EXPECT_EQ(pending[0].file_id, r.file_id);
    parts.insert(pending[0].part);
    ASSERT_TRUE(store.FinishUpdateFile(pending[0]));
  }
  EXPECT_EQ(parts, (std::set<int>{1, 2, 3}));
  std::vector<FileRecord> pending;
  ASSERT_TRUE(store.GetPendingUpload(pending));
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(Count("stat=4"), 3);

  FileRecord deleted = Add(store, "deleted", 5);
  SetStat(store, deleted.file_id, 1, 3);
  ASSERT_TRUE(store.FinishUpdateFile(deleted));
  EXPECT_EQ(Count("file_id=" + std::to_string(deleted.file_id) + " and stat=3"), 1);

  // A part whose folder is gone is passed over.
  FileRecord lost = Add(store, "lost", 5, docs_id_);
  ASSERT_TRUE(store.DelFolder("\\docs"));
  ASSERT_TRUE(store.GetPendingUpload(pending));
  EXPECT_TRUE(pending.empty());
}

TEST_F(FilesTest, PathsResolveRenameAndMark) {
  MetaStore store;
  FileRecord r = Add(store, "it's.txt", 30, docs_id_);
  FileRecord info;
  ASSERT_TRUE(store.GetFileInfo("\\docs\\it's.txt", info));
  EXPECT_EQ(info.file_id, r.file_id);
  EXPECT_EQ(info.kind, RecordKind::kFilePart);
  EXPECT_EQ(info.stat, PartState::kAwaitingUpload);
  EXPECT_EQ(info.cache_path, "C:\\cache\\it's.txt");
  EXPECT_EQ(info.folder_id, docs_id_);
  EXPECT_FALSE(store.GetFileInfo("\\docs\\other", info));
  EXPECT_FALSE(store.GetFileInfo("nobackslash", info));

  EXPECT_TRUE(store.RenameFile("\\docs\\it's.txt", "\\moved.txt"));
  EXPECT_FALSE(store.GetFileInfo("\\docs\\it's.txt", info));
  ASSERT_TRUE(store.GetFileInfo("\\moved.txt", info));
  EXPECT_EQ(info.name, "it's.txt");  // the parts keep their name
  EXPECT_FALSE(store.RenameFile("\\moved.txt", "\\nowhere\\x"));
  EXPECT_FALSE(store.RenameFile("\\absent", "\\x"));

  // Moved over the name of an entry with no parts here (an index named it):
  // that entry goes, and the name has one owner.
  Exec(AccountPath(), "insert into ftable(file_id,file_name,folder_id) values(77,'ghost',1)");
  FileRecord tmp = Add(store, "ghost.tmp", 5);
  EXPECT_TRUE(store.RenameFile("\\ghost.tmp", "\\ghost"));
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable where file_name='ghost'"), 1);
  ASSERT_TRUE(store.GetFileInfo("\\ghost", info));
  EXPECT_EQ(info.file_id, tmp.file_id);

  EXPECT_TRUE(store.SetFileStatByPath("\\moved.txt", PartState::kDeleted));
  EXPECT_EQ(Count("file_id=" + std::to_string(r.file_id) + " and stat=3"), 1);
  EXPECT_FALSE(store.SetFileStatByPath("\\absent", PartState::kDeleted));
}

TEST_F(FilesTest, DeletingParts) {
  MetaStore store;
  FileRecord a = Add(store, "a", 25000000);
  FileRecord b = Add(store, "b", 10);
  FileRecord keep = Add(store, "keep", 10);
  // Nothing pending: an empty commit.
  ASSERT_TRUE(store.DelPendingFiles());
  EXPECT_EQ(Count("1"), 5);

  // a: parts deleted locally, one already with a message; b likewise.
  for (int part = 1; part <= 3; ++part) SetStat(store, a.file_id, part, 3);
  FileRecord a2 = a;
  a2.part = 2;
  a2.mail_id = "uid-a2";
  store.AddFile(a2, false);
  SetStat(store, a.file_id, 2, 3);
  SetStat(store, b.file_id, 1, 3);
  ASSERT_TRUE(store.DelPendingFiles());
  EXPECT_EQ(
      Count("file_id in(" + std::to_string(a.file_id) + "," + std::to_string(b.file_id) + ")"), 0);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable"), 1);

  // DelFile by mail id takes that part and the file's row.
  FileRecord k = keep;
  k.mail_id = "uid-k";
  store.AddFile(k, false);
  ASSERT_TRUE(store.DelFile("uid-none"));
  EXPECT_EQ(Count("1"), 1);
  ASSERT_TRUE(store.DelFile(""));  // never "all parts without a message"
  EXPECT_EQ(Count("1"), 1);
  ASSERT_TRUE(store.DelFile("uid-k"));
  EXPECT_EQ(Count("1"), 0);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable"), 0);
  std::vector<FileRecord> pending_before;
  FileRecord waiting = Add(store, "waiting", 3);
  ASSERT_TRUE(store.DelFile(""));
  EXPECT_EQ(Count("file_id=" + std::to_string(waiting.file_id)), 1);
}

TEST_F(FilesTest, UsedSpaceBeyondThirtyOneBits) {
  MetaStore store;
  int64_t used = -1;
  ASSERT_TRUE(store.GetUsedSpace(used));
  EXPECT_EQ(used, 0);
  for (int part = 1; part <= 3; ++part) {
    FileRecord p = Known(500, part, 3, 2000000000, "m" + std::to_string(part));
    ASSERT_TRUE(store.AddFile(p, false));
  }
  Add(store, "x", 7);
  ASSERT_TRUE(store.GetUsedSpace(used));
  EXPECT_EQ(used, 6000000007LL);
}

TEST_F(FilesTest, TwoThreadsAddingAtOnceLoseNothing) {
  constexpr int kPerThread = 40;
  std::vector<int> ids[2];
  bool ok[2] = {true, true};
  auto worker = [&](int which) {
    for (int i = 0; i < kPerThread; ++i) {
      MetaStore store;  // one handle per step, as every caller makes
      FileRecord r = NewFile("t" + std::to_string(which) + "-" + std::to_string(i), 12000000, 1);
      if (!store.AddFile(r, true)) ok[which] = false;
      ids[which].push_back(r.file_id);
    }
  };
  std::thread first(worker, 0);
  std::thread second(worker, 1);
  first.join();
  second.join();
  EXPECT_TRUE(ok[0]);
  EXPECT_TRUE(ok[1]);
  std::set<int> all(ids[0].begin(), ids[0].end());
  all.insert(ids[1].begin(), ids[1].end());
  EXPECT_EQ(all.size(), 2u * kPerThread);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable"), 2 * kPerThread);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from mail"), 2 * 2 * kPerThread);
  EXPECT_EQ(Scalar(AccountPath(), "select count(distinct file_id) from mail"), 2 * kPerThread);
}

TEST_F(FilesTest, WriterAndReaderThreadsMeetWithoutErrors) {
  CLog* log = CLog::Instance();
  log->SetEnabled(true);
  log->SetThreshold(LOG_ERROR);
  log->Queue().TakeAll();
  constexpr int kFiles = 30;
  std::thread writer([&] {
    for (int i = 0; i < kFiles; ++i) {
      MetaStore store;
      FileRecord r = NewFile("w" + std::to_string(i), 100, 1);
      store.AddFile(r, true);
    }
  });
  std::thread uploader([&] {
    // The task thread's pattern: take one pending part, mark it uploaded.
    int done = 0;
    for (int round = 0; round < 4 * kFiles && done < kFiles; ++round) {
      MetaStore store;
      std::vector<FileRecord> pending;
      store.GetPendingUpload(pending);
      std::vector<FileRecord> listed;
      store.GetFiles("\\", listed);
      int64_t used = 0;
      store.GetUsedSpace(used);
      for (const FileRecord& p : pending) {
        store.FinishUpdateFile(p);
        ++done;
      }
    }
  });
  writer.join();
  uploader.join();
  auto errors = log->Queue().TakeAll();
  log->SetEnabled(false);
  for (const std::string& line : errors) ADD_FAILURE() << line;
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from ftable"), kFiles);
}

// What waits and what cannot show yet, read without holding every row.
TEST_F(FilesTest, PendingCountsAndIncompleteFiles) {
  // file: (part, total, stat), each part 10 bytes.
  const std::map<int, std::vector<std::vector<int>>> rows = {
      {1, {{1, 2, 0}, {2, 2, 0}}},  // whole
      {2, {{1, 3, 0}}},             // parts never seen
      {3, {{1, 1, 2}}},             // waiting for its download
      {4, {{1, 2, 0}, {2, 2, 3}}},  // one part deleted
      {5, {{1, 1, 1}, {1, 1, 1}}},  // waiting for its upload, its row twice
      {6, {{1, 2, 2}, {2, 2, 2}}},  // waiting for its download
      {7, {{1, 1, 2}}},             // kept (out of the tree): waits for nothing
  };
  for (const auto& [file, parts] : rows) {
    if (file != 7)
      Exec(AccountPath(), "insert into ftable(file_id,file_name,folder_id) values(" +
                              std::to_string(file) + ",'f" + std::to_string(file) + "',1)");
    for (const auto& p : parts) {
      Exec(AccountPath(), "insert into mail(file_id,part,total_part,stat,size,mail_id) values(" +
                              std::to_string(file) + "," + std::to_string(p[0]) + "," +
                              std::to_string(p[1]) + "," + std::to_string(p[2]) + ",10,'')");
    }
  }
  SyncQueries queries("me@example.com");
  int up = 0, down = 0;
  int64_t bytes = 0;
  ASSERT_TRUE(queries.PendingCounts(up, down, bytes));
  EXPECT_EQ(up, 1);
  EXPECT_EQ(down, 2);
  EXPECT_EQ(bytes, 50);
  std::set<int> hidden, on_demand;
  ASSERT_TRUE(queries.IncompleteFiles(false, hidden));
  ASSERT_TRUE(queries.IncompleteFiles(true, on_demand));
  EXPECT_EQ(hidden, (std::set<int>{2, 3, 4, 6, 7}));
  EXPECT_EQ(on_demand, (std::set<int>{2, 4}));
}

}  // namespace

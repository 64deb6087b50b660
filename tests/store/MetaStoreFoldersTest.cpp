#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "StoreTestEnv.h"
#include "log/CLog.h"

namespace {

class FoldersTest : public StoreTestEnv {
 protected:
  void SetUp() override { PrepareAccount(); }
  void TearDown() override { MetaStore::SetClashNotifier(nullptr); }

  // Adds name below the folder with the given full name; returns its id.
  int Add(MetaStore& store, const std::string& parent, const std::string& name) {
    int parent_id = 0;
    EXPECT_TRUE(store.GetFolderId(parent, parent_id)) << parent;
    FolderRecord f;
    f.name = name;
    f.parent_id = parent_id;
    EXPECT_TRUE(store.AddFolder(f));
    EXPECT_EQ(f.full_name, parent + name + "\\");
    int id = 0;
    EXPECT_TRUE(store.GetFolderId(f.full_name, id));
    return id;
  }

  std::map<std::string, FolderRecord> All(MetaStore& store) {
    std::map<std::string, FolderRecord> all;
    EXPECT_TRUE(store.GetAllFolders(all));
    return all;
  }
};

TEST_F(FoldersTest, AddLookUpAndList) {
  MetaStore store;
  int docs = Add(store, "\\", "docs");
  int y2010 = Add(store, "\\docs\\", "2010");
  Add(store, "\\", "o'neil");
  int id = 0;
  EXPECT_FALSE(store.GetFolderId("\\docs", id));  // full names end with "\"
  EXPECT_TRUE(store.GetFolderId("\\o'neil\\", id));

  FolderRecord f;
  ASSERT_TRUE(store.GetFolder(y2010, f));
  EXPECT_EQ(f.name, "2010");
  EXPECT_EQ(f.parent_id, docs);
  EXPECT_EQ(f.full_name, "\\docs\\2010\\");
  FolderRecord untouched;
  untouched.name = "keep";
  EXPECT_FALSE(store.GetFolder(999, untouched));
  EXPECT_EQ(untouched.name, "keep");

  std::vector<FolderRecord> children;
  ASSERT_TRUE(store.GetSubFolders("\\", children));
  ASSERT_EQ(children.size(), 2u);  // never the root itself
  for (const FolderRecord& c : children) EXPECT_EQ(c.parent_id, 1);
  EXPECT_FALSE(store.GetSubFolders("\\nothing\\", children));

  std::string full;
  ASSERT_TRUE(store.GetFolderFullName(y2010, full));
  EXPECT_EQ(full, "\\docs\\2010\\");
  ASSERT_TRUE(store.GetFolderFullName(1, full));
  EXPECT_EQ(full, "\\");

  FolderRecord orphan;
  orphan.name = "x";
  orphan.parent_id = 4242;
  EXPECT_FALSE(store.AddFolder(orphan));
  EXPECT_EQ(All(store).size(), 4u);
}

TEST_F(FoldersTest, DeleteLeavesChildrenWithBrokenChain) {
  MetaStore store;
  Add(store, "\\", "a");
  int b = Add(store, "\\a\\", "b");
  EXPECT_TRUE(store.DelFolder("\\a"));
  int id = 0;
  EXPECT_FALSE(store.GetFolderId("\\a\\", id));
  EXPECT_TRUE(store.GetFolderId("\\a\\b\\", id));
  std::string full;
  EXPECT_FALSE(store.GetFolderFullName(b, full));
  EXPECT_FALSE(store.UpdateFolderFullNames());
}

TEST_F(FoldersTest, RenameRewritesDescendants) {
  MetaStore store;
  int a = Add(store, "\\", "a");
  Add(store, "\\a\\", "b");
  Add(store, "\\a\\b\\", "c");
  int other = Add(store, "\\", "other");
  ASSERT_TRUE(store.RenameFolder("\\a", "\\z"));
  auto all = All(store);
  EXPECT_EQ(all.count("\\a\\"), 0u);
  ASSERT_EQ(all.count("\\z\\"), 1u);
  EXPECT_EQ(all["\\z\\"].id, a);
  EXPECT_EQ(all["\\z\\"].name, "z");
  EXPECT_EQ(all.count("\\z\\b\\"), 1u);
  EXPECT_EQ(all.count("\\z\\b\\c\\"), 1u);

  // Moving \z into \other: new parent, same name, the subtree follows.
  ASSERT_TRUE(store.RenameFolder("\\z", "\\other\\z"));
  all = All(store);
  EXPECT_EQ(all["\\other\\z\\"].parent_id, other);
  EXPECT_EQ(all.count("\\other\\z\\b\\c\\"), 1u);
  EXPECT_EQ(all.size(), 5u);
}

TEST_F(FoldersTest, RenameOntoExistingNameIsReportedAndChangesNothing) {
  MetaStore store;
  Add(store, "\\", "a");
  Add(store, "\\", "b");
  auto before = All(store);
  std::vector<std::string> shown;
  MetaStore::SetClashNotifier([&](const std::string& text) { shown.push_back(text); });
  EXPECT_FALSE(store.RenameFolder("\\a", "\\b"));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "文件夹下有同名目录，不能执行此操作");
  auto after = All(store);
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [name, f] : before) {
    EXPECT_EQ(after[name].id, f.id);
    EXPECT_EQ(after[name].parent_id, f.parent_id);
  }

  // Without a notifier the text goes to the log.
  MetaStore::SetClashNotifier(nullptr);
  CLog* log = CLog::Instance();
  log->SetEnabled(true);
  log->SetThreshold(3);
  log->Queue().TakeAll();
  EXPECT_FALSE(store.RenameFolder("\\a", "\\b"));
  auto lines = log->Queue().TakeAll();
  log->SetEnabled(false);
  bool logged = false;
  for (const auto& l : lines)
    logged |= l.find("文件夹下有同名目录，不能执行此操作") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST_F(FoldersTest, RenameBelowItselfIsRefused) {
  MetaStore store;
  Add(store, "\\", "a");
  Add(store, "\\a\\", "b");
  auto before = All(store);
  EXPECT_FALSE(store.RenameFolder("\\a", "\\a\\b\\a"));
  EXPECT_FALSE(store.RenameFolder("\\a", "\\a\\x"));
  EXPECT_EQ(All(store).size(), before.size());
  EXPECT_EQ(All(store)["\\a\\b\\"].id, before["\\a\\b\\"].id);
  // A sibling whose name merely starts the same is no descendant.
  Add(store, "\\", "ab");
  EXPECT_TRUE(store.RenameFolder("\\a", "\\ab\\a"));
  EXPECT_FALSE(store.RenameFolder("nopath", "\\x"));
  EXPECT_FALSE(store.RenameFolder("\\ab", "\\missing\\ab"));
}

TEST_F(FoldersTest, LoopingParentChainEndsTheWalk) {
  MetaStore store;
  TaskFolderRecord task;
  std::vector<FolderRecord> folders = {
      {"\\", 1, 0, "\\"}, {"a", 2, 3, "\\a\\"}, {"b", 3, 2, "\\b\\"}};
  ASSERT_TRUE(store.ReplaceFolderTree({}, task, folders));
  std::string full;
  EXPECT_FALSE(store.GetFolderFullName(2, full));
  EXPECT_FALSE(store.UpdateFolderFullNames());
}

TEST_F(FoldersTest, ReplaceTreeAndRollBack) {
  MetaStore store;
  Add(store, "\\", "old");
  store.AddUpFolderCount();
  TaskFolderRecord task;
  task.mail_id = "77";
  task.file_id = 12;
  std::vector<FolderRecord> folders = {{"\\", 1, 0, "\\"}, {"new", 5, 1, "\\new\\"}};
  FileRecord file;
  file.file_id = 9;
  file.folder_id = 5;
  file.name = "it's.txt";
  ASSERT_TRUE(store.ReplaceFolderTree({file}, task, folders));
  auto all = All(store);
  EXPECT_EQ(all.size(), 2u);
  EXPECT_EQ(all["\\new\\"].id, 5);
  std::map<int, FileRecord> files;
  ASSERT_TRUE(store.GetAllFiles(files));
  ASSERT_EQ(files.count(9), 1u);
  EXPECT_EQ(files[9].name, "it's.txt");
  EXPECT_EQ(files[9].folder_id, 5);
  TaskFolderRecord read;
  ASSERT_TRUE(store.GetFolderTask(read));
  EXPECT_EQ(read.mail_id, "77");
  EXPECT_EQ(read.file_id, 12);
  EXPECT_EQ(read.up_count, 1);  // left as it was
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from folder where stat is not null"), 0);

  // Two rows with one id: reported, and the whole replacement is undone.
  std::vector<FolderRecord> clash = {
      {"\\", 1, 0, "\\"}, {"x", 6, 1, "\\x\\"}, {"y", 6, 1, "\\y\\"}};
  TaskFolderRecord other;
  other.mail_id = "88";
  EXPECT_FALSE(store.ReplaceFolderTree({}, other, clash));
  all = All(store);
  EXPECT_EQ(all.size(), 2u);
  EXPECT_EQ(all.count("\\new\\"), 1u);
  std::string mail_id;
  ASSERT_TRUE(store.GetFolderMailId(mail_id));
  EXPECT_EQ(mail_id, "77");

  ASSERT_TRUE(store.ReplaceFolderTree({}, task, {}));
  EXPECT_TRUE(All(store).empty());  // the root too
}

TEST_F(FoldersTest, Counters) {
  MetaStore store;
  TaskFolderRecord t;
  t.up_count = 5;
  t.mail_id = "x";
  ASSERT_TRUE(store.GetFolderTask(t));
  EXPECT_EQ(t.up_count, 0);
  EXPECT_EQ(t.file_id, 0);
  EXPECT_EQ(t.mail_id, "");
  store.ReplaceFolderTree({}, TaskFolderRecord{"m1", 3, 0}, {{"\\", 1, 0, "\\"}});
  ASSERT_TRUE(store.AddUpFolderCount());
  ASSERT_TRUE(store.AddUpFolderCount());
  ASSERT_TRUE(store.GetFolderTask(t));
  EXPECT_EQ(t.up_count, 2);
  EXPECT_EQ(t.file_id, 5);
  EXPECT_EQ(t.mail_id, "");
  int count = -1;
  ASSERT_TRUE(store.GetUpFolderCount(count));
  EXPECT_EQ(count, 2);
  ASSERT_TRUE(store.SubUpFolderCount(1));
  store.GetUpFolderCount(count);
  EXPECT_EQ(count, 1);
  ASSERT_TRUE(store.SubUpFolderCount(4));
  store.GetUpFolderCount(count);
  EXPECT_EQ(count, -3);  // nothing clamps it
}

}  // namespace

// Every write of the store under a failing disk: reported as a failure,
// tables as they were.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "StoreFault.h"
#include "StoreTestEnv.h"
#include "store/SyncQueries.h"

namespace {

class StoreFailureTest : public StoreTestEnv {
 protected:
  void SetUp() override {
    PrepareAccount();
    MetaStore store;
    FolderRecord docs;
    docs.name = "docs";
    docs.parent_id = 1;
    ASSERT_TRUE(store.AddFolder(docs));
    file_.name = "a.txt";
    file_.folder_id = 1;
    file_.total_size = 3;
    file_.md5 = "abc";
    ASSERT_TRUE(store.AddFile(file_, true));
    file_.part = 1;
  }

  // Every row of the account database, as one text.
  std::string Tables() {
    CppSQLite3DB db;
    db.OpenDb(AccountPath());
    std::string all;
    const std::vector<std::pair<std::string, std::vector<std::string>>> tables = {
        {"mail", {"file_id", "mail_id", "name", "size", "time", "md5", "total_size", "part",
                  "total_part", "local_fn", "stat"}},
        {"ftable", {"file_id", "folder_id", "file_name"}},
        {"folder", {"id", "name", "parent_id", "full_name"}},
        {"task_folder", {"mail_id", "file_id", "up_count"}}};
    for (const auto& [table, columns] : tables) {
      std::string row;
      for (const std::string& c : columns) {
        row += std::string(row.empty() ? "" : "||','||") + "quote(" + c + ")";
      }
      StoreStatement q(db, "select group_concat(" + row + ", ';') as v from " + table);
      all += table + ": " + (q.executeStep() ? q.getText("v") : "") + "\n";
    }
    return all;
  }

  FileRecord file_;
};

TEST_F(StoreFailureTest, EveryWriteReportsTheFailureAndChangesNothing) {
  FileRecord fresh = file_;
  fresh.name = "b.txt";
  FolderRecord folder;
  folder.name = "new";
  folder.parent_id = 1;
  FileRecord content = file_;
  const std::string user = "me@example.com";
  FileRecord learnt = file_;
  learnt.file_id = 4711;
  learnt.mail_id = "9";
  TaskFolderRecord task;
  ASSERT_TRUE(MetaStore().GetFolderTask(task));
  bool claimed = false;
  using Write = std::pair<const char*, std::function<bool(MetaStore&)>>;
  // Changes of more than one statement, in one transaction each.
  const std::vector<Write> several = {
      {"AddFile", [&](MetaStore& s) { return s.AddFile(fresh, true); }},
      {"RenameFolder", [&](MetaStore& s) { return s.RenameFolder("\\docs", "\\d2"); }},
      {"ReplaceFolderTree", [&](MetaStore& s) { return s.ReplaceFolderTree({}, {}, {}); }},
      {"UpdateFolderFullNames", [&](MetaStore& s) { return s.UpdateFolderFullNames(); }},
      {"SubUpFolderCount", [&](MetaStore& s) { return s.SubUpFolderCount(1); }},
      {"MarkFileDeleted",
       [&](MetaStore&) { return SyncQueries(user).MarkFileDeleted(file_.file_id); }},
      {"MarkFileDeleted counted",
       [&](MetaStore&) { return SyncQueries(user).MarkFileDeleted(file_.file_id, true); }},
      {"FinishUpload", [&](MetaStore&) { return SyncQueries(user).FinishUpload(file_.file_id, 1); }},
      {"ReplaceFileContent",
       [&](MetaStore&) { return SyncQueries(user).ReplaceFileContent(file_.file_id, content); }},
      {"FinishUploadAt",
       [&](MetaStore&) {
         return SyncQueries(user).FinishUploadAt(file_.file_id, 1, "9", claimed);
       }},
      {"FinishUploadsAt",
       [&](MetaStore&) {
         std::vector<SyncQueries::Uploaded> parts{{file_.file_id, 1, "9", false}};
         return SyncQueries(user).FinishUploadsAt(parts) || parts[0].claimed;
       }},
      {"AddLearnedParts", [&](MetaStore&) { return SyncQueries(user).AddLearnedParts({learnt}); }},
      {"MarkDownloaded", [&](MetaStore&) { return SyncQueries(user).MarkDownloaded({file_}); }},
      {"AdoptTree",
       [&](MetaStore&) {
         return SyncQueries(user).AdoptTree(task, {}, {}, "9", 1, false, "t", "") !=
                SyncQueries::Adopt::kFailed;
       }},
      {"SetCurAccount", [&](MetaStore& s) { return s.SetCurAccount(user); }},
  };
  std::vector<Write> all = several;
  all.insert(all.end(), {
      {"AddFolder", [&](MetaStore& s) { return s.AddFolder(folder); }},
      {"DelFolder", [&](MetaStore& s) { return s.DelFolder("\\docs"); }},
      {"RenameFile", [&](MetaStore& s) { return s.RenameFile("\\a.txt", "\\c.txt"); }},
      {"SetFileStatByPath",
       [&](MetaStore& s) { return s.SetFileStatByPath("\\a.txt", PartState::kDeleted); }},
      {"SetFileStat", [&](MetaStore& s) { return s.SetFileStat(file_); }},
      {"FinishUpdateFile", [&](MetaStore& s) { return s.FinishUpdateFile(file_); }},
      {"AddUpFolderCount", [&](MetaStore& s) { return s.AddUpFolderCount(); }},
      {"UpdateSetting", [&](MetaStore& s) { return s.UpdateSetting({}); }},
      {"SetPartMailId",
       [&](MetaStore&) { return SyncQueries(user).SetPartMailId(file_.file_id, 1, "9"); }},
      {"SetDeletedPartMailId",
       [&](MetaStore&) { return SyncQueries(user).SetDeletedPartMailId(file_.file_id, 1, "9"); }},
      {"SetFileTime", [&](MetaStore&) { return SyncQueries(user).SetFileTime(file_.file_id, 9); }},
      {"RecordOwnIndex", [&](MetaStore&) { return SyncQueries(user).RecordOwnIndex(0, "9"); }},
  });
  const std::string before = Tables();
  {
    // Every writing statement fails.
    CppSQLite3DB::SetFaultForTest([](const std::string& sql) {
      for (const char* verb : {"insert", "update", "delete", "COMMIT"}) {
        if (sql.find(verb) != std::string::npos) return true;
      }
      return false;
    });
    for (const auto& [name, write] : all) {
      MetaStore store;
      EXPECT_FALSE(write(store)) << name;
    }
    CppSQLite3DB::SetFaultForTest(nullptr);
  }
  EXPECT_EQ(Tables(), before);
  {
    // Every statement ran, only the commit fails: the earlier ones go back.
    StoreFault fault("COMMIT");
    for (const auto& [name, write] : several) {
      MetaStore store;
      EXPECT_FALSE(write(store)) << name;
    }
  }
  EXPECT_EQ(Tables(), before);
}

}  // namespace

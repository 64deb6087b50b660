// Folder rows and the folder index counters.
#include <set>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/CppSQLite3Exception.h"
#include "store/MetaStore.h"
#include "store/StoreRows.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

FolderRecord ReadFolder(const StoreStatement& q) {
  FolderRecord r;
  r.name = q.getText("name");
  r.full_name = q.getText("full_name");
  r.id = q.getInt("id");
  r.parent_id = q.getInt("parent_id");
  return r;
}

}  // namespace

bool MetaStore::GetFolderId(const std::string& full_name, int& id) {
  bool found = false;
  return RunStoreBody(
             account_db_, "GetFolderId error",
             [&] {
               StoreStatement q(account_db_, "select id from folder where full_name=?");
               q.bind(1, full_name);
               if (!q.executeStep()) return;
               id = q.getInt("id");
               found = true;
             },
             false) &&
         found;
}

bool MetaStore::GetFolder(int id, FolderRecord& record) {
  bool found = false;
  return RunStoreBody(
             account_db_, "GetFileInfo error",
             [&] {
               StoreStatement q(account_db_, "select * from folder where id=?");
               q.bind(1, id);
               if (!q.executeStep()) return;
               record = ReadFolder(q);
               found = true;
             },
             false) &&
         found;
}

bool MetaStore::GetSubFolders(const std::string& full_name, std::vector<FolderRecord>& list) {
  int id = 0;
  if (!GetFolderId(full_name, id)) return false;
  return RunStoreBody(
      account_db_, "GetFiles error",
      [&] {
        StoreStatement q(account_db_, "select * from folder where parent_id=?");
        q.bind(1, id);
        while (q.executeStep()) list.push_back(ReadFolder(q));
      },
      false);
}

bool MetaStore::GetAllFolders(std::map<std::string, FolderRecord>& folders) {
  return RunStoreBody(
      account_db_, "GetFileInfo error",
      [&] {
        StoreStatement q(account_db_, "select * from folder");
        while (q.executeStep()) {
          FolderRecord r = ReadFolder(q);
          folders[r.full_name] = r;
        }
      },
      false);
}

bool MetaStore::GetAllFiles(std::map<int, FileRecord>& files) {
  return RunStoreBody(
      account_db_, "GetFileInfo error",
      [&] {
        StoreStatement q(account_db_, "select * from ftable");
        while (q.executeStep()) {
          FileRecord r;
          r.name = q.getText("file_name");
          r.file_id = q.getInt("file_id");
          r.folder_id = q.getInt("folder_id");
          r.origin = q.getInt("origin");
          files[r.file_id] = r;
        }
      },
      false);
}

bool MetaStore::GetFolderFullName(int id, std::string& full_name) {
  std::string result;
  // A parent chain that comes back to a folder already seen would loop for
  // ever; it fails like a broken chain.
  std::set<int> seen;
  for (;;) {
    if (!seen.insert(id).second) return false;
    FolderRecord folder;
    if (!GetFolder(id, folder)) return false;
    if (folder.name == "\\") {
      full_name = "\\" + result;
      return true;
    }
    result = folder.name + "\\" + result;
    id = folder.parent_id;
  }
}

bool MetaStore::AddFolder(FolderRecord& record) {
  FolderRecord parent;
  if (!GetFolder(record.parent_id, parent)) return false;
  record.full_name = parent.full_name + record.name + "\\";
  return RunStoreBody(
      account_db_, "AddFolder error",
      [&] {
        // A random id, as for files: folders made on two machines apart
        // must not share one, or a merge would take them for one folder.
        record.id = DrawNewFolderId();
        StoreStatement insert(account_db_,
                              "insert into folder(id,name,parent_id,full_name) values(?,?,?,?)");
        insert.bind(1, record.id);
        insert.bind(2, record.name);
        insert.bind(3, record.parent_id);
        insert.bind(4, record.full_name);
        insert.exec();
      },
      false);
}

bool MetaStore::DelFolder(const std::string& path) {
  return RunStoreBody(
      account_db_, "DelFolder error",
      [&] {
        StoreStatement del(account_db_, "delete from folder where full_name=?");
        del.bind(1, path + "\\");
        del.exec();
      },
      false);
}

bool MetaStore::RenameFolder(const std::string& old_path, const std::string& new_path) {
  std::string old_parent, old_name, new_parent, new_name;
  if (!SplitPath(old_path, old_parent, old_name)) return false;
  if (!SplitPath(new_path, new_parent, new_name)) return false;
  const std::string old_full = old_path + "\\";
  const std::string new_full = new_path + "\\";
  // Moving a folder below itself would make its parent chain a loop.
  if (new_full.size() > old_full.size() && new_full.compare(0, old_full.size(), old_full) == 0)
    return false;
  int id = 0;
  if (GetFolderId(new_full, id)) {
    NotifyClash();
    return false;
  }
  int new_parent_id = 0;
  if (!GetFolderId(new_parent, new_parent_id)) return false;
  return RunStoreBody(
      account_db_, "FinishUpdateFile error",
      [&] {
        StoreStatement update(
            account_db_, "update folder set name=?, full_name=?,parent_id=? where full_name=?");
        update.bind(1, new_name);
        update.bind(2, new_full);
        update.bind(3, new_parent_id);
        update.bind(4, old_full);
        update.exec();
        RewriteFullNames();
      },
      true);
}

void MetaStore::RewriteFullNames() {
  std::map<std::string, FolderRecord> folders;
  if (!GetAllFolders(folders))
    throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "folders");
  StoreStatement update(account_db_, "update folder set full_name=? where id=?");
  for (const auto& [key, folder] : folders) {
    if (folder.id == 1) continue;
    std::string full_name;
    if (!GetFolderFullName(folder.id, full_name)) {
      throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "folder chain broken");
    }
    update.bind(1, full_name);
    update.bind(2, folder.id);
    update.exec();
  }
}

bool MetaStore::UpdateFolderFullNames() {
  return RunStoreBody(
      account_db_, "FinishUpdateFile error", [&] { RewriteFullNames(); }, true);
}

bool MetaStore::ReplaceFolderTree(const std::vector<FileRecord>& files,
                                  const TaskFolderRecord& task,
                                  const std::vector<FolderRecord>& folders) {
  return RunStoreBody(
      account_db_, "DelFolder error",
      [&] {
        ReplaceTreeRows(account_db_, folders, files);
        StoreStatement index(account_db_, "update task_folder set mail_id=?, file_id=?");
        index.bind(1, task.mail_id);
        index.bind(2, task.file_id);
        index.exec();
      },
      true);
}

bool MetaStore::GetFolderMailId(std::string& mail_id) {
  bool found = false;
  return RunStoreBody(
             account_db_, "GetAllMailId error",
             [&] {
               StoreStatement q(account_db_, "select mail_id from task_folder");
               if (!q.executeStep()) return;
               mail_id = q.getText("mail_id");
               found = true;
             },
             false) &&
         found;
}

bool MetaStore::GetFolderTask(TaskFolderRecord& record) {
  record = TaskFolderRecord();
  return RunStoreBody(
      account_db_, "GetUpFolderCount error",
      [&] {
        StoreStatement q(account_db_, "select * from task_folder");
        if (!q.executeStep()) return;
        record.up_count = q.getInt("up_count");
        record.file_id = q.getInt("file_id");
        record.mail_id = q.getText("mail_id");
      },
      false);
}

bool MetaStore::GetUpFolderCount(int& count) {
  return RunStoreBody(
      account_db_, "GetUpFolderCount error",
      [&] {
        StoreStatement q(account_db_, "select * from task_folder");
        if (q.executeStep()) count = q.getInt("up_count");
      },
      false);
}

bool MetaStore::AddUpFolderCount() {
  return RunStoreBody(
      account_db_, "AddUpFolderCount error",
      [&] {
        account_db_.RunStatement(
            "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''");
      },
      false);
}

bool MetaStore::SubUpFolderCount(int n) {
  return RunStoreBody(
      account_db_, "GetFileInfo error",
      [&] {
        StoreStatement update(account_db_, "update task_folder set up_count=up_count-?");
        update.bind(1, n);
        update.exec();
      },
      true);
}

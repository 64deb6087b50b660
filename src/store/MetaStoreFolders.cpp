// Folder rows and the folder index counters.
#include <set>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/CppSQLite3Exception.h"
#include "store/MetaStore.h"
#include "store/SqlText.h"
#include "store/StoreTransaction.h"

namespace {

FolderRecord ReadFolder(const CppSQLite3Query& q) {
  FolderRecord r;
  r.name = q.TextValue("name");
  r.full_name = q.TextValue("full_name");
  r.id = q.IntValue("id");
  r.parent_id = q.IntValue("parent_id");
  return r;
}

}  // namespace

bool MetaStore::GetFolderId(const std::string& full_name, int& id) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        SqlText("select id from folder where full_name='%q'", full_name.c_str()));
    if (q.AtEnd()) return false;
    id = q.IntValue("id");
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFolderId error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::GetFolder(int id, FolderRecord& record) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(SqlText("select * from folder where id=%d", id));
    if (q.AtEnd()) return false;
    record = ReadFolder(q);
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileInfo error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::GetSubFolders(const std::string& full_name, std::vector<FolderRecord>& list) {
  int id = 0;
  if (!GetFolderId(full_name, id)) return false;
  try {
    CppSQLite3Query q =
        account_db_.RunQuery(SqlText("select * from folder where parent_id=%d", id));
    while (!q.AtEnd()) {
      list.push_back(ReadFolder(q));
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFiles error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetAllFolders(std::map<std::string, FolderRecord>& folders) {
  try {
    CppSQLite3Query q = account_db_.RunQuery("select * from folder");
    while (!q.AtEnd()) {
      FolderRecord r = ReadFolder(q);
      folders[r.full_name] = r;
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileInfo error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetAllFiles(std::map<int, FileRecord>& files) {
  try {
    CppSQLite3Query q = account_db_.RunQuery("select * from ftable");
    while (!q.AtEnd()) {
      FileRecord r;
      r.name = q.TextValue("file_name");
      r.file_id = q.IntValue("file_id");
      r.folder_id = q.IntValue("folder_id");
      files[r.file_id] = r;
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileInfo error.msg=%s", e.Message());
    return false;
  }
  return true;
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
  try {
    account_db_.RunStatement(
        SqlText("insert into folder(name,parent_id,full_name) values('%q', %d,'%q')",
                record.name.c_str(), record.parent_id, record.full_name.c_str()));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "AddFolder error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::DelFolder(const std::string& path) {
  try {
    account_db_.RunStatement(
        SqlText("delete from folder where full_name='%q'", (path + "\\").c_str()));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "DelFolder error.msg=%s", e.Message());
    return false;
  }
  return true;
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
  try {
    StoreTransaction transaction(account_db_);
    account_db_.RunStatement(
        SqlText("update folder set name='%q', full_name='%q',parent_id=%d where full_name='%q'",
                new_name.c_str(), new_full.c_str(), new_parent_id, old_full.c_str()));
    RewriteFullNames();
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "FinishUpdateFile error.msg=%s", e.Message());
    return false;
  }
  return true;
}

void MetaStore::RewriteFullNames() {
  std::map<std::string, FolderRecord> folders;
  if (!GetAllFolders(folders)) throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "folders");
  for (const auto& [key, folder] : folders) {
    if (folder.id == 1) continue;
    std::string full_name;
    if (!GetFolderFullName(folder.id, full_name)) {
      throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "folder chain broken");
    }
    account_db_.RunStatement(
        SqlText("update folder set full_name='%q' where id=%d", full_name.c_str(), folder.id));
  }
}

bool MetaStore::UpdateFolderFullNames() {
  try {
    StoreTransaction transaction(account_db_);
    RewriteFullNames();
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "FinishUpdateFile error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::ReplaceFolderTree(const std::vector<FileRecord>& files,
                                  const TaskFolderRecord& task,
                                  const std::vector<FolderRecord>& folders) {
  try {
    StoreTransaction transaction(account_db_);
    account_db_.RunStatement("delete from folder");
    account_db_.RunStatement("delete from ftable");
    for (const FolderRecord& f : folders) {
      account_db_.RunStatement(
          SqlText("insert into folder(id, parent_id, name, full_name) values(%d,%d,'%q','%q')",
                  f.id, f.parent_id, f.name.c_str(), f.full_name.c_str()));
    }
    for (const FileRecord& f : files) {
      account_db_.RunStatement(
          SqlText("insert into ftable(file_id, folder_id, file_name) values(%d,%d,'%q')", f.file_id,
                  f.folder_id, f.name.c_str()));
    }
    account_db_.RunStatement(SqlText("update task_folder set mail_id='%q', file_id=%d",
                                     task.mail_id.c_str(), task.file_id));
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "DelFolder error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetFolderMailId(std::string& mail_id) {
  try {
    CppSQLite3Query q = account_db_.RunQuery("select mail_id from task_folder");
    if (q.AtEnd()) return false;
    mail_id = q.TextValue("mail_id");
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetAllMailId error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::GetFolderTask(TaskFolderRecord& record) {
  record = TaskFolderRecord();
  try {
    CppSQLite3Query q = account_db_.RunQuery("select * from task_folder");
    if (!q.AtEnd()) {
      record.up_count = q.IntValue("up_count");
      record.file_id = q.IntValue("file_id");
      record.mail_id = q.TextValue("mail_id");
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetUpFolderCount error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetUpFolderCount(int& count) {
  try {
    CppSQLite3Query q = account_db_.RunQuery("select * from task_folder");
    if (!q.AtEnd()) count = q.IntValue("up_count");
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetUpFolderCount error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::AddUpFolderCount() {
  try {
    account_db_.RunStatement(
        "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''");
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "AddUpFolderCount error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::SubUpFolderCount(int n) {
  try {
    StoreTransaction transaction(account_db_);
    account_db_.RunStatement(SqlText("update task_folder set up_count=up_count-%d", n));
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileInfo error.msg=%s", e.Message());
    return false;
  }
  return true;
}

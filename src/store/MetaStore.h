#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/AccountRecord.h"
#include "store/CppSQLite3DB.h"
#include "store/DriveEntry.h"
#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/SettingRecord.h"
#include "store/TaskFolderRecord.h"

// A short-lived handle on the main database (accounts, the setting row) and
// the current account's database (folders, files, parts, folder index
// counters). Every operation runs its statements through RunStoreBody,
// which catches the SQL layer's exception, logs it and returns false,
// leaving its tables as they were (changes of more than one statement run in
// one StoreTransaction); nothing escapes as an exception.
//
// Thread contract: one thread only; every thread makes its own handle. The
// store takes no lock: threads meet in the engine's file locks, the 60000 ms
// busy time-out and StoreTransaction ("BEGIN IMMEDIATE") around
// multi-statement changes. The
// folder clash notifier is process-wide, guarded by its own mutex.
class MetaStore {
 public:
  static constexpr int kBusyTimeoutMs = 60000;
  static constexpr int kPartSize = 10485760;
  static constexpr const char* kClashText = "文件夹下有同名目录，不能执行此操作";

  // Receives the text to show when a folder rename meets an existing name.
  using ClashNotifier = std::function<void(const std::string& text)>;
  // Set by the application shell; an empty function logs the text instead.
  static void SetClashNotifier(ClashNotifier notifier);

  // The databases of the program's data directory (DataDir()), or of
  // data_dir: engines of one process (the tests' machines) keep their own.
  MetaStore();
  explicit MetaStore(const std::string& data_dir);
  MetaStore(const MetaStore&) = delete;
  MetaStore& operator=(const MetaStore&) = delete;
  virtual ~MetaStore();

  // Handle.
  bool OpenDatabases(const std::string& path);
  bool OpenAccountDb();
  const std::string& DataDirectory() const { return data_dir_; }

  // Accounts and settings (main database).
  bool GetAccounts(std::vector<AccountRecord>& list);
  bool GetAccount(const std::string& user, AccountRecord& record);
  bool GetCurAccount(std::string& user);
  bool GetAccountId(const std::string& user, int& id);
  bool AddAccount(const AccountRecord& record);
  bool UpdateAccount(const AccountRecord& record);
  bool SetCurAccount(const std::string& user);
  bool GetSetting(SettingRecord& record);
  bool UpdateSetting(const SettingRecord& record);
  // Like GetSetting, but false unless a row was actually read: for callers
  // that write the row back.
  bool ReadSetting(SettingRecord& record);
  // The start-up rebuild of every account's mail table.
  static void UpdateMailTable();

  // Folders and the folder index counters (account database).
  bool GetFolderId(const std::string& full_name, int& id);
  bool GetFolder(int id, FolderRecord& record);
  bool GetSubFolders(const std::string& full_name, std::vector<FolderRecord>& list);
  bool GetAllFolders(std::map<std::string, FolderRecord>& folders);
  bool GetAllFiles(std::map<int, FileRecord>& files);
  bool GetFolderFullName(int id, std::string& full_name);
  bool AddFolder(FolderRecord& record);
  bool DelFolder(const std::string& path);
  bool RenameFolder(const std::string& old_path, const std::string& new_path);
  bool UpdateFolderFullNames();
  bool ReplaceFolderTree(const std::vector<FileRecord>& files, const TaskFolderRecord& task,
                         const std::vector<FolderRecord>& folders);
  bool GetFolderMailId(std::string& mail_id);
  bool GetFolderTask(TaskFolderRecord& record);
  bool GetUpFolderCount(int& count);
  bool AddUpFolderCount();
  bool SubUpFolderCount(int n);

  // Files and parts (account database).
  bool GetNewFileId(int& id);
  bool GetFileId(int folder_id, const std::string& name, int& id);
  bool GetFileInfo(const std::string& path, FileRecord& record);
  bool GetFileByMailId(const std::string& mail_id, FileRecord& record);
  // awaiting: files whose first part still waits for its download too.
  bool GetFiles(const std::string& folder, std::vector<FileRecord>& list, bool awaiting = false);
  bool GetFolderEntries(const std::string& folder, std::vector<DriveEntry>& entries,
                        bool awaiting = false);
  bool GetAllMailId(std::map<std::string, PartState>& stats);
  // A value that changes whenever another handle commits to the account
  // database (SQLite's data_version): a handle kept open tells from it
  // that nothing was recorded since it last looked.
  bool AccountVersion(int64_t& version);
  bool GetPendingDownloads(std::vector<FileRecord>& list);
  // The first limit waiting parts of files not in skip (files the server
  // refuses).
  bool GetPendingUpload(std::vector<FileRecord>& list, const std::set<int>& skip = {},
                        size_t limit = 1);
  bool IsFileComplete(const FileRecord& record);
  bool GetUsedSpace(int64_t& bytes);
  bool AddFile(FileRecord& record, bool new_file);
  // keep_entry leaves the file's ftable row: a part gone from the mailbox
  // says nothing of the file's place, which only a folder index decides.
  bool DelFile(const std::string& mail_id, bool keep_entry = false);
  bool FinishUpdateFile(const FileRecord& record);
  bool SetFileStat(const FileRecord& record);
  bool SetFileStatByPath(const std::string& path, PartState stat);
  bool RenameFile(const std::string& old_path, const std::string& new_path);
  bool DelPendingFiles();

  // Parts of a file of the given size: one part of 0 bytes for an empty file.
  static int PartCount(int64_t total_size);
  // The size of part `part` of total_part of such a file: kPartSize but the last.
  static int PartSize(int64_t total_size, int part, int total_part);

 private:
  // Throws the SQL layer's exception; the public operations' RunStoreBody
  // catches it.
  int DrawNewFileId();
  int DrawNewFolderId();
  bool ResolvePath(const std::string& path, int& folder_id, int& file_id);
  // Every folder's full name again from its parent chain; throws on a
  // failure, inside the caller's transaction.
  void RewriteFullNames();
  static void NotifyClash();

  std::string data_dir_;
  CppSQLite3DB account_db_;
  CppSQLite3DB main_db_;
};

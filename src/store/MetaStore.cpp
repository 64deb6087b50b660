// The handle, accounts, settings and the start-up migration.
#include "store/MetaStore.h"

#include <sqlite3.h>
#include <mutex>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/CppSQLite3Exception.h"
#include "store/SqlText.h"
#include "store/StoreTransaction.h"
#include "store/StoreFiles.h"

namespace {

const char* const kAccountSchema[] = {
    "CREATE TABLE mail(file_id INTEGER, mail_id text, name text, size int, time int, md5 text, "
    "total_size int, part int, total_part int, local_fn text, stat int )",
    "CREATE TABLE folder( id INTEGER PRIMARY KEY, name TEXT, parent_id TEXT, full_name text, "
    "stat int)",
    "insert into folder(id, name, parent_id, full_name, stat) values(1, '\\', 0, '\\', 0)",
    "CREATE TABLE ftable( file_id INTEGER PRIMARY KEY, file_name TEXT, folder_id int)",
    "CREATE TABLE task_folder(up_count int, mail_id text, file_id int)",
    "insert into task_folder(up_count,file_id,mail_id) values(0,0,'')",
};

// Guards the notifier only; it is copied out before it is called.
std::mutex& ClashMutex() {
  static std::mutex mutex;
  return mutex;
}

MetaStore::ClashNotifier& ClashSlot() {
  static MetaStore::ClashNotifier notifier;
  return notifier;
}

}  // namespace

void MetaStore::SetClashNotifier(ClashNotifier notifier) {
  std::lock_guard<std::mutex> lock(ClashMutex());
  ClashSlot() = std::move(notifier);
}

void MetaStore::NotifyClash() {
  ClashNotifier notifier;
  {
    std::lock_guard<std::mutex> lock(ClashMutex());
    notifier = ClashSlot();
  }
  if (notifier)
    notifier(kClashText);
  else
    CLog::Instance()->Write(LOG_WARNING, "%s", kClashText);
}

MetaStore::MetaStore() : MetaStore(DataDir()) {}

MetaStore::MetaStore(const std::string& data_dir) : data_dir_(data_dir) {
  account_db_.SetBusyTimeout(kBusyTimeoutMs);
  main_db_.SetBusyTimeout(kBusyTimeoutMs);
  OpenDatabases("");
}

MetaStore::~MetaStore() {
  if (main_db_.IsOpen()) main_db_.CloseDb();
  if (account_db_.IsOpen()) account_db_.CloseDb();
}

bool MetaStore::OpenDatabases(const std::string& path) {
  std::string main_path = path.empty() ? MainDbPath(data_dir_) : path;
  try {
    // An empty main database made here would hide the template from the
    // data directory's preparation for good, so a missing file stays missing.
    if (main_path.empty() || !FileExists(main_path))
      throw CppSQLite3Exception(SQLITE_CANTOPEN, "no main database");
    main_db_.OpenDb(main_path);
    CppSQLite3DB::KeepOpen(main_path);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "打开时失败.msg=%s", e.Message());
    return false;
  }
  return OpenAccountDb();
}

bool MetaStore::OpenAccountDb() {
  std::string user;
  if (!GetCurAccount(user)) {
    account_db_.CloseDb();
    return true;
  }
  try {
    account_db_.CloseDb();
    std::string path = AccountDbPath(data_dir_, user);
    if (path.empty()) throw CppSQLite3Exception(SQLITE_CANTOPEN, "unusable account name");
    EnsurePrivateFile(path);
    account_db_.OpenDb(path);
    CppSQLite3DB::KeepOpen(path);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "打开时失败.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetAccounts(std::vector<AccountRecord>& list) {
  try {
    CppSQLite3Query q = main_db_.RunQuery("select * from account;");
    while (!q.AtEnd()) {
      AccountRecord r;
      r.user = q.TextValue("user");
      r.pwd = q.TextValue("pwd");
      r.type = q.IntValue("type");
      r.down_server = q.TextValue("down_server");
      r.port = q.IntValue("port");
      r.ssl_flag = q.IntValue("ssl_flag");
      r.is_default = q.IntValue("is_default");
      r.save_pwd = q.IntValue("save_pwd");
      list.push_back(std::move(r));
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetAccount error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetAccount(const std::string& user, AccountRecord& record) {
  std::vector<AccountRecord> list;
  GetAccounts(list);
  for (const AccountRecord& r : list) {
    if (r.user == user) {
      record = r;
      return true;
    }
  }
  return false;
}

bool MetaStore::GetCurAccount(std::string& user) {
  std::vector<AccountRecord> list;
  GetAccounts(list);
  for (const AccountRecord& r : list) {
    if (r.is_default == 1) {
      user = r.user;
      return true;
    }
  }
  return false;
}

bool MetaStore::GetAccountId(const std::string& user, int& id) {
  try {
    CppSQLite3Query q =
        main_db_.RunQuery(SqlText("select id from account where user='%q'", user.c_str()));
    if (q.AtEnd()) return false;
    id = q.IntValue("id");
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetAccount error.msg=%s", e.Message());
    return false;
  }
}

namespace {

// The account statements are logged with the password masked: the log is a
// file a user may well hand on.
const char* const kHiddenPwd = "***";

std::string InsertAccountSql(const AccountRecord& r, const char* pwd) {
  return SqlText(
      "insert into account(user,pwd,type,down_server,smtp_server,port,ssl_flag,save_pwd) "
      "values('%q','%q',%d,'%q','%q', %d,%d,%d)",
      r.user.c_str(), pwd, r.type, r.down_server.c_str(), r.smtp_server.c_str(), r.port, r.ssl_flag,
      r.save_pwd);
}

std::string UpdateAccountSql(const AccountRecord& r, const char* pwd) {
  return SqlText(
      "update account set user='%q',pwd='%q',type=%d,down_server='%q',smtp_server='%q',"
      "port=%d,ssl_flag=%d,save_pwd=%d where user='%q'",
      r.user.c_str(), pwd, r.type, r.down_server.c_str(), r.smtp_server.c_str(), r.port, r.ssl_flag,
      r.save_pwd, r.user.c_str());
}

}  // namespace

bool MetaStore::AddAccount(const AccountRecord& r) {
  if (AccountDbPath(data_dir_, r.user).empty()) {
    CLog::Instance()->Write(LOG_ERROR, "AddAccount error.msg=unusable account name");
    return false;
  }
  try {
    const std::string shown = InsertAccountSql(r, kHiddenPwd);
    main_db_.RunStatement(InsertAccountSql(r, r.pwd.c_str()), &shown);
    account_db_.CloseDb();
    std::string path = AccountDbPath(data_dir_, r.user);
    EnsurePrivateFile(path);
    account_db_.OpenDb(path);
    StoreTransaction schema(account_db_);
    for (const char* statement : kAccountSchema) account_db_.RunStatement(statement);
    schema.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "AddAccount error.msg=%s", e.Message());
    return false;
  }
  SettingRecord setting;
  GetSetting(setting);
  std::string cache = CacheDir(setting.data_dir, r.user);
  if (!cache.empty()) MakeDir(cache);
  return true;
}

bool MetaStore::UpdateAccount(const AccountRecord& r) {
  try {
    const std::string shown = UpdateAccountSql(r, kHiddenPwd);
    main_db_.RunStatement(UpdateAccountSql(r, r.pwd.c_str()), &shown);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "AddAccount error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::SetCurAccount(const std::string& user) {
  try {
    StoreTransaction transaction(main_db_);
    main_db_.RunStatement("update account set is_default=0");
    main_db_.RunStatement(SqlText("update account set is_default=1 where user='%q'", user.c_str()));
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "SetCurAccount error.msg=%s", e.Message());
    return false;
  }
  OpenAccountDb();
  return true;
}

namespace {

// Reads the first setting row into record; false when there is none.
bool ReadSettingRow(CppSQLite3DB& db, SettingRecord& record) {
  CppSQLite3Query q = db.RunQuery("select * from setting;");
  if (q.AtEnd()) return false;
  record.auto_login = q.IntValue("auto_login");
  record.auto_start = q.IntValue("auto_start");
  record.data_dir = q.TextValue("data_dir");
  return true;
}

}  // namespace

bool MetaStore::GetSetting(SettingRecord& record) {
  try {
    ReadSettingRow(main_db_, record);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetAccount error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::ReadSetting(SettingRecord& record) {
  try {
    return ReadSettingRow(main_db_, record);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetAccount error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::UpdateSetting(const SettingRecord& record) {
  try {
    main_db_.RunStatement(SqlText("update setting set auto_login=%d,auto_start=%d,data_dir='%q'",
                                  record.auto_login, record.auto_start, record.data_dir.c_str()));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "UpdateSetting error.msg=%s", e.Message());
    return false;
  }
  return true;
}

void MetaStore::UpdateMailTable() {
  std::vector<AccountRecord> accounts;
  {
    MetaStore store;
    store.GetAccounts(accounts);
  }
  for (const AccountRecord& account : accounts) {
    std::string path = AccountDbPath(account.user);
    CppSQLite3DB db;
    db.SetBusyTimeout(kBusyTimeoutMs);
    try {
      // Opening would create an empty file for an account whose database
      // is gone; there is nothing to rebuild then.
      if (path.empty() || !FileExists(path))
        throw CppSQLite3Exception(SQLITE_CANTOPEN, "no account database");
      db.OpenDb(path);
      StoreTransaction transaction(db);
      db.RunStatement(
          "CREATE TABLE mail_new(file_id INTEGER, mail_id text, name text, size int, time int, "
          "md5 text, total_size int, part int, total_part int, local_fn text, stat int )");
      db.RunStatement("insert into mail_new select * from mail;");
      db.RunStatement("drop table mail;");
      db.RunStatement("alter table mail_new rename to mail;");
      transaction.Commit();
    } catch (const CppSQLite3Exception& e) {
      CLog::Instance()->Write(LOG_ERROR, "update table mail error.msg=%s", e.Message());
    }
    db.CloseDb();
  }
}

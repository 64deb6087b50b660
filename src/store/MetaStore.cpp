// The handle, accounts, settings and the start-up migration.
#include "store/MetaStore.h"

#include <sqlite3.h>
#include <mutex>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/CppSQLite3Exception.h"
#include "store/StoreFiles.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

const char* const kAccountSchema[] = {
    "CREATE TABLE mail(file_id INTEGER, mail_id text, name text, size int, time int, md5 text, "
    "total_size int, part int, total_part int, local_fn text, stat int )",
    "CREATE TABLE folder( id INTEGER PRIMARY KEY, name TEXT, parent_id TEXT, full_name text, "
    "stat int)",
    "insert into folder(id, name, parent_id, full_name, stat) values(1, '\\', 0, '\\', 0)",
    "CREATE TABLE ftable( file_id INTEGER PRIMARY KEY, file_name TEXT, folder_id int, origin int)",
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
  bool opened = RunStoreBody(
      main_db_, "打开时失败",
      [&] {
        // An empty main database made here would hide the template from the
        // data directory's preparation for good, so a missing file stays
        // missing.
        if (main_path.empty() || !FileExists(main_path))
          throw CppSQLite3Exception(SQLITE_CANTOPEN, "no main database");
        main_db_.OpenDb(main_path);
        CppSQLite3DB::KeepOpen(main_path);
      },
      false);
  return opened && OpenAccountDb();
}

bool MetaStore::OpenAccountDb() {
  std::string user;
  if (!GetCurAccount(user)) {
    account_db_.CloseDb();
    return true;
  }
  return RunStoreBody(
      account_db_, "打开时失败",
      [&] {
        account_db_.CloseDb();
        std::string path = AccountDbPath(data_dir_, user);
        if (path.empty()) throw CppSQLite3Exception(SQLITE_CANTOPEN, "unusable account name");
        EnsurePrivateFile(path);
        account_db_.OpenDb(path);
        CppSQLite3DB::KeepOpen(path);
      },
      false);
}

bool MetaStore::GetAccounts(std::vector<AccountRecord>& list) {
  return RunStoreBody(
      main_db_, "GetAccount error",
      [&] {
        StoreStatement q(main_db_, "select * from account;");
        while (q.executeStep()) {
          AccountRecord r;
          r.user = q.getText("user");
          r.pwd = q.getText("pwd");
          r.type = q.getInt("type");
          r.down_server = q.getText("down_server");
          r.port = q.getInt("port");
          r.ssl_flag = q.getInt("ssl_flag");
          r.is_default = q.getInt("is_default");
          r.save_pwd = q.getInt("save_pwd");
          list.push_back(std::move(r));
        }
      },
      false);
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
  bool found = false;
  return RunStoreBody(
             main_db_, "GetAccount error",
             [&] {
               StoreStatement q(main_db_, "select id from account where user=?");
               q.bind(1, user);
               if (!q.executeStep()) return;
               id = q.getInt("id");
               found = true;
             },
             false) &&
         found;
}

namespace {

// The columns both account statements name first, in their order. The
// password is logged masked: the log is a file a user may well hand on.
void BindAccount(StoreStatement& s, const AccountRecord& r) {
  s.bind(1, r.user);
  s.bindHidden(2, r.pwd);
  s.bind(3, r.type);
  s.bind(4, r.down_server);
  s.bind(5, r.smtp_server);
  s.bind(6, r.port);
  s.bind(7, r.ssl_flag);
  s.bind(8, r.save_pwd);
}

}  // namespace

bool MetaStore::AddAccount(const AccountRecord& r) {
  const std::string path = AccountDbPath(data_dir_, r.user);
  if (path.empty()) {
    CLog::Instance()->Write(LOG_ERROR, "AddAccount error.msg=unusable account name");
    return false;
  }
  const char* failure = "AddAccount error";
  bool added =
      RunStoreBody(
          main_db_, failure,
          [&] {
            StoreStatement insert(
                main_db_,
                "insert into account(user,pwd,type,down_server,smtp_server,port,ssl_flag,save_pwd) "
                "values(?,?,?,?,?, ?,?,?)");
            BindAccount(insert, r);
            insert.exec();
          },
          false) &&
      RunStoreBody(
          account_db_, failure,
          [&] {
            account_db_.CloseDb();
            EnsurePrivateFile(path);
            account_db_.OpenDb(path);
          },
          false) &&
      RunStoreBody(
          account_db_, failure,
          [&] {
            for (const char* statement : kAccountSchema) account_db_.RunStatement(statement);
          },
          true);
  if (!added) return false;
  SettingRecord setting;
  GetSetting(setting);
  std::string cache = CacheDir(setting.data_dir, r.user);
  if (!cache.empty()) MakeDir(cache);
  return true;
}

bool MetaStore::UpdateAccount(const AccountRecord& r) {
  return RunStoreBody(
      main_db_, "AddAccount error",
      [&] {
        StoreStatement update(main_db_,
                              "update account set user=?,pwd=?,type=?,down_server=?,smtp_server=?,"
                              "port=?,ssl_flag=?,save_pwd=? where user=?");
        BindAccount(update, r);
        update.bind(9, r.user);
        update.exec();
      },
      false);
}

bool MetaStore::SetCurAccount(const std::string& user) {
  bool set = RunStoreBody(
      main_db_, "SetCurAccount error",
      [&] {
        main_db_.RunStatement("update account set is_default=0");
        StoreStatement current(main_db_, "update account set is_default=1 where user=?");
        current.bind(1, user);
        current.exec();
      },
      true);
  if (!set) return false;
  OpenAccountDb();
  return true;
}

namespace {

// Reads the first setting row into record; false when there is none.
bool ReadSettingRow(CppSQLite3DB& db, SettingRecord& record) {
  StoreStatement q(db, "select * from setting;");
  if (!q.executeStep()) return false;
  record.auto_login = q.getInt("auto_login");
  record.auto_start = q.getInt("auto_start");
  record.data_dir = q.getText("data_dir");
  return true;
}

}  // namespace

bool MetaStore::GetSetting(SettingRecord& record) {
  return RunStoreBody(
      main_db_, "GetAccount error", [&] { ReadSettingRow(main_db_, record); }, false);
}

bool MetaStore::ReadSetting(SettingRecord& record) {
  bool read = false;
  return RunStoreBody(
             main_db_, "GetAccount error", [&] { read = ReadSettingRow(main_db_, record); },
             false) &&
         read;
}

bool MetaStore::UpdateSetting(const SettingRecord& record) {
  return RunStoreBody(
      main_db_, "UpdateSetting error",
      [&] {
        StoreStatement update(main_db_, "update setting set auto_login=?,auto_start=?,data_dir=?");
        update.bind(1, record.auto_login);
        update.bind(2, record.auto_start);
        update.bind(3, record.data_dir);
        update.exec();
      },
      false);
}

void MetaStore::UpdateMailTable() {
  std::vector<AccountRecord> accounts;
  {
    MetaStore store;
    store.GetAccounts(accounts);
  }
  const char* failure = "update table mail error";
  for (const AccountRecord& account : accounts) {
    std::string path = AccountDbPath(account.user);
    CppSQLite3DB db;
    db.SetBusyTimeout(kBusyTimeoutMs);
    auto open = [&] {
      // Opening would create an empty file for an account whose database
      // is gone; there is nothing to rebuild then.
      if (path.empty() || !FileExists(path))
        throw CppSQLite3Exception(SQLITE_CANTOPEN, "no account database");
      db.OpenDb(path);
    };
    auto rebuild = [&] {
      db.RunStatement(
          "CREATE TABLE mail_new(file_id INTEGER, mail_id text, name text, size int, time int, "
          "md5 text, total_size int, part int, total_part int, local_fn text, stat int )");
      db.RunStatement("insert into mail_new select * from mail;");
      db.RunStatement("drop table mail;");
      db.RunStatement("alter table mail_new rename to mail;");
    };
    if (RunStoreBody(db, failure, open, false)) RunStoreBody(db, failure, rebuild, true);
    db.CloseDb();
  }
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StoreTestEnv.h"
#include "log/CLog.h"
#include "platform/FileHelpers.h"

namespace {

using AccountsTest = StoreTestEnv;
using DataDirTest = StoreTestEnv;
using MigrationTest = StoreTestEnv;

AccountRecord Account(const std::string& user) {
  AccountRecord r;
  r.user = user;
  r.pwd = "p'w";
  r.type = 3;
  r.down_server = "imap.example.com";
  r.smtp_server = "smtp.example.com";
  r.port = 143;
  r.ssl_flag = 0;
  r.save_pwd = 1;
  return r;
}

TEST_F(DataDirTest, NoDataDirectoryMeansNoAccounts) {
  CLog* log = CLog::Instance();
  log->SetEnabled(true);
  log->SetThreshold(0);
  log->Queue().TakeAll();
  MetaStore::UpdateMailTable();
  std::vector<AccountRecord> accounts;
  {
    MetaStore store;
    EXPECT_FALSE(store.GetAccounts(accounts));  // nothing to read is reported
  }
  auto lines = log->Queue().TakeAll();
  log->SetEnabled(false);
  EXPECT_TRUE(accounts.empty());
  EXPECT_FALSE(FileExists(DataPath() + "/tandrel.db"));  // never created empty
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.front().find("LOG_ERROR 打开时失败.msg=SQLITE_CANTOPEN[14]: "),
            std::string::npos);
  bool listed = false;
  for (const auto& l : lines)
    listed |= l.find("GetAccount error.msg=CPPSQLITE_ERROR[1000]: Database not open") !=
              std::string::npos;
  EXPECT_TRUE(listed);
}

TEST_F(DataDirTest, FromCompiledSchemaWithPrivateModes) {
  Prepare();
  EXPECT_EQ(Mode(DataPath()), 0700);
  EXPECT_EQ(Mode(DataPath() + "/tandrel.db"), 0600);
  for (const char* sub : {"/log", "/update", "/temp"})
    EXPECT_TRUE(DirExists(DataPath() + sub)) << sub;
  MetaStore store;
  SettingRecord s;
  s.auto_login = 9;
  ASSERT_TRUE(store.GetSetting(s));
  EXPECT_EQ(s.auto_login, 0);
  EXPECT_EQ(s.auto_start, 0);
  EXPECT_EQ(s.data_dir, DocumentsDir() + "/");
  EXPECT_EQ(s.data_dir, tmp_.Sub("home") + "/Documents/");
  EXPECT_EQ(Scalar(DataPath() + "/tandrel.db", "select count(*) from setting"), 1);
}

TEST_F(DataDirTest, WidensNothingAnEarlierLogMade) {
  ASSERT_TRUE(MakeDir(DataPath() + "/log", 0755));
  Prepare();
  EXPECT_EQ(Mode(DataPath()), 0700);
}

TEST_F(DataDirTest, CopiesTemplateBesideProgramThenShare) {
  // A template that differs from the compiled schema, to see which was used.
  const std::string bin = tmp_.Sub("inst/bin") + "/";
  ASSERT_TRUE(MakeDir(tmp_.Sub("inst/share/tandrel")));
  ASSERT_TRUE(MakeDir(bin));
  {
    CppSQLite3DB t;
    t.OpenDb(tmp_.Sub("inst/share/tandrel/tandrel.db"));
    t.RunStatement(
        "create table account(id integer primary key, user, pwd, type, down_server, "
        "smtp_server, port, ssl_flag, is_default default 0, save_pwd)");
    t.RunStatement("create table setting(auto_login, auto_start, data_dir)");
    t.RunStatement("insert into setting values(0, 1, 'D:\\cache\\')");
  }
  ASSERT_TRUE(PrepareDataDir(bin));
  MetaStore store;
  SettingRecord s;
  store.GetSetting(s);
  EXPECT_EQ(s.auto_start, 1);
  EXPECT_EQ(s.data_dir, "D:\\cache\\");  // a set value is never changed
  EXPECT_EQ(Mode(DataPath() + "/tandrel.db"), 0600);
}

TEST_F(DataDirTest, BuiltTemplateBesideTheExecutableIsCopied) {
  const std::string templ = ProgramDir() + "tandrel.db";
  ASSERT_TRUE(FileExists(templ)) << "the build puts the template beside the tests";
  ASSERT_TRUE(PrepareDataDir());
  EXPECT_EQ(ReadFileBytes(DataPath() + "/tandrel.db").size(), ReadFileBytes(templ).size());
  EXPECT_EQ(Scalar(DataPath() + "/tandrel.db", "select count(*) from setting"), 1);
}

TEST_F(DataDirTest, ExistingDatabaseIsKeptEmptyOneReplaced) {
  Prepare();
  {
    MetaStore store;
    store.AddAccount(Account("a@x"));
  }
  Prepare();
  {
    MetaStore store;
    AccountRecord r;
    EXPECT_TRUE(store.GetAccount("a@x", r));
  }
  WriteFileBytes(DataPath() + "/tandrel.db", "");
  Prepare();
  EXPECT_EQ(Scalar(DataPath() + "/tandrel.db", "select count(*) from setting"), 1);
}

TEST_F(DataDirTest, NonDatabaseTemplateIsNotTaken) {
  const std::string bin = tmp_.Sub("bin2") + "/";
  ASSERT_TRUE(MakeDir(bin));
  WriteFileBytes(bin + "tandrel.db", "not a database");
  ASSERT_TRUE(PrepareDataDir(bin));
  EXPECT_EQ(Scalar(DataPath() + "/tandrel.db", "select count(*) from setting"), 1);
}

TEST_F(AccountsTest, AddFindAndUpdate) {
  Prepare();
  MetaStore store;
  ASSERT_TRUE(store.AddAccount(Account("o'brien@example.com")));
  ASSERT_TRUE(store.AddAccount(Account("b@example.com")));
  AccountRecord r;
  ASSERT_TRUE(store.GetAccount("o'brien@example.com", r));
  EXPECT_EQ(r.pwd, "p'w");
  EXPECT_EQ(r.type, 3);
  EXPECT_EQ(r.down_server, "imap.example.com");
  EXPECT_EQ(r.smtp_server, "");  // written, never read back
  EXPECT_EQ(r.port, 143);
  EXPECT_EQ(r.save_pwd, 1);
  EXPECT_EQ(r.is_default, 0);
  EXPECT_FALSE(store.GetAccount("O'Brien@example.com", r));
  int id1 = 0, id2 = 0;
  ASSERT_TRUE(store.GetAccountId("o'brien@example.com", id1));
  ASSERT_TRUE(store.GetAccountId("b@example.com", id2));
  EXPECT_NE(id1, id2);
  EXPECT_FALSE(store.GetAccountId("nobody", id1));

  AccountRecord changed = Account("b@example.com");
  changed.pwd = "new";
  changed.port = 993;
  EXPECT_TRUE(store.UpdateAccount(changed));
  ASSERT_TRUE(store.GetAccount("b@example.com", r));
  EXPECT_EQ(r.pwd, "new");
  EXPECT_EQ(r.port, 993);

  std::vector<AccountRecord> all;
  store.GetAccounts(all);
  EXPECT_EQ(all.size(), 2u);
}

TEST_F(AccountsTest, LoggedStatementsHidePasswords) {
  Prepare();
  CLog* log = CLog::Instance();
  log->SetEnabled(true);
  log->SetThreshold(3);
  log->Queue().TakeAll();
  {
    MetaStore store;
    AccountRecord r = Account("me@example.com");
    r.pwd = "hunter2";
    store.AddAccount(r);
    store.UpdateAccount(r);
  }
  auto lines = log->Queue().TakeAll();
  log->SetEnabled(false);
  int account_lines = 0;
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find("hunter2"), std::string::npos) << l;
    if (l.find("sql=insert into account(") != std::string::npos ||
        l.find("sql=update account set user='me@example.com',pwd='***'") != std::string::npos)
      ++account_lines;
  }
  EXPECT_EQ(account_lines, 2);
  MetaStore store;
  AccountRecord stored;
  ASSERT_TRUE(store.GetAccount("me@example.com", stored));
  EXPECT_EQ(stored.pwd, "hunter2");
}

TEST_F(AccountsTest, AddAccountMakesDatabaseAndCacheDir) {
  Prepare();
  {
    MetaStore store;
    ASSERT_TRUE(store.AddAccount(Account("me@example.com")));
  }
  EXPECT_EQ(Mode(AccountPath()), 0600);
  EXPECT_EQ(Scalar(AccountPath(),
                   "select count(*) from folder where id=1 and name='\\' and "
                   "full_name='\\' and parent_id=0 and stat=0"),
            1);
  EXPECT_EQ(Scalar(AccountPath(),
                   "select count(*) from task_folder where up_count=0 and "
                   "file_id=0 and mail_id=''"),
            1);
  // data_dir + "\Tandrel\" + user + "\", with the doubled separator.
  EXPECT_TRUE(DirExists(tmp_.Sub("home") + "/Documents/Tandrel/me@example.com"));

  // Again: refused, as the account exists; its rows stay.
  {
    MetaStore store;
    EXPECT_FALSE(store.AddAccount(Account("me@example.com")));
  }
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from folder"), 1);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from task_folder"), 1);
}

// An account name becomes a file and a folder name: one that is not a single
// path component must not put a database or a cache folder anywhere else.
TEST_F(AccountsTest, NamesThatAreNoSingleFileNameAreRefused) {
  Prepare();
  MetaStore store;
  for (const char* name : {"../x@y", "a/b@c", "..", "a\\b@c"}) {
    EXPECT_FALSE(store.AddAccount(Account(name))) << name;
    AccountRecord found;
    EXPECT_FALSE(store.GetAccount(name, found)) << name;
  }
  EXPECT_FALSE(FileExists(DataDir() + "/../x@y.db"));
  EXPECT_FALSE(DirExists(tmp_.Sub("home") + "/Documents/x@y"));
  EXPECT_FALSE(DirExists(tmp_.Sub("home") + "/Documents/Tandrel/a"));
}

TEST_F(AccountsTest, CurrentAccountSelectsItsDatabase) {
  Prepare();
  {
    MetaStore store;
    std::string user;
    EXPECT_FALSE(store.GetCurAccount(user));
    store.AddAccount(Account("a@x"));
    store.AddAccount(Account("b@x"));
    ASSERT_TRUE(store.SetCurAccount("b@x"));
    ASSERT_TRUE(store.GetCurAccount(user));
    EXPECT_EQ(user, "b@x");
    FolderRecord f;
    f.name = "only-in-b";
    f.parent_id = 1;
    ASSERT_TRUE(store.AddFolder(f));  // the same handle serves b at once
  }
  {
    MetaStore store;
    int id = 0;
    EXPECT_TRUE(store.GetFolderId("\\only-in-b\\", id));
    ASSERT_TRUE(store.SetCurAccount("a@x"));
    EXPECT_FALSE(store.GetFolderId("\\only-in-b\\", id));
    EXPECT_TRUE(store.GetFolderId("\\", id));
  }
  EXPECT_EQ(Scalar(DataPath() + "/tandrel.db", "select count(*) from account where is_default=1"),
            1);
}

TEST_F(AccountsTest, UnknownCurrentAccountLeavesNoAccountDatabase) {
  PrepareAccount();
  MetaStore store;
  ASSERT_TRUE(store.SetCurAccount("ME@example.com"));
  EXPECT_EQ(Scalar(DataPath() + "/tandrel.db", "select count(*) from account where is_default=1"),
            0);
  std::string user;
  EXPECT_FALSE(store.GetCurAccount(user));
  int id = 0;
  EXPECT_FALSE(store.GetFolderId("\\", id));
  MetaStore later;
  EXPECT_FALSE(later.GetFolderId("\\", id));
}

TEST_F(AccountsTest, Settings) {
  Prepare();
  MetaStore store;
  SettingRecord s;
  s.auto_login = 1;
  s.auto_start = 1;
  s.data_dir = "/srv/o'cache/";
  ASSERT_TRUE(store.UpdateSetting(s));
  SettingRecord read;
  ASSERT_TRUE(store.ReadSetting(read));
  EXPECT_EQ(read.auto_login, 1);
  EXPECT_EQ(read.auto_start, 1);
  EXPECT_EQ(read.data_dir, "/srv/o'cache/");
  // With no row, GetSetting leaves the record as it was and still succeeds.
  {
    CppSQLite3DB db;
    db.OpenDb(DataPath() + "/tandrel.db");
    db.RunStatement("delete from setting");
  }
  SettingRecord untouched;
  untouched.data_dir = "kept";
  EXPECT_TRUE(store.GetSetting(untouched));
  EXPECT_EQ(untouched.data_dir, "kept");
  EXPECT_FALSE(store.ReadSetting(untouched));
}

TEST_F(MigrationTest, RebuildKeepsEveryRowAndDropsOldConstraints) {
  PrepareAccount();
  {
    MetaStore store;
    store.AddAccount(Account("other@x"));
    store.AddAccount(Account("gone@x"));
  }
  ASSERT_EQ(::unlink(AccountPath("gone@x").c_str()), 0);
  {
    // An older mail table with a key, filled with parts in every state.
    CppSQLite3DB db;
    db.OpenDb(AccountPath());
    db.RunStatement("drop table mail");
    db.RunStatement(
        "create table mail(file_id INTEGER, mail_id text unique, name text, size int, "
        "time int, md5 text, total_size int, part int, total_part int, local_fn text, "
        "stat int)");
    for (int i = 0; i < 5; ++i)
      db.RunStatement("insert into mail values(" + std::to_string(i + 1) + ", 'm" +
                      std::to_string(i) + "', 'n', 1, 2, 'md5', 3, 1, 1, 'l', " +
                      std::to_string(i) + ")");
  }
  MetaStore::UpdateMailTable();
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from mail"), 5);
  EXPECT_EQ(Scalar(AccountPath(), "select sum(stat) from mail"), 0 + 1 + 2 + 3 + 4);
  EXPECT_EQ(Scalar(AccountPath(),
                   "select count(*) from mail where file_id=3 and mail_id='m2' "
                   "and name='n' and size=1 and time=2 and md5='md5' and "
                   "total_size=3 and part=1 and total_part=1 and local_fn='l'"),
            1);
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from sqlite_master where name='mail_new'"), 0);
  {
    CppSQLite3DB db;
    db.OpenDb(AccountPath());
    db.RunStatement("insert into mail(mail_id) values('m0')");  // the key is gone
  }
  EXPECT_EQ(Scalar(AccountPath("other@x"), "select count(*) from mail"), 0);
  EXPECT_FALSE(FileExists(AccountPath("gone@x")));  // not made empty
  // Run again: nothing lost the second time either.
  MetaStore::UpdateMailTable();
  EXPECT_EQ(Scalar(AccountPath(), "select count(*) from mail"), 6);
}

TEST_F(MigrationTest, BrokenAccountIsRolledBackOthersMigrate) {
  PrepareAccount("a@x");
  {
    MetaStore store;
    store.AddAccount(Account("b@x"));
  }
  {
    CppSQLite3DB db;
    db.OpenDb(AccountPath("a@x"));
    db.RunStatement("drop table mail");
    db.RunStatement("create table mail(only_one_column)");
    db.RunStatement("insert into mail values(1)");
    CppSQLite3DB b;
    b.OpenDb(AccountPath("b@x"));
    b.RunStatement("insert into mail(file_id) values(7)");
  }
  MetaStore::UpdateMailTable();
  EXPECT_EQ(Scalar(AccountPath("a@x"), "select count(*) from mail"), 1);
  EXPECT_EQ(Scalar(AccountPath("a@x"), "select count(*) from sqlite_master where name='mail_new'"),
            0);
  EXPECT_EQ(Scalar(AccountPath("b@x"), "select file_id from mail"), 7);
}

}  // namespace

#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <string>

#include "TempDir.h"
#include "platform/Locations.h"
#include "store/CppSQLite3DB.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "store/StoreStatement.h"

// A private home for one test: HOME, XDG_DATA_HOME and XDG_CONFIG_HOME point
// into a temp dir, so DataDir() and DocumentsDir() are the test's own.
class StoreTestEnv : public ::testing::Test {
 protected:
  StoreTestEnv()
      : home_("HOME", tmp_.Sub("home")),
        data_("XDG_DATA_HOME", tmp_.Sub("share")),
        config_("XDG_CONFIG_HOME", tmp_.Sub("config")) {}

  // A data directory from the compiled-in schema (no template anywhere).
  void Prepare() { ASSERT_TRUE(PrepareDataDir(tmp_.Sub("bin") + "/")); }

  // Prepare, then an account made current, as a first sign-in leaves it.
  void PrepareAccount(const std::string& user = "me@example.com") {
    Prepare();
    MetaStore store;
    AccountRecord account;
    account.user = user;
    account.pwd = "secret";
    account.down_server = "imap.example.com";
    account.port = 993;
    account.ssl_flag = 1;
    ASSERT_TRUE(store.AddAccount(account));
    ASSERT_TRUE(store.SetCurAccount(user));
  }

  std::string DataPath() const { return tmp_.Sub("share") + "/tandrel"; }
  std::string AccountPath(const std::string& user = "me@example.com") const {
    return DataPath() + "/" + user + ".db";
  }

  // One scalar from a database file, read beside the store's own handles.
  static long long Scalar(const std::string& db_path, const std::string& sql) {
    CppSQLite3DB db;
    db.OpenDb(db_path);
    StoreStatement q(db, "select (" + sql + ") as v");
    return q.executeStep() ? q.getInt64("v") : -1;
  }

  static void Exec(const std::string& db_path, const std::string& sql) {
    CppSQLite3DB db;
    db.OpenDb(db_path);
    StoreStatement(db, sql).exec();
  }

  static int Mode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 0777);
  }

  TempDir tmp_{"store"};
  ScopedEnv home_;
  ScopedEnv data_;
  ScopedEnv config_;
};

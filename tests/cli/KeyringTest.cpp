// Passwords against a real Secret Service: run by with_keyring.sh inside a
// private session bus with an unlocked gnome-keyring-daemon.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "TempDir.h"
#include "cli/AccountLogin.h"
#include "cli/AccountSecrets.h"
#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"

namespace {

constexpr const char* kUser = "keys@example.org";
constexpr const char* kPassword = "kept-secret";

AccountRecord Row(const std::string& user) {
  MetaStore store;
  AccountRecord row;
  store.GetAccount(user, row);
  return row;
}

class KeyringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run through with_keyring.sh";
    ASSERT_TRUE(PrepareDataDir());
  }
  TempDir dir_{"keyring"};
  ScopedEnv home_{"HOME", dir_.path()};
  ScopedEnv data_{"XDG_DATA_HOME", dir_.Sub("share")};
};

TEST_F(KeyringTest, MountRemembersInTheKeyringAndTheNextStartSignsInFromIt) {
  DovecotServer server;
  TANDREL_START_DOVECOT(server);
  ASSERT_TRUE(server.AddUser(kUser, kPassword));
  CliMachine machine(dir_.Sub("m"), kUser, kPassword, server.ImapPort());
  std::string port = std::to_string(server.ImapPort());
  machine.SetMountArgs({"--user", kUser, "--server", "127.0.0.1", "--port", port, "--remember"});
  ASSERT_TRUE(machine.Mount()) << machine.Output();
  EXPECT_NE(machine.Output().find("Password kept in the keyring"), std::string::npos)
      << machine.Output();
  EXPECT_EQ(SecretTool(kUser, "127.0.0.1"), kPassword);
  {
    ScopedEnv machine_data("XDG_DATA_HOME", dir_.Sub("m/share"));
    AccountRecord row = Row(kUser);
    EXPECT_EQ(row.pwd, "") << "the database keeps no password";
    EXPECT_EQ(row.save_pwd, 1);
  }
  ASSERT_EQ(machine.Terminate(), 0) << machine.Output();

  // The next start, as the user unit runs it: the current account, no
  // password given.
  machine.SetPasswordInEnv(false);
  machine.SetMountArgs({});
  ASSERT_TRUE(machine.Mount()) << machine.Output();
  ASSERT_EQ(machine.Terminate(), 0) << machine.Output();
}

TEST_F(KeyringTest, APlaintextPasswordMovesIntoTheKeyringAndForgettingClearsIt) {
  AccountRecord account = AccountLogin::Build(kUser, "old-plain", "imap.example.org", 0, false);
  ASSERT_TRUE(AccountLogin::Store(account));
  EXPECT_EQ(Row(kUser).pwd, "old-plain");
  EXPECT_EQ(AccountSecrets::MoveToKeyring(), 1);
  AccountRecord row = Row(kUser);
  EXPECT_EQ(row.pwd, "");
  EXPECT_EQ(SecretTool(kUser, "imap.example.org"), "old-plain");
  EXPECT_EQ(AccountSecrets::Recall(row), "old-plain");

  AccountSecrets::Kept kept = AccountSecrets::Kept::kKeyring;
  AccountRecord forgotten = AccountSecrets::RowFor(account, false, kept);
  EXPECT_EQ(kept, AccountSecrets::Kept::kNowhere);
  EXPECT_EQ(forgotten.pwd, "");
  EXPECT_EQ(forgotten.save_pwd, 0);
  EXPECT_EQ(SecretTool(kUser, "imap.example.org"), "");
}

TEST_F(KeyringTest, WithoutABusOnlyARememberedPasswordStaysInTheDatabaseAndTheLogSaysWhere) {
  ScopedEnv no_bus("DBUS_SESSION_BUS_ADDRESS", "");
  CLog* log = CLog::Instance();
  log->Queue().TakeAll();
  log->SetThreshold(LOG_DEBUG);
  log->SetEnabled(true);
  AccountRecord account = AccountLogin::Build(kUser, "pw", "imap.example.org", 0, false);
  AccountSecrets::Kept kept = AccountSecrets::Kept::kKeyring;
  AccountRecord row = AccountSecrets::RowFor(account, true, kept);
  EXPECT_EQ(kept, AccountSecrets::Kept::kDatabase);
  EXPECT_EQ(row.pwd, "pw");
  row = AccountSecrets::RowFor(account, false, kept);
  EXPECT_EQ(kept, AccountSecrets::Kept::kNowhere);
  EXPECT_EQ(row.pwd, "");
  EXPECT_EQ(AccountSecrets::MoveToKeyring(), 0);
  log->SetEnabled(false);
  std::string lines;
  for (const std::string& line : log->Queue().TakeAll()) lines += line + "\n";
  EXPECT_NE(lines.find("kept in " + dir_.Sub("share") + "/tandrel/tandrel.db"), std::string::npos)
      << lines;
}

// An encrypted drive's passphrase goes where the remembered password goes:
// the keyring (never the database), which the next start opens the drive from.
TEST_F(KeyringTest, AnEncryptedDrivesPassphraseIsKeptInTheKeyringWithThePassword) {
  DovecotServer server;
  TANDREL_START_DOVECOT(server);
  ASSERT_TRUE(server.AddUser(kUser, kPassword));
  CliMachine machine(dir_.Sub("m"), kUser, kPassword, server.ImapPort());
  std::string port = std::to_string(server.ImapPort());
  machine.SetMountArgs(
      {"--user", kUser, "--server", "127.0.0.1", "--port", port, "--remember", "--encrypt"});
  {
    ScopedEnv passphrase("TANDREL_PASSPHRASE", "drive-passphrase-7");
    ASSERT_TRUE(machine.Mount()) << machine.Output();
  }
  EXPECT_EQ(SecretTool(kUser, "encrypted drive on 127.0.0.1"), "drive-passphrase-7");
  ASSERT_EQ(machine.Terminate(), 0) << machine.Output();
  EXPECT_EQ(Shell("grep -rqs drive-passphrase-7 " + Quote(dir_.Sub("m"))), 1);

  machine.SetPasswordInEnv(false);
  machine.SetMountArgs({});
  ASSERT_TRUE(machine.Mount()) << machine.Output();  // no passphrase given, none asked
  ASSERT_EQ(machine.Terminate(), 0) << machine.Output();
}

}  // namespace

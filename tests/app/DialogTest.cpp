#include <gtest/gtest.h>

#include <unistd.h>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "AppTestEnv.h"
#include "DovecotServer.h"
#include "LoopbackProxy.h"
#include "TokenServer.h"
#include "app/BrowserSignIn.h"
#include "app/CSetting.h"
#include "app/CSystemTray.h"
#include "app/CUndoDlg.h"
#include "app/CtandrelDlg.h"
#include "cli/AccountLogin.h"
#include "drive/DriveSession.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/KeptFiles.h"
#include "store/MetaStore.h"
#include "sync/StatusPublisher.h"
#include "sync/SyncStatus.h"

namespace {

constexpr const char* kUser = "user@example.org";
constexpr const char* kPassword = "secret";

bool Mounted(const std::string& path) {
  std::ifstream mounts("/proc/self/mounts");
  std::string device, point;
  std::string rest;
  while (mounts >> device >> point && std::getline(mounts, rest)) {
    if (point == path) return true;
  }
  return false;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(env_.ok()); }

  void StartServer() {
    TANDREL_START_DOVECOT(server_);
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
  }
  std::string ServerText() const { return "127.0.0.1:" + std::to_string(server_.ImapPort()); }

  void Fill(CtandrelDlg& dialog, const std::string& user, const std::string& password,
            const std::string& server, bool remember, bool auto_login) {
    dialog.findChild<QComboBox*>("1009")->setEditText(QString::fromStdString(user));
    dialog.findChild<QLineEdit*>("1003")->setText(QString::fromStdString(password));
    dialog.findChild<QLineEdit*>("1004")->setText(QString::fromStdString(server));
    dialog.findChild<QCheckBox*>("1010")->setChecked(remember);
    dialog.findChild<QCheckBox*>("1007")->setChecked(auto_login);
  }
  std::string ServerField(CtandrelDlg& dialog) {
    return dialog.findChild<QLineEdit*>("1004")->text().toStdString();
  }
  void StoreAccount(const std::string& user, const std::string& password, int save_pwd) {
    AccountRecord account =
        AccountLogin::Build(user, password, "127.0.0.1", server_.ImapPort(), false);
    account.save_pwd = save_pwd;
    if (save_pwd == 0) account.pwd.clear();
    ASSERT_TRUE(AccountLogin::Store(account));
  }
  void SetAutoLogin(int on) {
    MetaStore store;
    SettingRecord setting;
    ASSERT_TRUE(store.ReadSetting(setting));
    setting.auto_login = on;
    ASSERT_TRUE(store.UpdateSetting(setting));
  }
  int AutoLogin() {
    MetaStore store;
    SettingRecord setting;
    EXPECT_TRUE(store.ReadSetting(setting));
    return setting.auto_login;
  }

  AppTestEnv env_;
  DovecotServer server_;
};

TEST_F(DialogTest, AddressCheckOnLeavingTheComboBox) {
  {
    MetaStore store;
    AccountRecord stored = AccountLogin::Build("old@example.org", "", "mail.old.org", 0, false);
    ASSERT_TRUE(store.AddAccount(stored));
  }
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, "new@example.net", "", "", false, false);
  dialog.AddressCheck();
  EXPECT_EQ(ServerField(dialog), "imap.example.net");
  Fill(dialog, "two@a.org@b.org", "", "", false, false);
  dialog.AddressCheck();
  EXPECT_EQ(ServerField(dialog), "imap.a.org@b.org");
  Fill(dialog, "old@example.org", "", "shown.server", false, false);
  dialog.AddressCheck();
  EXPECT_EQ(ServerField(dialog), "shown.server") << "a stored account keeps the server shown";
  EXPECT_TRUE(env_.messages.empty());
  for (const char* bad : {"nobody", "nobody@"}) {
    Fill(dialog, bad, "", "kept", false, false);
    dialog.AddressCheck();
    EXPECT_EQ(ServerField(dialog), "kept");
    EXPECT_EQ(dialog.findChild<QComboBox*>("1009")->currentText().toStdString(), bad);
  }
  EXPECT_EQ(env_.messages,
            (std::vector<std::string>{"邮箱地址不正确，请重新输入", "邮箱地址不正确，请重新输入"}));
  // Choosing a stored account from the list fills its server.
  auto* combo = dialog.findChild<QComboBox*>("1009");
  ASSERT_EQ(combo->count(), 1);
  dialog.AccountChosen(0);
  EXPECT_EQ(ServerField(dialog), "mail.old.org");
  dialog.Quit();
}

TEST_F(DialogTest, SslRuleDecidesPortAndSsl) {
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, "user@gmail.com", "pw", "127.0.0.1", false, false);
  dialog.SignIn();
  EXPECT_EQ(dialog.LastRecord().port, 993);
  EXPECT_EQ(dialog.LastRecord().ssl_flag, 1);
  EXPECT_EQ(dialog.SslFlag(), 1);
  Fill(dialog, "USER@GMAIL.COM", "pw", "127.0.0.1", false, false);
  dialog.SignIn();
  EXPECT_EQ(dialog.LastRecord().port, 143);
  EXPECT_EQ(dialog.LastRecord().ssl_flag, 0);
  EXPECT_EQ(dialog.SslFlag(), 0);
  EXPECT_FALSE(dialog.SessionRunning());
  dialog.Quit();
}

TEST_F(DialogTest, AWrongPasswordBringsTheWindowBackAndKeepsTheAutoLoginChoice) {
  StartServer();
  SetAutoLogin(1);
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, "wrong", ServerText(), true, false);
  dialog.SignIn();
  EXPECT_EQ(env_.messages, (std::vector<std::string>{AccountLogin::kFailedText}));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(dialog.SessionRunning());
  EXPECT_EQ(AutoLogin(), 0) << "stored before the credentials were tested";
  MetaStore store;
  AccountRecord account;
  EXPECT_FALSE(store.GetAccount(kUser, account)) << "nothing else is stored";
  dialog.Quit();
}

TEST_F(DialogTest, AnAddressThatCannotNameTheAccountsFilesIsRefusedBeforeSignIn) {
  StartServer();
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, "../evil@example.com", kPassword, ServerText(), false, false);
  dialog.SignIn();
  EXPECT_EQ(env_.messages, (std::vector<std::string>{CtandrelDlg::kBadAddressText}));
  EXPECT_FALSE(dialog.SessionRunning());
  MetaStore store;
  AccountRecord account;
  EXPECT_FALSE(store.GetAccount("../evil@example.com", account));
  dialog.Quit();
}

TEST_F(DialogTest, AutoLoginWithoutARememberedPasswordFailsAndShowsTheDialog) {
  StartServer();
  StoreAccount(kUser, "", 0);
  SetAutoLogin(1);
  CtandrelDlg dialog;
  dialog.Initialise();
  EXPECT_EQ(env_.messages, (std::vector<std::string>{AccountLogin::kFailedText}));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.findChild<QLineEdit*>("1003")->text().toStdString(), "");
  dialog.Quit();
}

TEST_F(DialogTest, AutoLoginSignsInWithoutShowingTheDialog) {
  StartServer();
  StoreAccount(kUser, kPassword, 1);
  SetAutoLogin(1);
  CtandrelDlg dialog;
  dialog.Initialise();
  EXPECT_TRUE(env_.messages.empty());
  EXPECT_TRUE(dialog.SessionRunning());
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(Mounted(env_.MountPoint()));
  dialog.Quit();
  EXPECT_FALSE(Mounted(env_.MountPoint()));
}

TEST_F(DialogTest, SignInMountsMovesTheCacheAndQuitLeavesNoMount) {
  StartServer();
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, kPassword, ServerText(), false, true);
  dialog.SignIn();
  ASSERT_TRUE(env_.messages.empty()) << env_.messages[0];
  ASSERT_TRUE(dialog.SessionRunning());
  EXPECT_FALSE(dialog.isVisible());
  ASSERT_NE(dialog.Tray(), nullptr);
  EXPECT_TRUE(dialog.Tray()->Enabled());
  EXPECT_TRUE(Mounted(env_.MountPoint()));
  {
    // "记住密码" cleared: the row keeps no password.
    MetaStore store;
    AccountRecord account;
    ASSERT_TRUE(store.GetAccount(kUser, account));
    EXPECT_EQ(account.save_pwd, 0);
    EXPECT_EQ(account.pwd, "");
    EXPECT_EQ(account.port, server_.ImapPort());
    std::string current;
    ASSERT_TRUE(store.GetCurAccount(current));
    EXPECT_EQ(current, kUser);
  }
  EXPECT_EQ(AutoLogin(), 1);

  // A file written through the drive, and the tray's commands.
  WriteFileBytes(env_.MountPoint() + "/a.txt", "hello drive");
  ASSERT_EQ(ReadFileBytes(env_.MountPoint() + "/a.txt"), "hello drive");
  dialog.TrayCommand(CSystemTray::kOpenDrive);
  dialog.TrayCommand(CSystemTray::kRegister);
  EXPECT_EQ(env_.opened,
            (std::vector<std::string>{env_.MountPoint(), "http://127.0.0.1:1/regmail.htm"}));
  dialog.Tray()->PrepareMenu();
  EXPECT_EQ(dialog.Tray()->Menu()->actions()[7]->text().toStdString(), kUser);
  dialog.OnTimer();

  // The cache moves to another folder, on another file system when there
  // is one, while the drive is mounted.
  std::string target = env_.Sub("newcache");
  TempDir shm_dir("shm");
  if (DirExists("/dev/shm")) {
    ScopedEnv tmp("TMPDIR", "/dev/shm");
    target = TempDir("cache").path();  // removed at once: only its name is wanted
  }
  env_.chosen_folder = target;
  std::string old_file = env_.Documents() + "/Tandrel/" + kUser + "/a.txt";
  ASSERT_TRUE(FileExists(old_file));
  dialog.run_settings = [](CSetting& settings) {
    settings.Change();
    settings.Accept();
  };
  dialog.Tray()->Menu()->actions()[15]->trigger();
  ASSERT_TRUE(env_.messages.empty()) << env_.messages[0];
  EXPECT_FALSE(FileExists(old_file));
  EXPECT_EQ(ReadFileBytes(target + "/Tandrel/" + kUser + "/a.txt"), "hello drive");
  {
    MetaStore store;
    SettingRecord setting;
    ASSERT_TRUE(store.ReadSetting(setting));
    EXPECT_EQ(setting.data_dir, target);
  }
  ASSERT_TRUE(dialog.SessionRunning());
  EXPECT_TRUE(Mounted(env_.MountPoint()));
  EXPECT_EQ(ReadFileBytes(env_.MountPoint() + "/a.txt"), "hello drive");
  WriteFileBytes(env_.MountPoint() + "/b.txt", "after the move");
  EXPECT_EQ(ReadFileBytes(target + "/Tandrel/" + kUser + "/b.txt"), "after the move");

  // "退出" (quit anyway, should b.txt still be waiting): the drive is
  // unmounted and the dialog closed.
  env_.answer_yes = true;
  dialog.Tray()->Menu()->actions()[17]->trigger();
  EXPECT_FALSE(dialog.SessionRunning());
  EXPECT_FALSE(Mounted(env_.MountPoint()));
  std::error_code ec;
  std::filesystem::remove_all(target, ec);
}

}  // namespace

namespace {

// Waits for a condition of the drive, with a deadline.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST_F(DialogTest, OfflineStartServesTheCacheAndExitWithUploadsPendingAsksFirst) {
  StartServer();
  {
    CtandrelDlg dialog;
    dialog.Initialise();
    Fill(dialog, kUser, kPassword, ServerText(), false, false);
    dialog.SignIn();
    ASSERT_TRUE(dialog.SessionRunning());
    WriteFileBytes(env_.MountPoint() + "/cached.txt", "kept here");
    ASSERT_TRUE(Eventually([] { return StatusPublisher::PendingUploads(kUser) == 0; }, 60000));
    dialog.Quit();
  }
  server_.Stop();

  // A known account whose server is out of reach starts from its cache.
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, kPassword, ServerText(), false, false);
  dialog.SignIn();
  ASSERT_TRUE(env_.messages.empty()) << env_.messages[0];
  ASSERT_TRUE(dialog.SessionRunning());
  EXPECT_EQ(ReadFileBytes(env_.MountPoint() + "/cached.txt"), "kept here");
  WriteFileBytes(env_.MountPoint() + "/new.txt", "waits for the server");

  // 退出 with an upload pending asks; "wait" keeps the session.
  // cached.txt may still wait too: the kernel's release, which records it,
  // can come after the first session's count said nothing waits.
  ASSERT_TRUE(Eventually([] { return StatusPublisher::PendingUploads(kUser) >= 1; }));
  const int pending = StatusPublisher::PendingUploads(kUser);
  dialog.TrayCommand(CSystemTray::kExit);
  ASSERT_EQ(env_.questions.size(), 1u);
  EXPECT_NE(env_.questions[0].find("还有 " + std::to_string(pending) + " 个文件尚未上传"),
            std::string::npos)
      << env_.questions[0];
  EXPECT_TRUE(dialog.SessionRunning());
  EXPECT_TRUE(Mounted(env_.MountPoint()));
  env_.answer_yes = true;
  dialog.TrayCommand(CSystemTray::kExit);
  EXPECT_EQ(env_.questions.size(), 2u);
  EXPECT_FALSE(dialog.SessionRunning());
  EXPECT_FALSE(Mounted(env_.MountPoint()));
}

TEST_F(DialogTest, AnUnknownAccountWithoutItsServerStillFails) {
  StartServer();
  std::string server = ServerText();
  server_.Stop();
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, kPassword, server, false, false);
  dialog.SignIn();
  EXPECT_FALSE(dialog.SessionRunning());
  ASSERT_EQ(env_.messages.size(), 1u);
  EXPECT_EQ(env_.messages[0], AccountLogin::kFailedText);
}

TEST_F(DialogTest, ExitWithNothingPendingAsksNothing) {
  StartServer();
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, kPassword, ServerText(), false, false);
  dialog.SignIn();
  ASSERT_TRUE(dialog.SessionRunning());
  WriteFileBytes(env_.MountPoint() + "/up.txt", "goes up");
  ASSERT_TRUE(Eventually([] { return StatusPublisher::PendingUploads(kUser) == 0; }, 60000));
  dialog.TrayCommand(CSystemTray::kExit);
  EXPECT_TRUE(env_.questions.empty());
  EXPECT_FALSE(dialog.SessionRunning());
}

// The first sign-in offers encryption; a later one asks the passphrase, and
// a wrong one brings the window back with nothing mounted.
TEST_F(DialogTest, TheFirstSignInMakesAnEncryptedDriveAndLaterOnesAskItsPassphrase) {
  StartServer();
  {
    CtandrelDlg dialog;
    dialog.Initialise();
    Fill(dialog, kUser, kPassword, ServerText(), false, false);
    env_.secrets = {"drive pass", "drive pass"};
    dialog.SignIn();
    ASSERT_TRUE(dialog.SessionRunning());
    EXPECT_EQ(env_.secret_asks, (std::vector<std::string>{CtandrelDlg::kNewDriveText,
                                                          CtandrelDlg::kPassphraseAgainText}));
    WriteFileBytes(env_.MountPoint() + "/plan.txt", "sealed words");
    ASSERT_TRUE(Eventually([] { return StatusPublisher::PendingUploads(kUser) == 0; }, 60000));
    dialog.Quit();
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(server_.MailDir())) {
    if (!entry.is_regular_file()) continue;
    std::string bytes = ReadFileBytes(entry.path().string());
    EXPECT_EQ(bytes.find("sealed words"), std::string::npos) << entry.path();
    EXPECT_EQ(bytes.find("plan.txt"), std::string::npos) << entry.path();
  }

  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, kPassword, ServerText(), false, false);
  env_.secrets = {"wrong pass"};
  dialog.SignIn();
  EXPECT_FALSE(dialog.SessionRunning());
  EXPECT_TRUE(dialog.isVisible());
  ASSERT_FALSE(env_.messages.empty());
  EXPECT_EQ(env_.messages.back(), CtandrelDlg::kWrongPassphraseText);
  EXPECT_EQ(env_.secret_asks.back(), CtandrelDlg::kPassphraseText);
  env_.secrets = {"drive pass"};
  dialog.SignIn();
  ASSERT_TRUE(dialog.SessionRunning());
  EXPECT_EQ(ReadFileBytes(env_.MountPoint() + "/plan.txt"), "sealed words");
  dialog.Quit();
}

// The tray's trash and versions window: a deleted file is listed and
// restored, and an earlier content of an edited one comes back.
TEST_F(DialogTest, TheUndoWindowRestoresADeletedFileAndAnEarlierVersion) {
  StartServer();
  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, kUser, kPassword, ServerText(), false, false);
  dialog.SignIn();
  ASSERT_TRUE(dialog.SessionRunning());
  const std::string file = env_.MountPoint() + "/note.txt";
  WriteFileBytes(file, "first words");
  ASSERT_TRUE(Eventually([] { return StatusPublisher::PendingUploads(kUser) == 0; }, 60000));
  ASSERT_EQ(::unlink(file.c_str()), 0);
  auto kept = [] {
    std::vector<KeptRecord> rows;
    KeptFiles(DataDir(), kUser).List(rows);
    return rows.size();
  };
  ASSERT_TRUE(Eventually([&] { return kept() == 1; }));
  dialog.run_undo = [](CUndoDlg& window) {
    ASSERT_EQ(window.Trash()->topLevelItemCount(), 1);
    EXPECT_EQ(window.Trash()->topLevelItem(0)->text(0).toStdString(), "/note.txt");
    window.Trash()->setCurrentItem(window.Trash()->topLevelItem(0));
    window.RestoreChosen();
  };
  dialog.TrayCommand(CSystemTray::kUndo);
  ASSERT_FALSE(env_.messages.empty());
  EXPECT_EQ(env_.messages.back(), CUndoDlg::kAskedText);
  ASSERT_TRUE(Eventually([&] { return ReadFileBytes(file) == "first words"; }, 60000));

  WriteFileBytes(file, "second words");
  ASSERT_TRUE(Eventually([&] { return kept() == 1; }, 60000));  // the first, as a version
  dialog.run_undo = [](CUndoDlg& window) {
    window.FileField()->setText("/note.txt");
    window.ShowVersions();
    ASSERT_EQ(window.Versions()->topLevelItemCount(), 1);
    window.Versions()->setCurrentItem(window.Versions()->topLevelItem(0));
    window.RestoreVersion();
  };
  dialog.TrayCommand(CSystemTray::kUndo);
  EXPECT_TRUE(Eventually([&] { return ReadFileBytes(file) == "first words"; }, 60000));
  dialog.Quit();
}

// An Outlook address signs in through the browser (its provider's client in
// the configuration folder; here the private token server). Without a
// keyring the sign-in lasts for the session, and the user is told. A grant
// the provider revokes turns the tray's "sign in again" on; the new sign-in
// lets the waiting upload go.
TEST_F(DialogTest, AnOutlookAddressSignsInThroughTheBrowserAndAgainWhenTheGrantIsRevoked) {
  const std::string user = "me@outlook.com";
  TokenServer tokens;
  ASSERT_TRUE(tokens.Start()) << tokens.Error();
  DovecotServer::Options options;
  options.oauth2_url = tokens.IntrospectionUrl();
  DovecotServer server(options);
  TANDREL_START_DOVECOT(server);
  ASSERT_TRUE(server.AddUser(user, "unused"));
  LoopbackProxy proxy(server.ImapPort());
  ASSERT_TRUE(proxy.Start());
  std::filesystem::create_directories(ConfigDir());
  WriteFileBytes(ConfigDir() + "/oauth-microsoft.json", tokens.Provider().ToJson());
  ScopedEnv browser("TANDREL_BROWSER", "/usr/bin/curl -s -L -o /dev/null --max-time 30");

  CtandrelDlg dialog;
  dialog.Initialise();
  Fill(dialog, user, "", "127.0.0.1:" + std::to_string(proxy.Port()), false, false);
  EXPECT_FALSE(dialog.findChild<QCheckBox*>("1013")->isHidden());
  EXPECT_FALSE(dialog.findChild<QLineEdit*>("1003")->isEnabled());
  dialog.SignIn();
  ASSERT_TRUE(dialog.SessionRunning()) << (env_.messages.empty() ? "" : env_.messages.back());
  EXPECT_EQ(env_.messages, (std::vector<std::string>{BrowserSignIn::kSessionOnlyText}));
  WriteFileBytes(env_.MountPoint() + "/first.txt", "by browser");
  ASSERT_TRUE(Eventually([&] { return StatusPublisher::PendingUploads(user) == 0; }, 30000));

  tokens.RevokeAll();
  proxy.Cut();
  proxy.Restore();
  WriteFileBytes(env_.MountPoint() + "/later.txt", "after the revocation");
  ASSERT_TRUE(
      Eventually([] { return SyncStatus::SignInNeeded(SyncStatus::Instance().Take()); }, 30000));
  dialog.OnTimer();
  QAction* again = dialog.Tray()->Menu()->actions()[13];
  EXPECT_TRUE(again->isEnabled());
  EXPECT_EQ(StatusPublisher::PendingUploads(user), 1);
  again->trigger();
  ASSERT_TRUE(Eventually([&] { return StatusPublisher::PendingUploads(user) == 0; }, 30000));
  EXPECT_FALSE(SyncStatus::SignInNeeded(SyncStatus::Instance().Take()));
  dialog.Quit();
}

}  // namespace

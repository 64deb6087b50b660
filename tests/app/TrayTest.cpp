#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <ctime>
#include <string>

#include "AppTestEnv.h"
#include "app/AutoStart.h"
#include "app/CAboutDlg.h"
#include "app/CHyperLink.h"
#include "app/CSetting.h"
#include "app/DriveChoices.h"
#include "platform/Locations.h"
#include "store/MailboxQueries.h"
#include "store/CachePolicy.h"
#include "store/HeldDeletions.h"
#include "app/CSystemTray.h"
#include "app/CtandrelDlg.h"
#include "app/OpenerErrors.h"
#include "app/UiHooks.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

namespace {

TEST(TrayTest, MenuItemsInOrderWithTheAccountGreyed) {
  AppTestEnv env;
  std::vector<int> chosen;
  CSystemTray tray(
      QIcon(), [] { return std::string("me@example.org"); },
      [&](int command) { chosen.push_back(command); });
  ASSERT_TRUE(tray.Enabled());
  std::vector<std::string> texts;
  for (QAction* action : tray.Menu()->actions())
    texts.push_back(action->isSeparator() ? "-" : action->text().toStdString());
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "已同步", "-", "打开Tandrel", "打开官方网站", "-", "注册免费邮箱", "-",
                       "当前帐户", "-", "固定文件夹到本机…", "取消固定文件夹…", "处理暂停的删除…",
                       "回收站与历史版本…", "重新登录…", "-", "设置", "-", "退出"}));
  tray.PrepareMenu();
  QAction* account = tray.Menu()->actions()[7];
  EXPECT_EQ(account->text().toStdString(), "me@example.org");
  EXPECT_FALSE(account->isEnabled());
  account->trigger();
  EXPECT_TRUE(chosen.empty()) << "the account item does nothing";
  EXPECT_FALSE(tray.Menu()->actions()[0]->isEnabled());
  tray.Menu()->actions()[0]->trigger();
  EXPECT_FALSE(tray.Menu()->actions()[11]->isEnabled()) << "no deletions wait";
  tray.Menu()->actions()[9]->trigger();
  tray.Menu()->actions()[12]->trigger();
  EXPECT_FALSE(tray.Menu()->actions()[13]->isEnabled()) << "no new sign-in is asked for";
  tray.Menu()->actions()[15]->trigger();
  tray.Menu()->actions()[17]->trigger();
  EXPECT_EQ(chosen, (std::vector<int>{CSystemTray::kPin, CSystemTray::kUndo, CSystemTray::kSettings,
                                      CSystemTray::kExit}));
  EXPECT_EQ(tray.Tooltip(), "Tandrel");
}

TEST(TrayTest, TooltipShowsBothTransfersAndIsCut) {
  AppTestEnv env;
  CSystemTray tray(
      QIcon(), [] { return std::string(); }, [](int) {});
  TransferProgress* progress = TransferProgress::Instance();
  progress->BeginDownload("a.bin(第2部分)", 100);
  progress->AddDownloaded(50);
  progress->BeginUpload("b.txt", 10);
  tray.SetTooltip(progress->StatusText());
  EXPECT_EQ(tray.Tooltip().find("正在下载 a.bin(第2部分), 50% "), 0u) << tray.Tooltip();
  size_t upload = tray.Tooltip().find("\r\n正在上传 b.txt, 0% ");
  EXPECT_NE(upload, std::string::npos) << tray.Tooltip();
  progress->ClearDownload();
  progress->ClearUpload();
  tray.SetTooltip(progress->StatusText());
  EXPECT_EQ(tray.Tooltip(), "");

  std::string long_text;
  for (int i = 0; i < 60; ++i) long_text += "正";  // 3 bytes each
  tray.SetTooltip(long_text);
  EXPECT_EQ(tray.Tooltip().size(), 126u) << "cut before a character that would pass 127 bytes";
  EXPECT_EQ(tray.Tooltip(), long_text.substr(0, 126));
  EXPECT_EQ(CSystemTray::CutTooltip(std::string(200, 'x')).size(), 127u);
}

// The status fed as the engine would: state line, badge and notices that come
// once per occurrence.
TEST(TrayTest, StatusLineIconStatesAndNoticesOncePerOccurrence) {
  AppTestEnv env;
  std::vector<std::string>& told = env.notices;
  QPixmap base(32, 32);
  base.fill(Qt::white);
  CSystemTray tray(
      QIcon(base), [] { return std::string(); }, [](int) {});
  SyncStatus status;
  std::time_t t = 1000;
  auto show = [&](const std::string& transfers = "") {
    tray.ShowStatus(status.Take(), transfers, t);
  };
  auto corner = [&] { return tray.Icon().pixmap(32, 32).toImage().pixelColor(24, 24); };
  QAction* line = tray.Menu()->actions()[0];

  show();
  EXPECT_EQ(line->text().toStdString(), "已同步");
  EXPECT_EQ(tray.Tooltip(), "已同步");
  EXPECT_EQ(tray.Badge(), TrayStatus::Badge::kNone);
  EXPECT_EQ(corner(), QColor(Qt::white));

  status.NoteOnline();
  status.SetPending(2, 1, 3 * 1024 * 1024 / 2);
  show("正在上传 b.txt, 0% ");
  EXPECT_EQ(line->text().toStdString(), "正在同步 3 个文件，剩余 1.5 MB");
  EXPECT_EQ(tray.Tooltip(), "正在同步 3 个文件，剩余 1.5 MB\r\n正在上传 b.txt, 0% ");
  EXPECT_EQ(tray.Badge(), TrayStatus::Badge::kSyncing);
  EXPECT_GT(corner().blue(), corner().red());

  status.NoteOffline("connect refused");
  show();
  EXPECT_EQ(line->text().toStdString(), "离线：无法连接服务器，更改已保存在本地");
  EXPECT_EQ(tray.Badge(), TrayStatus::Badge::kOffline);
  EXPECT_TRUE(told.empty()) << "going offline is no notice";

  // A full mailbox: told once while it lasts, again when it comes back.
  status.NoteOnline();
  status.NoteQuotaFull(true);
  for (int i = 0; i < 3; ++i) show();
  EXPECT_EQ(line->text().toStdString(), "邮箱已满（配额）：上传等待可用空间");
  EXPECT_EQ(tray.Badge(), TrayStatus::Badge::kError);
  EXPECT_GT(corner().red(), corner().blue());
  status.NoteQuotaFull(false);
  show();
  status.NoteQuotaFull(true);
  show();
  status.NoteQuotaFull(false);
  EXPECT_EQ(told, (std::vector<std::string>(
                      2, "邮箱已满|文件已保存在本地，邮箱有可用空间后将自动上传。")));
  told.clear();

  // Conflict copies: each new one told once.
  status.NoteConflictCopies(2);
  show();
  show();
  status.NoteConflictCopies(1);
  show();
  EXPECT_EQ(told, (std::vector<std::string>{"已生成冲突副本|2 个文件因重名另存为冲突副本。",
                                            "已生成冲突副本|1 个文件因重名另存为冲突副本。"}));
  told.clear();

  // An error: shown at once, told only once it has lasted a minute.
  status.SetPending(0, 0, 0);
  status.NoteError("NO [LIMIT] too big");
  show();
  EXPECT_EQ(line->text().toStdString(), "错误：NO [LIMIT] too big");
  t += TrayStatus::kErrorNoticeAfter - 1;
  show();
  EXPECT_TRUE(told.empty());
  for (int i = 0; i < 3; ++i, t += 30) show();
  EXPECT_EQ(told,
            (std::vector<std::string>{"同步出错|同步错误已持续超过一分钟：NO [LIMIT] too big"}));
  status.NoteOnline();  // the next attempt went through
  show();
  EXPECT_EQ(tray.Badge(), TrayStatus::Badge::kNone);
  status.NoteError("again");
  show();
  t += TrayStatus::kErrorNoticeAfter;
  show();
  EXPECT_EQ(told.size(), 2u) << "a new occurrence is told again";

  // A new sign-in asked for: told at once, once, and the menu offers it.
  told.clear();
  QAction* sign_in = tray.Menu()->actions()[13];
  status.NoteError(SyncStatus::kSignInAgain);
  for (int i = 0; i < 3; ++i, t += TrayStatus::kErrorNoticeAfter) show();
  EXPECT_EQ(line->text().toStdString(), "错误：需要重新登录");
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].rfind("需要重新登录|", 0), 0u) << told[0];
  EXPECT_TRUE(sign_in->isEnabled());
  status.NoteOnline();
  show();
  EXPECT_FALSE(sign_in->isEnabled());
}

TEST(TrayTest, WithoutASystemTrayNoIconAndNoTooltip) {
  AppTestEnv env;
  UiHooks::Get().tray_available = [] { return false; };
  CSystemTray tray(
      QIcon(), [] { return std::string(); }, [](int) {});
  EXPECT_FALSE(tray.Enabled());
  tray.SetTooltip("x");
  EXPECT_EQ(tray.Tooltip(), "");
}

TEST(HyperLinkTest, OpensItsAddressAndReportsAFailure) {
  AppTestEnv env;
  CHyperLink link(QStringLiteral("注册免费邮箱"));
  link.SetUrl("http://h/regmail.htm");
  EXPECT_EQ(link.toolTip().toStdString(), "http://h/regmail.htm");
  EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(link.Colour(), CHyperLink::kLinkColour);
  env.open_fails = true;
  link.Open();
  ASSERT_EQ(env.messages.size(), 1u);
  EXPECT_EQ(env.messages[0], "Unable to open hyperlink:\n\nno opener");
  EXPECT_FALSE(link.Visited());
  env.open_fails = false;
  link.Open();
  EXPECT_EQ(env.opened, (std::vector<std::string>{"http://h/regmail.htm", "http://h/regmail.htm"}));
  EXPECT_TRUE(link.Visited());
  EXPECT_EQ(link.Colour(), CHyperLink::kVisitedColour);
  EXPECT_EQ(OpenerErrors::Reason(9), "Unknown Error (9) occurred.");
}

TEST(DialogLayoutTest, ControlsTextsAndTheAboutItem) {
  AppTestEnv env;
  CtandrelDlg dialog;
  dialog.Initialise();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Tandrel【Tandrel】");
  auto* ssl = dialog.findChild<QCheckBox*>("1011");
  ASSERT_NE(ssl, nullptr);
  EXPECT_TRUE(ssl->isHidden());
  EXPECT_EQ(dialog.findChild<QCheckBox*>("1010")->text().toStdString(), "记住密码");
  EXPECT_EQ(dialog.findChild<QCheckBox*>("1007")->text().toStdString(), "自动登录");
  EXPECT_EQ(dialog.findChild<QPushButton*>("1000")->text().toStdString(), "登录");
  EXPECT_EQ(dialog.findChild<QLineEdit*>("1003")->echoMode(), QLineEdit::Password);
  // Positions keep the layout's proportions: the server field below the
  // password field, the button below both.
  QWidget* address = dialog.findChild<QWidget*>("1009");
  QWidget* password = dialog.findChild<QWidget*>("1003");
  QWidget* server = dialog.findChild<QWidget*>("1004");
  EXPECT_LT(address->y(), password->y());
  EXPECT_LT(password->y(), server->y());
  EXPECT_EQ(address->x(), password->x());
  EXPECT_EQ(password->nextInFocusChain(), server);
  EXPECT_EQ(dialog.RegisterLink()->Url(), "http://127.0.0.1:1/regmail.htm");
  EXPECT_TRUE(dialog.RegisterLink()->font().underline());
  ASSERT_EQ(dialog.ContextMenu()->actions().size(), 1);
  EXPECT_EQ(dialog.ContextMenu()->actions()[0]->text().toStdString(), "关于 Tandrel(&A)...");

  CAboutDlg about;
  EXPECT_EQ(about.windowTitle().toStdString(), "关于 tandrel");
  EXPECT_EQ(about.findChild<QLabel*>("version")->text().toStdString(), "tandrel，1.0 版");
  dialog.Quit();
}

TEST(SettingsTest, AcceptWithoutChangeMovesNothingAndAutoStartComesAndGoes) {
  AppTestEnv env;
  ASSERT_TRUE(env.ok());
  std::string cached = env.Documents() + "/Tandrel/u@x/a.txt";
  MakeDir(env.Documents() + "/Tandrel/u@x");
  WriteFileBytes(cached, "a");
  int pauses = 0;
  CSetting::Session session{[&] { ++pauses; }, [] {}, ""};
  {
    CSetting dialog("/opt/tandrel/bin/tandrel", session);
    EXPECT_EQ(dialog.windowTitle().toStdString(), "系统设置");
    EXPECT_EQ(dialog.CacheText(), env.Documents() + "/");
    dialog.AutoStartBox()->setChecked(true);
    dialog.AutoLoginBox()->setChecked(true);
    dialog.Accept();
  }
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(ReadFileBytes(cached), "a");
  EXPECT_EQ(ReadFileBytes(AutoStart::EntryPath()),
            "[Desktop Entry]\nType=Application\nName=Tandrel\nExec=/opt/tandrel/bin/tandrel "
            "start\nIcon=tandrel\nX-GNOME-Autostart-enabled=true\n");
  EXPECT_EQ(AutoStart::EntryPath(), env.Sub("config") + "/autostart/tandrel.desktop");
  {
    MetaStore store;
    SettingRecord setting;
    ASSERT_TRUE(store.ReadSetting(setting));
    EXPECT_EQ(setting.auto_start, 1);
    EXPECT_EQ(setting.auto_login, 1);
  }
  {
    // The same folder chosen again moves nothing either.
    env.chosen_folder = env.Documents();
    CSetting dialog("/opt/tandrel/bin/tandrel", session);
    EXPECT_TRUE(dialog.AutoStartBox()->isChecked());
    dialog.Change();
    dialog.AutoStartBox()->setChecked(false);
    dialog.Accept();
  }
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(ReadFileBytes(cached), "a");
  EXPECT_FALSE(AutoStart::IsOn());
  EXPECT_TRUE(AutoStart::Set(false, "x")) << "removing an absent entry is harmless";
  EXPECT_NE(
      AutoStart::EntryText("/opt/my apps/tandrel").find("\nExec=\"/opt/my apps/tandrel\" start\n"),
      std::string::npos);
}

// An account with its own records, as a sign-in leaves it.
bool AddAccount(const std::string& user) {
  AccountRecord account;
  account.user = user;
  return MetaStore().AddAccount(account) && MailboxQueries(DataDir(), user).Migrate();
}

TEST(SettingsTest, OnDemandAndItsLimitAreKeptWithTheAccount) {
  AppTestEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_TRUE(AddAccount("u@x"));
  CSetting::Session session{[] {}, [] {}, "u@x"};
  {
    CSetting dialog("/usr/bin/tandrel", session);
    EXPECT_FALSE(dialog.OnDemandBox()->isChecked());
    EXPECT_FALSE(dialog.LimitEdit()->isEnabled());
    dialog.OnDemandBox()->setChecked(true);
    dialog.LimitEdit()->setText("lots");
    dialog.Accept();  // refused: the dialog stays
    EXPECT_EQ(env.messages, (std::vector<std::string>{CSetting::kLimitInvalidText}));
    dialog.LimitEdit()->setText("1536M");
    dialog.Accept();
  }
  int64_t limit = 0;
  ASSERT_TRUE(CachePolicy(DataDir(), "u@x").ReadLimit(limit));
  EXPECT_EQ(limit, 1536LL << 20);
  {
    CSetting dialog("/usr/bin/tandrel", session);
    EXPECT_TRUE(dialog.OnDemandBox()->isChecked());
    EXPECT_EQ(dialog.LimitEdit()->text().toStdString(), "1536M");
    dialog.OnDemandBox()->setChecked(false);
    dialog.Accept();
  }
  ASSERT_TRUE(CachePolicy(DataDir(), "u@x").ReadLimit(limit));
  EXPECT_EQ(limit, 0);
  // Without a signed-in account there is nothing to choose.
  CSetting none("/usr/bin/tandrel", CSetting::Session{});
  EXPECT_FALSE(none.OnDemandBox()->isEnabled());
}

// From the tray: a folder of the drive is pinned and unpinned, one outside
// is refused; held deletions wait for a button, and a closed box decides
// nothing.
TEST(DriveChoicesTest, PinsFoldersOfTheDriveAndAnswersHeldDeletions) {
  AppTestEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_TRUE(AddAccount("u@x"));
  const std::string mnt = env.MountPoint();
  EXPECT_EQ(DrivePathUnder(mnt + "/docs//old/", mnt + "/"), "\\docs\\old");
  EXPECT_EQ(DrivePathUnder(mnt, mnt), "\\");
  EXPECT_EQ(DrivePathUnder(mnt + "2/docs", mnt), "");
  DriveChoices choices(DataDir(), "u@x", mnt);
  std::vector<std::string> pins;
  env.chosen_folder = mnt + "/docs";
  EXPECT_TRUE(choices.ChoosePin(nullptr, true));
  ASSERT_TRUE(CachePolicy(DataDir(), "u@x").Pins(pins));
  EXPECT_EQ(pins, (std::vector<std::string>{"\\docs"}));
  env.chosen_folder = env.Sub("elsewhere");
  EXPECT_FALSE(choices.ChoosePin(nullptr, true));
  env.chosen_folder = mnt + "/docs";
  EXPECT_TRUE(choices.ChoosePin(nullptr, false));
  ASSERT_TRUE(CachePolicy(DataDir(), "u@x").Pins(pins));
  EXPECT_TRUE(pins.empty());

  EXPECT_FALSE(choices.AnswerDeletions(nullptr));  // nothing held: said so
  HeldDeletions held(DataDir(), "u@x");
  ASSERT_TRUE(held.Hold("60 files vanished from the mailbox", {{"\\a\\f1", 3}}));
  HeldDeletions::State state;
  EXPECT_FALSE(choices.AnswerDeletions(nullptr));
  ASSERT_TRUE(held.Read(state));
  EXPECT_EQ(state.decision, HeldDeletions::Decision::kNone);
  env.choice = 0;
  EXPECT_TRUE(choices.AnswerDeletions(nullptr));
  ASSERT_TRUE(held.Read(state));
  EXPECT_EQ(state.decision, HeldDeletions::Decision::kKeep);
  ASSERT_EQ(env.questions.size(), 2u);
  EXPECT_NE(env.questions[1].find("a/f1"), std::string::npos) << env.questions[1];
  EXPECT_EQ(env.messages.size(), 4u);  // pinned, refused, unpinned, nothing held
}

TEST(SettingsTest, AFailedMoveKeepsTheOldFolderAndSaysSo) {
  AppTestEnv env;
  ASSERT_TRUE(env.ok());
  MakeDir(env.Documents() + "/Tandrel/u@x");
  WriteFileBytes(env.Documents() + "/Tandrel/u@x/a.txt", "a");
  // The new place already holds a "Tandrel" folder with content: the move
  // cannot replace it.
  std::string target = env.Sub("taken");
  MakeDir(target + "/Tandrel/other");
  WriteFileBytes(target + "/Tandrel/other/b.txt", "b");
  env.chosen_folder = target;
  int pauses = 0, resumes = 0;
  {
    CSetting dialog("/usr/bin/tandrel", CSetting::Session{[&] { ++pauses; }, [&] { ++resumes; }, ""});
    dialog.Change();
    EXPECT_EQ(dialog.CacheText(), target);
    dialog.Accept();
  }
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(env.messages, (std::vector<std::string>{CSetting::kMoveFailedText}));
  EXPECT_EQ(ReadFileBytes(env.Documents() + "/Tandrel/u@x/a.txt"), "a");
  EXPECT_EQ(ReadFileBytes(target + "/Tandrel/other/b.txt"), "b");
  MetaStore store;
  SettingRecord setting;
  ASSERT_TRUE(store.ReadSetting(setting));
  EXPECT_EQ(setting.data_dir, env.Documents() + "/");
}

}  // namespace

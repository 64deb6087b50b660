#include "app/CtandrelDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/BrowserSignIn.h"
#include "app/CAboutDlg.h"
#include "app/CHyperLink.h"
#include "app/CSetting.h"
#include "app/CSystemTray.h"
#include "app/CUndoDlg.h"
#include "app/DialogUnits.h"
#include "app/DriveChoices.h"
#include "app/UiHooks.h"
#include "app/UpdaterHandOff.h"
#include "app/WebPing.h"
#include "cli/AccountLogin.h"
#include "cli/AccountSecrets.h"
#include "cli/DriveUnlock.h"
#include "cli/MountCommand.h"
#include "cli/OAuthSignIn.h"
#include "drive/DriveSession.h"
#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "sync/StatusPublisher.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

// The icons live in the library's resources, which a static link would drop
// unless they are referenced.
static void InitAppResources() { Q_INIT_RESOURCE(app); }

namespace {

QLabel* AddLabel(QWidget* parent, const DialogUnits& du, const char* text, int x, int y, int w,
                 int h) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setGeometry(du.Rect(x, y, w, h));
  return label;
}

void AddSeparator(QWidget* parent, const DialogUnits& du, int x, int y, int w) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  line->setGeometry(du.X(x), du.Y(y), du.X(w), 2);
}

QCheckBox* AddCheck(QWidget* parent, const DialogUnits& du, int id, const char* text, int x, int y,
                    int w, int h) {
  auto* box = new QCheckBox(QString::fromUtf8(text), parent);
  box->setObjectName(QString::number(id));
  QRect r = du.Rect(x, y, w, h);
  box->setGeometry(r.x(), r.y(), std::max(r.width(), box->sizeHint().width()), r.height());
  return box;
}

}  // namespace

CtandrelDlg::CtandrelDlg(QWidget* parent) : QDialog(parent) {
  InitAppResources();
  icon_ = QIcon(QStringLiteral(":/tandrel/tandrel.png"));
  Build();
}

CtandrelDlg::~CtandrelDlg() {
  // The children go after this destructor, and their focus moving as they
  // go must not call back into a dialog that is no longer one.
  QObject::disconnect(focus_watch_);
  StopSession();
}

void CtandrelDlg::Build() {
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowIcon(icon_);
  DialogUnits du(font());
  setFixedSize(du.X(206), du.Y(133));

  AddLabel(this, du, "本软件支持163、QQ、新浪、搜狐、GMAIL等邮箱，使用前请先开通邮箱的IMAP服务", 20,
           10, 165, 16)
      ->setWordWrap(true);
  AddSeparator(this, du, 7, 31, 192);
  AddLabel(this, du, "邮箱地址：", 17, 39, 35, 8);
  AddLabel(this, du, "邮箱密码：", 17, 57, 35, 8);
  AddLabel(this, du, "IMAP服务器：", 8, 77, 44, 8);
  AddSeparator(this, du, 7, 105, 192);

  // The combo box's 52 units include its drop-down list; the field itself
  // is as high as an edit.
  address_ = new QComboBox(this);
  address_->setObjectName(QString::number(kAddress));
  address_->setEditable(true);
  address_->setInsertPolicy(QComboBox::NoInsert);
  address_->setMaxVisibleItems(6);
  address_->setGeometry(du.Rect(52, 36, 147, 14));
  password_ = new QLineEdit(this);
  password_->setObjectName(QString::number(kPassword));
  password_->setEchoMode(QLineEdit::Password);
  password_->setGeometry(du.Rect(52, 54, 147, 14));
  server_ = new QLineEdit(this);
  server_->setObjectName(QString::number(kServer));
  server_->setGeometry(du.Rect(52, 74, 147, 14));
  ssl_box_ = AddCheck(this, du, kSsl, "使用SSL", 11, 92, 41, 10);
  remember_ = AddCheck(this, du, kRemember, "记住密码", 54, 92, 43, 10);
  auto_login_ = AddCheck(this, du, kAutoLogin, "自动登录", 108, 92, 43, 10);
  browser_ = AddCheck(this, du, kBrowser, "浏览器登录", 154, 92, 48, 10);
  browser_->setChecked(true);
  browser_->setVisible(false);
  login_ = new QPushButton(QStringLiteral("登录"), this);
  login_->setObjectName(QString::number(kLogin));
  login_->setDefault(true);
  login_->setGeometry(du.Rect(77, 109, 50, 17));
  link_ = new CHyperLink(QStringLiteral("注册免费邮箱"), this);
  link_->setObjectName(QString::number(kRegisterLink));
  link_->move(du.X(16), du.Y(112));

  setTabOrder(address_, password_);
  setTabOrder(password_, server_);
  setTabOrder(server_, ssl_box_);
  setTabOrder(ssl_box_, remember_);
  setTabOrder(remember_, auto_login_);
  setTabOrder(auto_login_, browser_);
  setTabOrder(browser_, login_);
  Wire();
}

void CtandrelDlg::Wire() {
  // Window managers have no system menu to extend: the about item lives in
  // the dialog's context menu.
  context_menu_ = new QMenu(this);
  context_menu_->addAction(QString::fromUtf8(kAboutItem), this, &CtandrelDlg::ShowAbout);
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { context_menu_->popup(mapToGlobal(at)); });

  timer_ = new QTimer(this);
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &CtandrelDlg::OnTimer);
  connect(login_, &QPushButton::clicked, this, &CtandrelDlg::SignIn);
  connect(address_, &QComboBox::activated, this, &CtandrelDlg::AccountChosen);
  connect(address_, &QComboBox::editTextChanged, this, &CtandrelDlg::OfferBrowser);
  connect(browser_, &QCheckBox::toggled, this, &CtandrelDlg::OfferBrowser);
  focus_watch_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
    if (old == address_->lineEdit() && now != address_->lineEdit() && isVisible()) AddressCheck();
  });
}

std::string CtandrelDlg::ServerText(const AccountRecord& account) {
  bool ssl = account.ssl_flag != 0;
  if (account.port <= 0 || account.port == (ssl ? 993 : 143)) return account.down_server;
  return account.down_server + ":" + std::to_string(account.port);
}

void CtandrelDlg::SplitServer(const std::string& text, std::string& host, int& port) {
  host = text;
  port = 0;
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || text.find(':') != colon || colon + 1 >= text.size()) return;
  char* end = nullptr;
  long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) return;
  host = text.substr(0, colon);
  port = static_cast<int>(value);
}

void CtandrelDlg::Initialise() {
  link_->SetUrl(WebPing::RegisterPage());
  link_->SetUnderline(CHyperLink::Underline::kAlways);
  bool auto_login = false;
  AccountSecrets::MoveToKeyring();
  {
    MetaStore store;
    std::vector<AccountRecord> accounts;
    store.GetAccounts(accounts);
    QStringList names;
    for (const AccountRecord& account : accounts) {
      names << QString::fromStdString(account.user);
      if (account.is_default != 1) continue;
      address_->setEditText(QString::fromStdString(account.user));
      server_->setText(QString::fromStdString(ServerText(account)));
      password_->setText(QString::fromStdString(AccountSecrets::Recall(account)));
      ssl_ = account.ssl_flag;
      remember_->setChecked(account.save_pwd == 1);
    }
    if (address_->currentText().isEmpty()) Prefill();
    names.sort();
    QString shown = address_->currentText();
    address_->addItems(names);
    address_->setEditText(shown);
    SettingRecord setting;
    if (store.GetSetting(setting)) auto_login = setting.auto_login == 1;
  }
  auto_login_->setChecked(auto_login);
  ssl_box_->setChecked(ssl_ != 0);
  ssl_box_->hide();
  OfferBrowser();
  timer_->start();
  if (auto_login && !address_->currentText().isEmpty()) SignIn();
  if (!SessionRunning() && !quitting_) show();
}

void CtandrelDlg::Prefill() {
  auto text = [](const char* name) {
    const char* value = std::getenv(name);
    return QString::fromUtf8(value != nullptr ? value : "");
  };
  address_->setEditText(text("TANDREL_USER"));
  server_->setText(text("TANDREL_SERVER"));
  password_->setText(text("TANDREL_PASSWORD"));
}

void CtandrelDlg::AddressCheck() {
  std::string address = address_->currentText().toStdString();
  if (address.empty()) return;
  if (!AccountLogin::IsUsableAddress(address)) {
    UiHooks::Get().message(this, kBadAddressText);
    return;
  }
  size_t at = address.find('@');
  MetaStore store;
  int id = 0;
  if (!store.GetAccountId(address, id))
    server_->setText(QString::fromStdString("imap." + address.substr(at + 1)));
}

void CtandrelDlg::AccountChosen(int index) {
  if (index < 0) return;
  std::string address = address_->itemText(index).toStdString();
  address_->setEditText(QString::fromStdString(address));
  MetaStore store;
  AccountRecord account;
  if (!store.GetAccount(address, account)) return;
  server_->setText(QString::fromStdString(ServerText(account)));
  password_->setText(QString::fromStdString(AccountSecrets::Recall(account)));
  ssl_ = account.ssl_flag;
  remember_->setChecked(account.save_pwd == 1);
}

void CtandrelDlg::HideForSession() {
  if (isVisible()) saved_geometry_ = geometry();
  hide();
}

void CtandrelDlg::RestoreWindow() {
  if (saved_geometry_.isValid()) setGeometry(saved_geometry_);
  show();
  raise();
  activateWindow();
}

void CtandrelDlg::SignIn() {
  if (SessionRunning()) return;
  std::string address = address_->currentText().toStdString();
  std::string password = password_->text().toStdString();
  // The address names the account's files: one that cannot is refused
  // before anything is sent or stored.
  if (!AccountLogin::IsUsableAddress(address)) {
    UiHooks::Get().message(this, kBadAddressText);
    return;
  }
  std::string host;
  int port = 0;
  SplitServer(server_->text().toStdString(), host, port);
  HideForSession();
  CLog::Instance()->Write(LOG_DEBUG, "begin run...");

  ssl_ = AccountLogin::UsesSsl(address) ? 1 : 0;
  bool by_browser = !browser_->isHidden() && browser_->isChecked();
  record_ = AccountLogin::Build(address, by_browser ? "" : password, host, port, false);
  record_.save_pwd = remember_->isChecked() && !by_browser ? 1 : 0;
  KeepAutoLoginChoice();
  bool first_sign_in = !AccountLogin::IsKnown(record_.user);
  tokens_.reset();
  if (by_browser && !ObtainTokens(false)) {
    RestoreWindow();
    return;
  }
  if (!SignInAccepted()) {
    UiHooks::Get().message(this, AccountLogin::kFailedText);
    RestoreWindow();
    return;
  }
  if (!UnlockDrive(first_sign_in)) {
    RestoreWindow();
    return;
  }
  // The password goes to the keyring, or stays in memory only.
  AccountSecrets::Kept kept = AccountSecrets::Kept::kNowhere;
  AccountLogin::Store(AccountSecrets::RowFor(record_, record_.save_pwd == 1, kept));
  if (tokens_) OAuthSignIn::Record(record_.user, tokens_->Provider());
  SyncEngine::Instance().SetTokens(tokens_);
  if (!StartSession(record_.pwd)) {
    UiHooks::Get().message(this, DriveSession::kMountFailedText);
    quitting_ = true;
    done(1);
    return;
  }
  tray_ = std::make_unique<CSystemTray>(
      icon_, [this] { return record_.user; }, [this](int command) { TrayCommand(command); });
  pings_.Post(WebPing::kLoginPath, address);
}

void CtandrelDlg::KeepAutoLoginChoice() {
  // Kept whatever the credentials turn out to be.
  MetaStore store;
  SettingRecord setting;
  if (store.ReadSetting(setting)) {
    setting.auto_login = auto_login_->isChecked() ? 1 : 0;
    store.UpdateSetting(setting);
  }
}

void CtandrelDlg::OfferBrowser() {
  bool offered = BrowserSignIn::Offered(address_->currentText().toStdString());
  browser_->setVisible(offered);
  password_->setEnabled(!(offered && browser_->isChecked()));
}

bool CtandrelDlg::ObtainTokens(bool fresh) {
  std::string error;
  bool session_only = false;
  std::shared_ptr<AccessTokens> tokens =
      BrowserSignIn::SignIn(record_, fresh ? tokens_ : nullptr, error, session_only);
  if (!tokens) {
    UiHooks::Get().message(this, std::string(BrowserSignIn::kFailedText) + error);
    return false;
  }
  if (session_only) UiHooks::Get().message(this, BrowserSignIn::kSessionOnlyText);
  tokens_ = tokens;
  return true;
}

void CtandrelDlg::SignInAgain() {
  if (!tokens_) return;
  ObtainTokens(true);
}

bool CtandrelDlg::SignInAccepted() {
  switch (AccountLogin::Check(record_, tokens_.get())) {
    case AccountLogin::Verdict::kAccepted:
      return true;
    case AccountLogin::Verdict::kRefused:
      return false;
    case AccountLogin::Verdict::kUnreachable:
      break;
  }
  // Known here: its cached files are served, its changes wait for the server.
  if (!AccountLogin::IsKnown(record_.user)) return false;
  CLog::Instance()->Write(LOG_WARNING, "%s unreachable: offline start of %s",
                          record_.down_server.c_str(), record_.user.c_str());
  return true;
}

bool CtandrelDlg::UnlockDrive(bool first_sign_in) {
  DriveUnlock::Request request;
  request.new_drive = first_sign_in ? DriveUnlock::NewDrive::kAsk : DriveUnlock::NewDrive::kPlain;
  request.remember = request.try_keyring = record_.save_pwd == 1 || tokens_ != nullptr;
  request.tokens = tokens_.get();
  request.ask = [this](DriveUnlock::Ask ask, std::string&) -> std::optional<std::string> {
    UiHooks& hooks = UiHooks::Get();
    if (ask == DriveUnlock::Ask::kExisting) {
      std::string typed = hooks.secret(this, kPassphraseText);
      if (typed.empty()) return std::nullopt;
      return typed;
    }
    std::string typed = hooks.secret(this, kNewDriveText);
    if (typed.empty()) return typed;  // a plain drive
    if (hooks.secret(this, kPassphraseAgainText) == typed) return typed;
    hooks.message(this, kPassphraseMismatchText);
    return std::nullopt;
  };
  std::optional<DriveKey> key;
  std::string error;
  DriveUnlock::Outcome outcome = DriveUnlock::SignIn(record_, request, key, error);
  SyncEngine::Instance().ClearKey();
  if (key) SyncEngine::Instance().SetKey(*key);
  if (DriveUnlock::Usable(outcome)) return true;
  CLog::Instance()->Write(LOG_WARNING, "encrypted drive of %s not opened: %s", record_.user.c_str(),
                          error.c_str());
  if (outcome == DriveUnlock::Outcome::kWrongPassphrase)
    UiHooks::Get().message(this, kWrongPassphraseText);
  else if (outcome == DriveUnlock::Outcome::kFailed)
    UiHooks::Get().message(this, kUnlockFailedText);
  return false;
}

bool CtandrelDlg::ConfirmQuit() {
  int pending = SessionRunning() ? StatusPublisher::PendingUploads(record_.user) : 0;
  if (pending <= 0) return true;
  char text[256];
  std::snprintf(text, sizeof text, kPendingQuitText, pending);
  return UiHooks::Get().ask(this, text, kQuitAnyway, kWait);
}

bool CtandrelDlg::StartSession(const std::string& password) {
  session_password_ = password;
  mount_point_ = MountCommand::MountPointFor(MountCommand::Options{});
  session_ = std::make_unique<DriveSession>(SyncEngine::Instance());
  session_->SetPassword(session_password_);
  int task_ms = 0, refresh_ms = 0;
  if (MountCommand::TestPeriods(task_ms, refresh_ms)) session_->SetPeriods(task_ms, refresh_ms);
  if (session_->Start(mount_point_)) return true;
  session_.reset();
  return false;
}

void CtandrelDlg::StopSession() {
  if (!session_) return;
  session_->Stop();
  session_.reset();
}

void CtandrelDlg::OnTimer() {
  if (tray_) {
    tray_->ShowStatus(SyncStatus::Instance().Take(), TransferProgress::Instance()->StatusText(),
                      std::time(nullptr));
  }
  UpdaterHandOff::Check(ProgramDir());
}

void CtandrelDlg::TrayCommand(int command) {
  std::string reason;
  auto ignore = [](const std::string&) {};
  switch (command) {
    case CSystemTray::kOpenDrive:
      UiHooks::Get().open(mount_point_, reason, ignore);
      break;
    case CSystemTray::kHomePage:
      UiHooks::Get().open(WebPing::HomePage(), reason, ignore);
      break;
    case CSystemTray::kRegister:
      UiHooks::Get().open(WebPing::RegisterPage(), reason, ignore);
      break;
    case CSystemTray::kSettings:
      ShowSettings();
      break;
    case CSystemTray::kPin:
    case CSystemTray::kUnpin:
      DriveChoices(DataDir(), record_.user, mount_point_).ChoosePin(this, command == CSystemTray::kPin);
      break;
    case CSystemTray::kDeletions:
      DriveChoices(DataDir(), record_.user, mount_point_).AnswerDeletions(this);
      break;
    case CSystemTray::kUndo: {
      CUndoDlg window(DataDir(), record_.user, mount_point_, this);
      if (run_undo) {
        run_undo(window);
      } else {
        window.exec();
      }
      break;
    }
    case CSystemTray::kSignInAgain:
      SignInAgain();
      break;
    case CSystemTray::kExit:
      if (ConfirmQuit()) Quit();
      break;
    default:
      break;
  }
}

void CtandrelDlg::ShowSettings() {
  CSetting::Session hooks;
  hooks.user = record_.user;
  hooks.pause = [this] {
    if (session_) StopSession();
  };
  hooks.resume = [this] {
    if (!StartSession(session_password_)) {
      UiHooks::Get().message(this, DriveSession::kMountFailedText);
      Quit();
    }
  };
  CSetting dialog(ProgramDir() + "tandrel", hooks, this);
  if (run_settings) {
    run_settings(dialog);
  } else {
    dialog.exec();
  }
}

void CtandrelDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CtandrelDlg::Quit() {
  if (quitting_) return;
  quitting_ = true;
  if (tray_) pings_.Post(WebPing::kLogoutPath, record_.user);
  timer_->stop();
  StopSession();
  tray_.reset();
  pings_.Drain();
  done(0);
}

void CtandrelDlg::reject() { Quit(); }

void CtandrelDlg::closeEvent(QCloseEvent* event) {
  // Closing the window ends the program, a running session cleanly.
  event->accept();
  Quit();
}

#pragma once

#include <QDialog>
#include <QIcon>
#include <QRect>
#include <functional>
#include <memory>
#include <string>

#include "app/PingSender.h"
#include "store/AccountRecord.h"

class CHyperLink;
class CSystemTray;
class DriveSession;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class AccessTokens;
class QPushButton;
class QTimer;

// The login dialog, the program's main window: tests the credentials,
// stores the account, starts the drive session and the tray icon, and stays
// hidden while the session runs. Quit ends the session cleanly (logout ping,
// unmount, engine stopped) and closes the dialog.
// Thread contract: user-interface thread only; the drive session runs its
// own threads and is stopped from here.
class CtandrelDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kCaption = "Tandrel【Tandrel】";
  static constexpr const char* kAboutItem = "关于 Tandrel(&A)...";
  static constexpr const char* kBadAddressText = "邮箱地址不正确，请重新输入";
  static constexpr const char* kPendingQuitText =
      "还有 %d 个文件尚未上传完成。现在退出，它们将在下次启动后继续上传。\n是否仍要退出？";
  static constexpr const char* kQuitAnyway = "仍然退出";
  static constexpr const char* kWait = "等待";
  static constexpr const char* kNewDriveText =
      "这是此邮箱的新网盘。设置网盘密码即可加密：邮件服务商将看不到文件名和文件内容。"
      "忘记网盘密码将无法找回文件。\n留空则不加密。";
  static constexpr const char* kPassphraseAgainText = "请再次输入网盘密码：";
  static constexpr const char* kPassphraseMismatchText = "两次输入的网盘密码不一致，请重新登录";
  static constexpr const char* kPassphraseText = "此网盘已加密，请输入网盘密码：";
  static constexpr const char* kWrongPassphraseText = "网盘密码错误，请重新输入";
  static constexpr const char* kUnlockFailedText = "无法打开加密网盘，请稍后再试";

  // The control ids, also the widgets' object names.
  enum Id {
    kLogin = 1000,
    kPassword = 1003,
    kServer = 1004,
    kAutoLogin = 1007,
    kAddress = 1009,
    kRemember = 1010,
    kSsl = 1011,
    kRegisterLink = 1012,
    kBrowser = 1013,  // sign in through the browser (OAuth), where the address needs it
  };

  explicit CtandrelDlg(QWidget* parent = nullptr);
  ~CtandrelDlg() override;

  // Fills the controls from the store, starts the timer, and signs in at
  // once when auto login is set; shows the dialog unless a session runs.
  void Initialise();

  // The handlers, public for tests.
  void AddressCheck();
  void AccountChosen(int index);
  void SignIn();
  void OnTimer();
  void TrayCommand(int command);
  void ShowSettings();
  void ShowAbout();
  // Logout ping, clean stop of the session, dialog closed.
  void Quit();
  // With uploads pending, asks whether to quit all the same.
  bool ConfirmQuit();

  bool SessionRunning() const { return session_ != nullptr; }
  DriveSession* Session() const { return session_.get(); }
  CSystemTray* Tray() const { return tray_.get(); }
  const AccountRecord& LastRecord() const { return record_; }
  int SslFlag() const { return ssl_; }
  const std::string& MountPoint() const { return mount_point_; }
  QMenu* ContextMenu() const { return context_menu_; }
  CHyperLink* RegisterLink() const { return link_; }

  // Test seam: replaces the settings dialog's modal run.
  std::function<void(class CSetting&)> run_settings;
  // The same for the trash and versions window.
  std::function<void(class CUndoDlg&)> run_undo;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void Build();
  // The context menu, the timer and the signals of the controls.
  void Wire();
  // Without a stored default account: TANDREL_USER, TANDREL_SERVER and
  // TANDREL_PASSWORD fill the fields (the demo's account).
  void Prefill();
  void HideForSession();
  void RestoreWindow();
  // The credentials accepted, or the server out of reach for an account
  // known here (an offline start).
  bool SignInAccepted();
  // The drive's key when it is encrypted, or made so at the first sign-in
  // (the passphrase asked, or taken from the keyring); false, with the
  // reason shown, when the drive cannot be opened.
  bool UnlockDrive(bool first_sign_in);
  // The OAuth tokens of a sign-in through the browser (fresh: a new one,
  // not the kept one); false, with the reason shown, without.
  bool ObtainTokens(bool fresh);
  // The tray's "sign in again": a new browser sign-in the running engine
  // goes on with.
  void SignInAgain();
  // The browser box shows where the address's provider needs it.
  void OfferBrowser();
  void KeepAutoLoginChoice();
  bool StartSession(const std::string& password);
  void StopSession();
  // The server field: the host, and ":port" when the port is not the
  // rule's default.
  static std::string ServerText(const AccountRecord& account);
  static void SplitServer(const std::string& text, std::string& host, int& port);

  QIcon icon_;
  QComboBox* address_;
  QLineEdit* password_;
  QLineEdit* server_;
  QCheckBox* ssl_box_;
  QCheckBox* remember_;
  QCheckBox* auto_login_;
  QCheckBox* browser_;
  QPushButton* login_;
  CHyperLink* link_;
  QMenu* context_menu_;
  QTimer* timer_;
  QMetaObject::Connection focus_watch_;  // qApp's focusChanged, cut by the destructor

  int ssl_ = 0;
  AccountRecord record_;
  std::shared_ptr<AccessTokens> tokens_;  // an OAuth account's, shared with the engine
  std::string session_password_;  // kept in memory only when not remembered
  std::string mount_point_;
  QRect saved_geometry_;
  bool quitting_ = false;
  std::unique_ptr<DriveSession> session_;
  std::unique_ptr<CSystemTray> tray_;
  PingSender pings_;
};

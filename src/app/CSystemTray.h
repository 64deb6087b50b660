#pragma once

#include <QIcon>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "app/TrayStatus.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

// The tray icon and its menu, the first item of which is the account's
// state line; the icon carries a badge for syncing, offline and error.
// Without a system tray on the desktop the menu
// still exists but no icon is shown ("enabled" stays false) and tooltip
// updates are skipped.
// Thread contract: user-interface thread only.
class CSystemTray : public QObject {
  Q_OBJECT

 public:
  // Command ids, also the menu actions' object names.
  enum Command {
    kOpenDrive = 32773,
    kExit = 32774,
    kCurrentAccount = 32776,
    kHomePage = 32778,
    kSettings = 32780,
    kRegister = 32783,
    kStateLine = 32790,
    kPin = 32791,
    kUnpin = 32792,
    kDeletions = 32793,    // enabled while deletions wait for the user
    kUndo = 32794,         // the trash and the versions
    kSignInAgain = 32795,  // enabled while the provider asks for a new OAuth sign-in
  };
  static constexpr size_t kTooltipBytes = 127;

  // current_account gives the signed-in address before each display;
  // on_command runs a chosen item (and kOpenDrive for a left click).
  CSystemTray(const QIcon& icon, std::function<std::string()> current_account,
              std::function<void(int command)> on_command, QObject* parent = nullptr);
  ~CSystemTray() override;

  bool Enabled() const { return enabled_; }
  QMenu* Menu() const { return menu_.get(); }
  // Refreshes the account item as a display would.
  void PrepareMenu();
  // Cut to kTooltipBytes at a character boundary; line ends as the desktop
  // shows them.
  void SetTooltip(const std::string& text);
  const std::string& Tooltip() const { return tooltip_; }
  // The cut that SetTooltip applies.
  static std::string CutTooltip(const std::string& text);
  // Shows the status: state line in the menu and the tooltip (followed by
  // the transfers under way), the badge, and any notice not told yet.
  void ShowStatus(const SyncStatus::Snapshot& snapshot, const std::string& transfers,
                  std::time_t now);
  TrayStatus::Badge Badge() const { return badge_; }
  // As the desktop shows it; null without a tray.
  QIcon Icon() const;
  // The base icon with the badge painted in its lower right corner.
  static QIcon BadgedIcon(const QIcon& base, TrayStatus::Badge badge);

 private:
  QAction* AddItem(int command, const char* text);

  std::function<std::string()> current_account_;
  std::function<void(int)> on_command_;
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* icon_ = nullptr;
  bool enabled_ = false;
  std::string tooltip_;
  QIcon base_icon_;
  TrayStatus::Badge badge_ = TrayStatus::Badge::kNone;
  TrayStatus status_;
};

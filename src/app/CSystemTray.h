#pragma once

#include <QIcon>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The tray icon and its menu. Without a system tray on the desktop the menu
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

 private:
  QAction* AddItem(int command, const char* text);

  std::function<std::string()> current_account_;
  std::function<void(int)> on_command_;
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* icon_ = nullptr;
  bool enabled_ = false;
  std::string tooltip_;
};

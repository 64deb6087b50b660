#include "app/CSystemTray.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "app/UiHooks.h"

CSystemTray::CSystemTray(const QIcon& icon, std::function<std::string()> current_account,
                         std::function<void(int command)> on_command, QObject* parent)
    : QObject(parent),
      current_account_(std::move(current_account)),
      on_command_(std::move(on_command)),
      menu_(std::make_unique<QMenu>()),
      base_icon_(icon) {
  AddItem(kStateLine, "已同步")->setEnabled(false);
  menu_->addSeparator();
  AddItem(kOpenDrive, "打开Tandrel");
  AddItem(kHomePage, "打开官方网站");
  menu_->addSeparator();
  AddItem(kRegister, "注册免费邮箱");
  menu_->addSeparator();
  AddItem(kCurrentAccount, "当前帐户");
  menu_->addSeparator();
  AddItem(kPin, "固定文件夹到本机…");
  AddItem(kUnpin, "取消固定文件夹…");
  AddItem(kDeletions, "处理暂停的删除…")->setEnabled(false);
  AddItem(kUndo, "回收站与历史版本…");
  AddItem(kSignInAgain, "重新登录…")->setEnabled(false);
  menu_->addSeparator();
  AddItem(kSettings, "设置");
  menu_->addSeparator();
  AddItem(kExit, "退出");
  connect(menu_.get(), &QMenu::aboutToShow, this, &CSystemTray::PrepareMenu);

  if (!UiHooks::Get().tray_available()) return;
  icon_ = new QSystemTrayIcon(icon, this);
  icon_->setToolTip(QStringLiteral("Tandrel"));
  tooltip_ = "Tandrel";
  icon_->setContextMenu(menu_.get());
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger) on_command_(kOpenDrive);
  });
  icon_->show();
  enabled_ = true;
}

CSystemTray::~CSystemTray() {
  if (icon_ != nullptr) {
    icon_->hide();
    icon_->setContextMenu(nullptr);
  }
}

QAction* CSystemTray::AddItem(int command, const char* text) {
  QAction* action = menu_->addAction(QString::fromUtf8(text));
  action->setObjectName(QString::number(command));
  if (command != kCurrentAccount && command != kStateLine) {
    connect(action, &QAction::triggered, this, [this, command] { on_command_(command); });
  }
  return action;
}

void CSystemTray::PrepareMenu() {
  QAction* account =
      menu_->findChild<QAction*>(QString::number(kCurrentAccount), Qt::FindDirectChildrenOnly);
  if (account == nullptr) return;
  account->setText(QString::fromStdString(current_account_()));
  account->setEnabled(false);
}

std::string CSystemTray::CutTooltip(const std::string& text) {
  if (text.size() <= kTooltipBytes) return text;
  size_t end = kTooltipBytes;
  // Never half a UTF-8 character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void CSystemTray::SetTooltip(const std::string& text) {
  if (!enabled_) return;
  tooltip_ = CutTooltip(text);
  QString shown = QString::fromStdString(tooltip_);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  icon_->setToolTip(shown);
}

QIcon CSystemTray::Icon() const { return icon_ != nullptr ? icon_->icon() : QIcon(); }

QIcon CSystemTray::BadgedIcon(const QIcon& base, TrayStatus::Badge badge) {
  if (badge == TrayStatus::Badge::kNone) return base;
  constexpr int kSide = 32;
  QPixmap pixmap = base.pixmap(kSide, kSide);
  if (pixmap.isNull()) {
    pixmap = QPixmap(kSide, kSide);
    pixmap.fill(Qt::transparent);
  }
  QColor colour = badge == TrayStatus::Badge::kSyncing   ? QColor(0x1e, 0x88, 0xe5)
                  : badge == TrayStatus::Badge::kOffline ? QColor(0x9e, 0x9e, 0x9e)
                                                         : QColor(0xe5, 0x39, 0x35);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::white, 1.5));
  painter.setBrush(colour);
  painter.drawEllipse(QRectF(kSide * 0.5, kSide * 0.5, kSide * 0.48, kSide * 0.48));
  return QIcon(pixmap);
}

void CSystemTray::ShowStatus(const SyncStatus::Snapshot& snapshot, const std::string& transfers,
                             std::time_t now) {
  std::string line = TrayStatus::StateLine(snapshot);
  QAction* item =
      menu_->findChild<QAction*>(QString::number(kStateLine), Qt::FindDirectChildrenOnly);
  if (item != nullptr) item->setText(QString::fromStdString(line));
  QAction* held =
      menu_->findChild<QAction*>(QString::number(kDeletions), Qt::FindDirectChildrenOnly);
  if (held != nullptr) held->setEnabled(!snapshot.held.empty());
  QAction* sign_in =
      menu_->findChild<QAction*>(QString::number(kSignInAgain), Qt::FindDirectChildrenOnly);
  if (sign_in != nullptr) sign_in->setEnabled(SyncStatus::SignInNeeded(snapshot));
  std::vector<TrayStatus::Notice> notices = status_.Update(snapshot, now);
  if (!enabled_) return;
  SetTooltip(transfers.empty() ? line : line + "\r\n" + transfers);
  TrayStatus::Badge badge = TrayStatus::BadgeFor(snapshot.state);
  if (badge != badge_) {
    badge_ = badge;
    icon_->setIcon(BadgedIcon(base_icon_, badge));
  }
  for (const auto& notice : notices) UiHooks::Get().notify(icon_, notice.title, notice.text);
}

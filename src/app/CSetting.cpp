#include "app/CSetting.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>

#include "app/AutoStart.h"
#include "app/DialogUnits.h"
#include "app/UiHooks.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/CachePolicy.h"
#include "store/MetaStore.h"

CSetting::CSetting(const std::string& program_path, Session session, QWidget* parent)
    : QDialog(parent), program_path_(program_path), session_(std::move(session)) {
  setWindowTitle(QString::fromUtf8(kCaption));
  DialogUnits du(font());
  setFixedSize(du.X(236), du.Y(146));
  auto* group = new QGroupBox(QStringLiteral("开机和登录"), this);
  group->setGeometry(du.Rect(7, 7, 222, 48));
  auto_start_ = new QCheckBox(QStringLiteral("开机时自动启动Tandrel"), this);
  auto_start_->setObjectName(QStringLiteral("1005"));
  auto_start_->setGeometry(du.Rect(16, 20, 200, 10));
  auto_login_ = new QCheckBox(QStringLiteral("启动后自动登录Tandrel"), this);
  auto_login_->setObjectName(QStringLiteral("1006"));
  auto_login_->setGeometry(du.Rect(16, 36, 200, 10));
  auto* label = new QLabel(QStringLiteral("缓存目录："), this);
  label->setGeometry(du.Rect(7, 68, 40, 8));
  cache_edit_ = new QLineEdit(this);
  cache_edit_->setObjectName(QStringLiteral("1002"));
  cache_edit_->setReadOnly(true);
  cache_edit_->setGeometry(du.Rect(48, 65, 143, 14));
  auto* change = new QPushButton(QStringLiteral("更改"), this);
  change->setObjectName(QStringLiteral("1000"));
  change->setGeometry(du.Rect(195, 65, 34, 14));
  on_demand_ = new QCheckBox(QStringLiteral("按需下载：列出全部文件，读取时才下载内容"), this);
  on_demand_->setObjectName(QStringLiteral("1010"));
  on_demand_->setGeometry(du.Rect(7, 86, 222, 10));
  auto* limit_label = new QLabel(QStringLiteral("缓存上限："), this);
  limit_label->setGeometry(du.Rect(16, 103, 40, 8));
  limit_edit_ = new QLineEdit(this);
  limit_edit_->setObjectName(QStringLiteral("1011"));
  limit_edit_->setGeometry(du.Rect(58, 100, 60, 14));
  connect(on_demand_, &QCheckBox::toggled, limit_edit_, &QWidget::setEnabled);
  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  ok->setGeometry(du.Rect(125, 122, 50, 15));
  auto* cancel = new QPushButton(QStringLiteral("取消"), this);
  cancel->setObjectName(QStringLiteral("2"));
  cancel->setGeometry(du.Rect(179, 122, 50, 15));
  connect(change, &QPushButton::clicked, this, &CSetting::Change);
  connect(ok, &QPushButton::clicked, this, &CSetting::Accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  Initialise();
}

std::string CSetting::CacheText() const { return cache_edit_->text().toStdString(); }

void CSetting::Initialise() {
  int64_t limit = 0;
  bool known = !session_.user.empty() && CachePolicy(DataDir(), session_.user).ReadLimit(limit);
  on_demand_->setEnabled(known);
  on_demand_->setChecked(limit > 0);
  limit_edit_->setText(QString::fromStdString(limit > 0 ? CachePolicy::SizeText(limit) : kDefaultLimit));
  limit_edit_->setEnabled(limit > 0);
  MetaStore store;
  SettingRecord setting;
  if (!store.GetSetting(setting)) return;
  auto_login_->setChecked(setting.auto_login == 1);
  auto_start_->setChecked(setting.auto_start == 1);
  cache_edit_->setText(QString::fromStdString(setting.data_dir));
}

void CSetting::Change() {
  std::string start = CacheText();
  if (start.size() > 1 && (start.back() == '\\' || start.back() == '/')) start.pop_back();
  std::string picked = UiHooks::Get().choose_folder(this, kChooserTitle, start);
  if (picked.empty()) return;
  previous_dir_ = CacheText();
  cache_edit_->setText(QString::fromStdString(picked));
}

bool CSetting::MoveCache(const std::string& from, const std::string& to) {
  std::string source = from + "\\Tandrel";
  std::string dest = to + "\\Tandrel";
  std::error_code ec;
  // Nothing cached yet: nothing to move.
  if (!std::filesystem::exists(NativePath(source), ec)) return true;
  MakeDir(to);
  return MoveByShell(dest, source);
}

bool CSetting::SaveCacheLimit() {
  if (!on_demand_->isEnabled()) return true;
  int64_t limit = 0;
  if (on_demand_->isChecked() &&
      (!CachePolicy::ParseSize(limit_edit_->text().trimmed().toStdString(), limit) || limit <= 0)) {
    UiHooks::Get().message(this, kLimitInvalidText);
    return false;
  }
  // The running session takes the new limit at its next refresh; a store
  // that refuses it has logged why.
  CachePolicy(DataDir(), session_.user).SetLimit(limit);
  return true;
}

void CSetting::Accept() {
  if (!SaveCacheLimit()) return;
  hide();
  std::string current = CacheText();
  MetaStore store;
  SettingRecord setting;
  if (store.ReadSetting(setting)) {
    setting.auto_login = auto_login_->isChecked() ? 1 : 0;
    setting.auto_start = auto_start_->isChecked() ? 1 : 0;
    setting.data_dir = current;
    bool move = !previous_dir_.empty() &&
                std::filesystem::path(NativePath(previous_dir_ + "\\")).lexically_normal() !=
                    std::filesystem::path(NativePath(current + "\\")).lexically_normal();
    if (move) {
      if (session_.pause) session_.pause();
      if (!MoveCache(previous_dir_, current)) {
        setting.data_dir = previous_dir_;
        UiHooks::Get().message(this, kMoveFailedText);
      }
      store.UpdateSetting(setting);
      if (session_.resume) session_.resume();
    } else {
      store.UpdateSetting(setting);
    }
  }
  AutoStart::Set(auto_start_->isChecked(), program_path_);
  accept();
}

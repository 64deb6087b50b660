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
#include "store/MetaStore.h"

CSetting::CSetting(const std::string& program_path, Session session, QWidget* parent)
    : QDialog(parent), program_path_(program_path), session_(std::move(session)) {
  setWindowTitle(QString::fromUtf8(kCaption));
  DialogUnits du(font());
  setFixedSize(du.X(236), du.Y(126));
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
  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  ok->setGeometry(du.Rect(125, 102, 50, 15));
  auto* cancel = new QPushButton(QStringLiteral("取消"), this);
  cancel->setObjectName(QStringLiteral("2"));
  cancel->setGeometry(du.Rect(179, 102, 50, 15));
  connect(change, &QPushButton::clicked, this, &CSetting::Change);
  connect(ok, &QPushButton::clicked, this, &CSetting::Accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  Initialise();
}

std::string CSetting::CacheText() const { return cache_edit_->text().toStdString(); }

void CSetting::Initialise() {
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

void CSetting::Accept() {
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

#include "app/CUndoDlg.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <utility>

#include "app/UiHooks.h"
#include "platform/FileHelpers.h"
#include "store/KeptFiles.h"
#include "sync/SyncStatus.h"
#include "sync/TrashKeeper.h"

namespace {

QString TimeText(int64_t at_ms) { return QString::fromStdString(TrashKeeper::TimeText(at_ms)); }

QTreeWidget* NewList(QWidget* parent, const QStringList& columns) {
  auto* list = new QTreeWidget(parent);
  list->setHeaderLabels(columns);
  list->setRootIsDecorated(false);
  list->header()->setStretchLastSection(true);
  return list;
}

QPushButton* NewButton(QWidget* parent, const char* text, QHBoxLayout* row) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);
  row->addWidget(button);
  return button;
}

}  // namespace

CUndoDlg::CUndoDlg(std::string data_dir, std::string user, std::string mount_point, QWidget* parent)
    : QDialog(parent),
      data_dir_(std::move(data_dir)),
      user_(std::move(user)),
      mount_point_(std::move(mount_point)) {
  setWindowTitle(QString::fromUtf8(kTitle));
  Build();
  Reload();
}

void CUndoDlg::Build() {
  auto* layout = new QVBoxLayout(this);
  int days = KeptFiles::kDefaultRetentionDays;
  KeptFiles(data_dir_, user_).RetentionDays(days);
  std::string caption = "回收站（删除的文件保留 " + std::to_string(days) + " 天）：";
  layout->addWidget(new QLabel(QString::fromStdString(caption), this));
  trash_ = NewList(this, {"原位置", "删除时间", "大小", "来自"});
  layout->addWidget(trash_);
  auto* trash_row = new QHBoxLayout;
  connect(NewButton(this, "还原", trash_row), &QPushButton::clicked, this,
          &CUndoDlg::RestoreChosen);
  connect(NewButton(this, "清空回收站", trash_row), &QPushButton::clicked, this,
          &CUndoDlg::EmptyTrash);
  layout->addLayout(trash_row);
  layout->addWidget(new QLabel(QString::fromUtf8("文件的历史版本："), this));
  auto* file_row = new QHBoxLayout;
  file_ = new QLineEdit(this);
  file_->setPlaceholderText(QString::fromUtf8("Tandrel盘中的文件，如 /文档/报告.docx"));
  file_row->addWidget(file_);
  connect(NewButton(this, "查看版本", file_row), &QPushButton::clicked, this,
          &CUndoDlg::ShowVersions);
  layout->addLayout(file_row);
  versions_ = NewList(this, {"版本", "时间", "大小", "来自"});
  layout->addWidget(versions_);
  auto* version_row = new QHBoxLayout;
  connect(NewButton(this, "还原此版本", version_row), &QPushButton::clicked, this,
          &CUndoDlg::RestoreVersion);
  layout->addLayout(version_row);
  resize(560, 480);
}

void CUndoDlg::Reload() {
  std::vector<KeptRecord> kept;
  KeptFiles(data_dir_, user_).List(kept);
  trash_rows_.clear();
  trash_->clear();
  for (const KeptRecord& k : kept) {
    if (k.kind != KeptKind::kTrash) continue;
    trash_rows_.push_back(k);
    trash_->addTopLevelItem(
        new QTreeWidgetItem({QString::fromStdString("/" + DrivePathText(k.path)), TimeText(k.at),
                             QString::fromStdString(SyncStatus::BytesText(k.size)),
                             QString::fromStdString(k.machine)}));
  }
}

bool CUndoDlg::Ask(int action, const std::string& path, int number) {
  bool asked =
      KeptFiles(data_dir_, user_).Ask({static_cast<KeptFiles::Action>(action), path, number});
  UiHooks::Get().message(this, asked ? kAskedText : "无法保存您的选择，请稍后再试。");
  return asked;
}

void CUndoDlg::RestoreChosen() {
  int row = trash_->indexOfTopLevelItem(trash_->currentItem());
  if (row < 0 || row >= static_cast<int>(trash_rows_.size())) return;
  Ask(static_cast<int>(KeptFiles::Action::kRestore), trash_rows_[static_cast<size_t>(row)].path, 0);
}

void CUndoDlg::EmptyTrash() {
  if (!UiHooks::Get().ask(this, "清空回收站后，其中的文件和所有历史版本将无法恢复。确定清空？",
                          "清空", "取消"))
    return;
  Ask(static_cast<int>(KeptFiles::Action::kEmpty), "", 0);
}

std::string CUndoDlg::ChosenFile() const {
  std::string typed = file_->text().trimmed().toStdString();
  std::string below = mount_point_.empty() ? "" : DrivePathUnder(typed, mount_point_);
  return below.empty() ? DrivePathUnder("/" + typed, "") : below;
}

void CUndoDlg::ShowVersions() {
  versions_->clear();
  std::string path = ChosenFile();
  std::vector<KeptRecord> versions;
  if (!TrashKeeper::VersionsAt(data_dir_, user_, path, versions)) {
    UiHooks::Get().message(this, "Tandrel盘中没有这个文件。");
    return;
  }
  for (size_t i = 0; i < versions.size(); ++i)
    versions_->addTopLevelItem(
        new QTreeWidgetItem({QString::number(i + 1), TimeText(versions[i].at),
                             QString::fromStdString(SyncStatus::BytesText(versions[i].size)),
                             QString::fromStdString(versions[i].machine)}));
}

void CUndoDlg::RestoreVersion() {
  int row = versions_->indexOfTopLevelItem(versions_->currentItem());
  if (row < 0) return;
  Ask(static_cast<int>(KeptFiles::Action::kRestoreVersion), ChosenFile(), row + 1);
}

#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "store/KeptRecord.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;

// The tray's window of the trash and of a file's versions: the deleted
// files (where they were, when, how large, from which machine) with a
// restore and an empty button, and the versions of a file named below
// them with a restore button. What is chosen goes to the account's records,
// which the mounted drive carries out at its next step, on every machine.
// Thread contract: user-interface thread only; each action opens the
// records for its own time.
class CUndoDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "回收站与历史版本";
  static constexpr const char* kAskedText = "已提交，稍后在所有电脑上生效。";

  CUndoDlg(std::string data_dir, std::string user, std::string mount_point,
           QWidget* parent = nullptr);

  QTreeWidget* Trash() const { return trash_; }
  QTreeWidget* Versions() const { return versions_; }
  QLineEdit* FileField() const { return file_; }
  // The handlers, public for tests.
  void Reload();
  void RestoreChosen();
  void EmptyTrash();
  void ShowVersions();
  void RestoreVersion();

 private:
  void Build();
  bool Ask(int action, const std::string& path, int number);
  std::string ChosenFile() const;

  std::string data_dir_, user_, mount_point_;
  std::vector<KeptRecord> trash_rows_;
  QTreeWidget* trash_ = nullptr;
  QTreeWidget* versions_ = nullptr;
  QLineEdit* file_ = nullptr;
};

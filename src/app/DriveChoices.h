#pragma once

#include <string>

class QWidget;

// What the tray asks the user about the drive: the deletions held for an
// answer (upload again, or remove here too), and the folders that stay on
// this machine (pinned) when content comes on demand. The answers go to the
// account's records, which the running engine reads at its next pass.
// Thread contract: user-interface thread only; each call opens the records
// for its own time.
class DriveChoices {
 public:
  static constexpr size_t kListedFiles = 20;  // the rest are counted

  DriveChoices(std::string data_dir, std::string user, std::string mount_point);

  // Shows what is held and records the answer; false when nothing was
  // decided (nothing held, the box closed, the records not written).
  bool AnswerDeletions(QWidget* parent);
  // Asks for a folder of the drive, then pins or unpins it; false when
  // none was chosen or it lies outside the drive.
  bool ChoosePin(QWidget* parent, bool pin);

 private:
  std::string data_dir_;
  std::string user_;
  std::string mount_point_;
};

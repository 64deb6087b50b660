#pragma once

#include <string>

// Swaps in the newer updater that the updater left in "update/", once no
// updater process runs; the updater's old logs go with it.
// Thread contract: user-interface thread (the dialog's one-second timer).
class UpdaterHandOff {
 public:
  // program_dir ends with a separator. True when a new updater was moved in.
  static bool Check(const std::string& program_dir);
};

#include "app/UpdaterHandOff.h"

#include <unistd.h>

#include "app/SiblingPrograms.h"
#include "platform/FileHelpers.h"

bool UpdaterHandOff::Check(const std::string& program_dir) {
  if (SiblingPrograms::FindProcess(SiblingPrograms::kUpdater) != 0) return false;
  // Only the program directory's logs: this program's own log lives in the
  // data directory and is never deleted under a running writer.
  ::unlink(NativePath(program_dir + "\\log\\update.log").c_str());
  ::unlink(NativePath(program_dir + "\\log\\tandrel.log").c_str());
  std::string fresh = program_dir + "\\update\\" + SiblingPrograms::kUpdater;
  if (!FileExists(fresh)) return false;
  std::string current = program_dir + "\\" + SiblingPrograms::kUpdater;
  ::unlink(NativePath(current).c_str());
  return ::rename(NativePath(fresh).c_str(), NativePath(current).c_str()) == 0;
}

#pragma once

#include <sys/types.h>
#include <string>

// The programs that live beside tandrel: "mounter", started when it is not
// running, and the updater "tandrelUpdate", launched at start-up and swapped
// for a newer copy by UpdaterHandOff.
// Thread contract: free of shared state; any thread.
class SiblingPrograms {
 public:
  static constexpr const char* kMounter = "mounter";
  static constexpr const char* kUpdater = "tandrelUpdate";

  // The first process whose executable path contains name, or 0. Processes
  // whose executable cannot be read (other users') are passed over.
  static pid_t FindProcess(const std::string& name);
  // Starts program_dir + name detached, with args. False when it is not
  // there or could not be started.
  static bool Launch(const std::string& program_dir, const std::string& name,
                     const std::string& args_joined_by_nul);
  static bool UpdaterPresent(const std::string& program_dir);
  // "-m" (monitor), "-p" + program_dir, "-e" + the program's base name.
  static bool LaunchUpdater(const std::string& program_dir, bool monitor);
  // Unless a mounter runs already.
  static void StartMounter(const std::string& program_dir);
};

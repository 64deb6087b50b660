#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "DriverBlanks.h"

// One test "machine": a sync_driver process with its own HOME, XDG_DATA_HOME
// and XDG_CONFIG_HOME below root, spoken to through pipes. Killed and reaped
// by the object at the latest.
// Thread contract: one test thread only.
class SyncMachine {
 public:
  explicit SyncMachine(const std::string& root);
  ~SyncMachine();
  SyncMachine(const SyncMachine&) = delete;
  SyncMachine& operator=(const SyncMachine&) = delete;

  // Starts the process; false when it cannot.
  bool Launch();
  // Sends one command; the lines it printed before its "ok" go to out.
  // False on "err", or when the process died or took longer than timeout_s.
  bool Run(const std::string& command, std::vector<std::string>* out = nullptr,
           int timeout_s = 120);
  std::string RunLine(const std::string& command);  // the first line printed, or ""
  // SIGKILL, then reaped.
  void Kill();
  // "quit", then reaped (killed when it does not end in time).
  void Quit();

  std::string CacheDir();  // native, with a trailing "/"
  std::string LogText() const;
  const std::string& Root() const { return root_; }

 private:
  bool ReadLine(std::string& line, int timeout_ms);

  std::string root_;
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string buffer_;
  std::string cache_;
};

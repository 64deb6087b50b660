#pragma once

#include <sys/types.h>

#include <map>
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

  // The drive as the engine lists it: path -> size, -1 for folders.
  using Listing = std::map<std::string, long long>;
  Listing List();
  int Pending();  // parts waiting for upload or download, -1 when unknown
  // Steps and passes on every machine until none has work left and all list
  // the same drive; then two more rounds, so stale indexes go too.
  static bool Converge(const std::vector<SyncMachine*>& machines, int max_rounds = 12);

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

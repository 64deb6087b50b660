#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "drive/DispatchGate.h"
#include "drive/DriveOps.h"

struct fuse;

// Serves one FUSE mount from a DriveOps table, in the shape of the drive
// library's main routine: Run mounts, answers requests on its one loop
// thread and returns when the mount ends.
// Thread contract: Run on one thread; the callbacks on the workers, each
// holding gate_ (so one at a time, but for a request waiting on the
// network); RequestExit and WaitMounted from any thread. state_mutex_
// guards mounted_, ended_ and fuse_ against RequestExit; gate_ guards
// open_records_. Lock order: gate_, then state_mutex_.
class FuseHost {
 public:
  FuseHost(const DriveOptions& options, const DriveOps& ops);
  ~FuseHost();
  FuseHost(const FuseHost&) = delete;
  FuseHost& operator=(const FuseHost&) = delete;

  // 0 after the mount ended (unmounted from outside or by RequestExit);
  // non-zero when mounting failed.
  int Run();

  // Ends the loop and unmounts. Harmless before Run or after the end.
  void RequestExit();

  // True once mounted; false when the mount failed or the time ran out.
  bool WaitMounted(int timeout_ms);


  const DriveOps& ops() const { return ops_; }
  DispatchGate& gate() { return gate_; }
  // The longest name the volume takes, in bytes; set before the mount.
  size_t max_component() const { return max_component_; }

  // Per-handle records still open, each with the drive path it is open
  // under, kept current through renames; gate_ held.
  void Track(DriveFileInfo* record, const std::string& path) { open_records_[record] = path; }
  void Untrack(DriveFileInfo* record) { open_records_.erase(record); }
  // A file, or a folder with everything below it, moved from one path to another.
  void Retarget(const std::string& from, const std::string& to);
  // A record open under path; null when none is.
  DriveFileInfo* OpenAt(const std::string& path) const;
  // The library keeps a file unlinked while open under a hidden name until
  // its last close; on the drive it is gone at once.
  static bool IsHiddenName(const std::string& drive_path);

  // Calls the Unmount callback once.
  void NotifyUnmount();

 private:
  // The library's arguments with the volume's names; learns the longest
  // name too. Run's thread, before the mount.
  std::vector<std::string> MountWords();

  DriveOptions options_;
  DriveOps ops_;
  size_t max_component_ = 255;
  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  struct fuse* fuse_ = nullptr;
  bool mounted_ = false;
  bool ended_ = false;
  std::atomic<unsigned> wake_counter_{0};
  std::atomic<bool> unmount_notified_{false};
  DispatchGate gate_;
  std::map<DriveFileInfo*, std::string> open_records_;  // gate_
};

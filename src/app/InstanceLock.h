#pragma once

#include <string>

// The single-instance lock "tandrel": a lock file in $XDG_RUNTIME_DIR (else
// /tmp/tandrel-UID.lock) held with flock for the life of the object. The
// kernel drops it when the process ends, however it ends.
// Thread contract: one thread only.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // False when another holder has it (or the file cannot be opened).
  bool Acquire();
  static std::string Path();

 private:
  int fd_ = -1;
};

#pragma once

#include <string>

#include "sync/SyncStatus.h"

// The status of a mounted account as other processes read it: one small file
// per account, $XDG_RUNTIME_DIR/tandrel/ADDRESS.status, replaced whole (a
// temporary file renamed over it), so a reader never sees half of it.
// Thread contract: free of shared state; any thread.
class StatusFile {
 public:
  enum class Found { kNone, kStale, kLive };

  // $XDG_RUNTIME_DIR/tandrel (created 0700), else a private folder below
  // /tmp; empty when the folder is not this user's own.
  static std::string Dir();
  // Empty when Dir is.
  static std::string PathFor(const std::string& user);
  static bool Publish(const SyncStatus::Snapshot& snapshot);
  // kLive when the file names a process that still runs and its mount point
  // is mounted; kStale for the leftover of a process that died.
  static Found Read(const std::string& user, SyncStatus::Snapshot& snapshot);
  // Whether pid names a running process (one that ended unreaped is not).
  static bool ProcessAlive(long pid);
  // Removes the account's file if this process wrote it.
  static void Remove(const std::string& user);
};

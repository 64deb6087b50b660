#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

// The drive paths of files open for writing through the drive, as the drive
// reports them: the refresh leaves their cached copies alone until the last
// close (a remote change to such a file waits, then both versions are kept).
// Thread contract: any thread; mutex_ guards paths_ (a leaf lock).
class OpenWrites {
 public:
  void Add(const std::string& path);
  void Remove(const std::string& path);
  // Re-keys path and every path below it (a folder moved).
  void Rename(const std::string& old_path, const std::string& new_path);
  void Clear();
  bool Contains(const std::string& path) const;
  // Whether any of paths is open for writing.
  bool AnyOf(const std::vector<std::string>& paths) const;

 private:
  mutable std::mutex mutex_;
  std::multiset<std::string> paths_;  // guarded by mutex_
};

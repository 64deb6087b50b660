#pragma once

#include <map>
#include <mutex>
#include <string>

#include "store/DriveEntry.h"

// The drive's namespace in memory: folder full name ("\" for the root,
// "\a\b\" below it) -> the folder's children by name.
// Thread contract: guarded by mutex_ (a leaf lock: nothing else is taken while
// it is held). Readers get copies, so a caller never holds a reference into a
// map that the refresh thread is replacing.
class FolderCache {
 public:
  using Entries = std::map<std::string, DriveEntry>;
  using Tree = std::map<std::string, Entries>;

  FolderCache() = default;
  FolderCache(const FolderCache&) = delete;
  FolderCache& operator=(const FolderCache&) = delete;

  // False when no folder is known at all (the cache was never filled).
  bool HasFolders() const;
  bool HasFolder(const std::string& full_name) const;
  // A copy of the folder's children; false when the folder is unknown.
  bool GetFolder(const std::string& full_name, Entries& out) const;
  bool GetEntry(const std::string& full_name, const std::string& name, DriveEntry& out) const;
  // The folder's subfolders, counted without a copy; 0 when it is unknown.
  int CountSubfolders(const std::string& full_name) const;
  Tree Snapshot() const;

  // Creates the folder's map when missing, then creates or replaces the entry.
  void PutEntry(const std::string& full_name, const DriveEntry& entry);
  void RemoveEntry(const std::string& full_name, const std::string& name);
  void SetFolder(const std::string& full_name, Entries entries);
  void RemoveFolder(const std::string& full_name);
  // Installs a whole rebuilt namespace in one step.
  void ReplaceAll(Tree tree);
  void Clear();

 private:
  mutable std::mutex mutex_;
  Tree tree_;  // guarded by mutex_
};

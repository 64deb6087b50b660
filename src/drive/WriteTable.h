#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/RunningMd5.h"
#include "platform/UniqueFd.h"
#include "sync/OpenWrites.h"

// The files being written through the drive: drive path -> the open local
// copy in the cache directory and what closing it must do. Each entry owns
// its copy's descriptor: entries move, never copy.
// Thread contract: the drive's requests only, one at a time (DispatchGate).
// The paths are mirrored into an OpenWrites (thread-safe) that the sync engine reads.
class WriteTable {
 public:
  struct Entry {
    UniqueFd fd;
    std::set<const void*> writers;  // open handles that may write
    bool created = false;           // made by the drive: recorded with SyncAddFile
    bool modified = false;          // an edit that changed bytes: SyncReplaceFile
    bool unlinked = false;          // deleted while open: nothing is recorded
    bool too_large = false;         // a write crossed the size limit
    bool time_set = false;          // a time was set on the copy through the drive
    // Where the copy lives and is recorded, when not at its own path: a new
    // file made under a name whose content is still downloading becomes a
    // conflict copy beside it.
    std::string record_as;
    // The copy's digest as its bytes arrive.
    std::unique_ptr<RunningMd5> digest = std::make_unique<RunningMd5>();
  };

  WriteTable() = default;
  explicit WriteTable(OpenWrites* mirror) : mirror_(mirror) {}
  ~WriteTable();
  WriteTable(const WriteTable&) = delete;
  WriteTable& operator=(const WriteTable&) = delete;

  bool Has(const std::string& path) const { return entries_.count(path) != 0; }
  Entry* Find(const std::string& path);
  Entry& Add(const std::string& path, UniqueFd fd, bool created);
  // The entry's copy lives and is recorded at record_as (a drive path).
  void SetRecordAs(const std::string& path, const std::string& record_as);
  // handle may write path (which must be in the table).
  void AddWriter(const std::string& path, const void* handle);
  // The path whose writers hold handle; false when none does.
  bool FindWriter(const void* handle, std::string& path) const;
  // The entry handle writes, whatever its path is now; null when none.
  Entry* FindByWriter(const void* handle);
  // handle stops writing; true with its path when it was the entry's last.
  bool RemoveWriter(const void* handle, std::string& path);
  // Closes the local file and forgets the path.
  void Remove(const std::string& path);
  // Forgets the path (which must be in the table) and hands out its entry,
  // the local file still open.
  Entry Take(const std::string& path);
  // Re-keys path, and every path below it when it is a folder.
  void Rename(const std::string& old_path, const std::string& new_path);
  // True when some path lies below the folder path.
  bool HasBelow(const std::string& folder_path) const;
  // Closes everything (the mount ended with handles still open).
  void Clear();
  size_t Size() const { return entries_.size(); }
  std::map<std::string, Entry>& entries() { return entries_; }

 private:
  static std::string MirroredPath(const std::string& path, const Entry& entry);

  std::map<std::string, Entry> entries_;
  std::map<const void*, std::string> writer_paths_;  // handle -> key in entries_
  OpenWrites* mirror_ = nullptr;
};

#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <string>

#include "drive/WriteTable.h"
#include "platform/UniqueFd.h"
#include "store/AccountRecord.h"
#include "store/DriveEntry.h"
#include "store/MetaStore.h"

class FolderCache;
class SyncEngine;

// The drive's shared in-memory data (current account, namespace cache, sync
// engine, WriteTable) and the operations its callbacks share: Lookup, Stat,
// Create for writing, Write, Read and Close for upload.
// Thread contract: Bind before the mount and unbind after it ended; every
// other member from the drive's requests, one at a time (DispatchGate).
// Fetch opens the gate while content comes from the mailbox: whatever a
// request looked up before a fetch is looked up again after it.
// FolderCache guards itself.
class DriveContext {
 public:
  static constexpr uint64_t kNewFileMark = 10;  // the handle created the file
  static constexpr uint64_t kEditMark = 11;     // the handle may write an existing file
  // A file's part count travels in a signed 32-bit field.
  static constexpr int64_t kMaxFileSize = int64_t{MetaStore::kPartSize} * INT32_MAX;
  static constexpr size_t kMaxNameBytes = 255;
  // Times travel in signed 32-bit fields.
  static constexpr uint64_t kMaxTime = 2147483647;

  // Kinds as Lookup reports them.
  static constexpr int kMissing = -1;
  static constexpr int kFile = 1;
  static constexpr int kFolder = 2;

  DriveContext(SyncEngine& engine, FolderCache& cache, const AccountRecord& account);
  ~DriveContext();
  DriveContext(const DriveContext&) = delete;
  DriveContext& operator=(const DriveContext&) = delete;

  // The context the callbacks serve; null when none is bound.
  static DriveContext* Current();
  static void Bind(DriveContext* context);

  SyncEngine& engine() { return engine_; }
  FolderCache& cache() { return cache_; }
  WriteTable& table() { return table_; }
  const AccountRecord& account() const { return account_; }
  const std::string& cache_root() const { return cache_root_; }
  // The local file of a drive path, native form.
  std::string LocalPath(const std::string& path) const;

  int Lookup(const std::string& path);
  // The entry of path; a folder's time is that of its local folder.
  bool Stat(const std::string& path, DriveEntry& out);
  // The file open through handle, from the handle alone: its path may be
  // gone (unlinked while open).
  bool StatHandle(const void* handle, DriveEntry& out);
  // Bytes of the file at path on this machine's disk (du's blocks): on
  // demand those of its cached copy, else UINT64_MAX (all of it).
  uint64_t HeldBytes(const std::string& path);
  // Subfolders directly in the folder path.
  int CountSubfolders(const std::string& path) const;
  // 0, or the negated code refusing name as a new entry's name.
  static int CheckNewName(const std::string& path);
  // 0, or DRIVE_NAME_TOO_LONG when path's local copy, with below more bytes
  // of the deepest path inside it, would pass the system's path limit.
  int CheckLocalDepth(const std::string& path, size_t below = 0) const;
  // The length of the longest path below the folder path, relative to it.
  size_t DeepestBelow(const std::string& path) const;
  // The folder part of a drive path exists as a folder.
  bool ParentExists(const std::string& path);

  // A new local copy for path; the handle is counted as a writer. 0 or a
  // negated code.
  int CreateForWriting(const std::string& path, const void* handle);
  // An existing file opened for writing: edits its cached copy. 0 or a
  // negated code (busy while its content is not in the cache).
  int OpenForEdit(const std::string& path, bool truncate, const void* handle);
  // A file opened for reading takes its own descriptor of the cached copy at
  // once, so it reads on after an unlink; without a cached copy yet, the
  // first read opens it.
  void OpenForRead(const std::string& path, const void* handle);
  // Handle operations: the handle's own file first, the path (possibly
  // empty) only for a handle that holds none.
  int Write(const std::string& path, const void* handle, const char* buffer, uint32_t length,
            int64_t offset, bool to_end, uint32_t& written);
  // Reads through the handle's own descriptor of the local copy, kept until
  // ReleaseHandle: one open per handle keeps the kernel's read-ahead going.
  // On demand, bytes not cached are fetched first. 0 or a negated code.
  int Read(const std::string& path, const void* handle, char* buffer, uint32_t length,
            int64_t offset, uint32_t& read);
  void ReleaseHandle(const void* handle);
  int Truncate(const std::string& path, const void* handle, int64_t length);
  // Puts the local copy of a file being written on the disk.
  bool SyncToDisk(const std::string& path, const void* handle);
  // Sets the modification time (seconds; 0 leaves it): kept in the store
  // for a file, on the local folder for a folder.
  int SetTime(const std::string& path, const void* handle, uint64_t time);
  // The handle stops writing; the last one records the file with the sync
  // engine. False when recording failed.
  bool CloseForUpload(const void* handle);
  // A close(2) returns at its flush, before the release: a new or changed
  // file is recorded here already, so a process killed in between loses
  // nothing a close returned for. Writes after it record again at the
  // release. False when recording failed (the release tries again).
  bool FlushForUpload(const void* handle);
  // A path being written goes away: nothing of it is recorded.
  void ForgetWritten(const std::string& path);
  // Records every file still held open (the mount ended under them).
  void FinishAll();

 private:
  // Stat without the folder's time: no system call for a folder.
  bool Find(const std::string& path, DriveEntry& out);
  // The entry the handle writes, else the one being written at path.
  WriteTable::Entry* Written(const std::string& path, const void* handle);
  uint64_t FolderTime(const std::string& path) const;
  bool ContentCached(const std::string& path);
  bool Finish(const std::string& key, const WriteTable::Entry& entry);
  // A conflict name beside path that nothing holds yet.
  std::string FreeConflictPath(const std::string& path);

  SyncEngine& engine_;
  FolderCache& cache_;
  AccountRecord account_;
  std::string cache_root_;
  WriteTable table_;  // after engine_, whose OpenWrites it mirrors into
  unsigned forgotten_ = 0;
  uint64_t mounted_at_ = 0;  // a folder's time when its local folder is missing
  // A handle's own descriptor of the local copy it reads, and the path it
  // was opened under.
  struct Reader {
    std::string path;
    UniqueFd fd;
    bool complete = false;  // every byte is cached: nothing left to fetch
    // On demand: bytes known here, while the cache's eviction count stays.
    int64_t ready_from = 0, ready_to = 0;
    uint64_t evictions = 0;
  };
  std::map<const void*, Reader> readers_;
  // Handles open for reading, by the path they hold from eviction.
  std::map<const void*, std::string> reading_;
  // On demand: bytes [offset, offset + length) of path fetched into its
  // cached copy. 0 or a negated code; complete when the whole file is here.
  int Fetch(const std::string& path, int64_t offset, int64_t length, bool& complete,
            int64_t* ready_to = nullptr);
};

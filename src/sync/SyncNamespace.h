#pragma once

#include <memory>
#include <set>
#include <string>

#include "store/FileRecord.h"

class MetaStore;
class SyncContext;
class SyncQueries;

// The drive-side namespace operations behind SyncEngine's Sync* entry
// points: new and edited files, deletes, new folders, moves and file times,
// applied to the store, the cache directory and the folder cache; and the
// folder cache's rebuild from the store, which the refresh asks for too.
// Thread contract: the public operations run on the drive's threads (Rebuild
// on the refresh thread) and take the context's namespace_mutex themselves;
// the *Locked helpers, CountChange and RecordUnrecorded are also called by
// the task and refresh threads, always with namespace_mutex held. count_owed_ and unrecorded_ are guarded by
// namespace_mutex, and so are store_ and queries_: the drive's operations
// share one kept-open pair of store connections, each operation's change
// committed before it returns. Lock order: namespace_mutex, then
// FolderCache's own.
class SyncNamespace {
 public:
  explicit SyncNamespace(SyncContext& context);
  ~SyncNamespace();
  SyncNamespace(const SyncNamespace&) = delete;
  SyncNamespace& operator=(const SyncNamespace&) = delete;

  // Paths are drive paths rooted at "\" without a trailing backslash. A
  // file whose recording failed is recorded again by the task step. md5,
  // when not empty, is the copy's digest taken as it was written.
  bool AddFile(const std::string& path, const std::string& md5 = "");
  bool ReplaceFile(const std::string& path, const std::string& md5 = "");
  bool DeleteFile(const std::string& path);
  bool AddFolder(const std::string& path);
  bool DeleteFolder(const std::string& path);
  bool MoveFile(const std::string& old_path, const std::string& new_path);
  bool MoveFolder(const std::string& old_path, const std::string& new_path);
  bool SetFileTime(const std::string& path, int time);
  bool ContentCached(const std::string& path);
  // The store holds a file at path (shown, or still downloading).
  bool NameTaken(const std::string& path);
  // The folder cache made again from the store. A file shows once every
  // part is here: one still downloading would read as zeros.
  bool Rebuild();
  bool RebuildLocked();

  // The caller holds namespace_mutex.
  bool AddFileLocked(MetaStore& store, const std::string& path, const std::string& md5 = "");
  // Counts one change of the tree (AddUpFolderCount); when the store fails,
  // the count is owed and the task step pays it, so the change is still
  // published. The caller holds namespace_mutex.
  void CountChange(MetaStore& store);
  // Records again the files whose recording failed at their close; the
  // caller holds namespace_mutex.
  void RecordUnrecorded(MetaStore& store);

 private:
  // The digest, size and time of record.cache_path: md5 when given, else
  // read from the copy.
  static bool TakeDigest(FileRecord& record, const std::string& md5);
  // After a move's rows: the cached copy follows them, the change is
  // counted and the folder cache rebuilt.
  void FinishMove(MetaStore& store, const std::string& new_parent, const std::string& old_path,
                  const std::string& new_path);
  // Runs body(store, queries) on the kept-open handles under
  // namespace_mutex; a failed body drops them, so the next operation opens
  // afresh (a data directory made since, a connection gone bad).
  template <typename Body>
  bool WithStore(Body body);

  SyncContext& context_;
  // A tree change whose count the store refused, and the drive paths of
  // closed files the store did not record (their cached copies wait for the
  // task step).
  bool count_owed_ = false;
  std::set<std::string> unrecorded_;
  std::unique_ptr<MetaStore> store_;
  std::unique_ptr<SyncQueries> queries_;
};

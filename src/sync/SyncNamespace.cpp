// The drive side of the engine: new and edited files, deletes, new folders
// and moves, applied to the store, the cache directory and the folder cache.
// None of them talks to the server; each counts one change of the tree.
#include "sync/SyncNamespace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/ContentCache.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/SyncContext.h"

namespace {

CLog* Log() { return CLog::Instance(); }

DriveEntry FolderEntry(const std::string& name) {
  DriveEntry entry;
  entry.name = name;
  entry.kind = DriveEntry::kFolder;
  return entry;
}

// Splits a drive path and checks that its last name may travel.
bool SplitDrivePath(const std::string& path, std::string& folder, std::string& name) {
  return SplitPath(path, folder, name) && !folder.empty() && folder.front() == '\\' &&
         FolderIndex::IsSafeName(name);
}

}  // namespace

SyncNamespace::SyncNamespace(SyncContext& context) : context_(context) {}

SyncNamespace::~SyncNamespace() = default;

// Opening a store costs several times its commit (WAL, synchronous=NORMAL),
// so the handles stay open between operations; each operation still commits
// its change before it returns, and holds no transaction in between, so the
// other threads' handles read and write as before.
template <typename Body>
bool SyncNamespace::WithStore(Body body) {
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  if (!store_) store_ = std::make_unique<MetaStore>(context_.data_dir);
  if (!queries_) queries_ = std::make_unique<SyncQueries>(context_.data_dir, context_.account.user);
  bool ok = body(*store_, *queries_);
  if (!ok) {
    store_.reset();
    queries_.reset();
  }
  return ok;
}

bool SyncNamespace::AddFile(const std::string& path, const std::string& md5) {
  return WithStore([&](MetaStore& store, SyncQueries&) {
    if (AddFileLocked(store, path, md5)) return true;
    unrecorded_.insert(path);
    return false;
  });
}

bool SyncNamespace::ReplaceFile(const std::string& path, const std::string& md5) {
  return AddFile(path, md5);
}

void SyncNamespace::CountChange(MetaStore& store) {
  if (store.AddUpFolderCount()) return;
  Log()->Write(LOG_WARNING, "change of the folder tree not counted yet");
  count_owed_ = true;
}

void SyncNamespace::RecordUnrecorded(MetaStore& store) {
  if (count_owed_ && store.AddUpFolderCount()) count_owed_ = false;
  for (auto it = unrecorded_.begin(); it != unrecorded_.end();) {
    std::string cache = context_.CacheRoot(store);
    // A copy gone since (deleted, moved) has nothing left to record.
    bool gone = cache.empty() || !FileExists(cache + *it);
    if (gone || AddFileLocked(store, *it)) {
      it = unrecorded_.erase(it);
    } else {
      ++it;
    }
  }
}

bool SyncNamespace::AddFileLocked(MetaStore& store, const std::string& path,
                                  const std::string& md5) {
  std::string folder, name;
  if (!SplitDrivePath(path, folder, name)) return false;
  int folder_id = 0;
  if (!store.GetFolderId(folder, folder_id)) return false;
  std::string cache = context_.CacheRoot(store);
  if (cache.empty()) return false;

  FileRecord record;
  record.cache_path = cache + path;
  if (!TakeDigest(record, md5)) return false;
  record.name = name;
  record.from = record.to = context_.account.user;
  record.stat = PartState::kAwaitingUpload;
  record.folder_id = folder_id;

  // A name that the store already holds is an edit, whatever the caller
  // said: a second row of the same name would make the path ambiguous.
  int old_id = 0;
  bool exists = store.GetFileId(folder_id, name, old_id);
  if (exists) {
    SyncQueries queries(context_.data_dir, context_.account.user);
    // The content replaced stays as a version, when its messages are up.
    FileRecord old;
    KeptRecord version;
    bool keep = store.GetFileInfo(path, old);
    if (keep) version = context_.KeepAs(KeptKind::kVersion, old, path);
    if (!queries.ReplaceFileContent(old_id, record, keep ? &version : nullptr)) return false;
    context_.content->Forget(old_id);
    CountChange(store);
  } else {
    if (!store.AddFile(record, true)) return false;
  }
  DriveEntry entry;
  entry.name = name;
  entry.kind = DriveEntry::kFile;
  entry.SetSize(static_cast<uint64_t>(record.total_size));
  entry.SetTime(static_cast<uint32_t>(record.time));
  context_.cache->PutEntry(folder, entry);
  return true;
}

bool SyncNamespace::TakeDigest(FileRecord& record, const std::string& md5) {
  struct stat st {};
  if (md5.empty()) {
    if (!GetFileMd5(record.cache_path, record.total_size, record.time, record.md5)) return false;
  } else {
    // The drive's digest of the bytes written; the size is the copy's now.
    if (::stat(NativePath(record.cache_path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return false;
    }
    record.total_size = st.st_size;
    record.md5 = md5;
    record.time = static_cast<int>(static_cast<uint32_t>(::time(nullptr)));
  }
  // The file's time is its copy's: the last write, or a time set on it
  // through the drive before the close (cp -p).
  if (::stat(NativePath(record.cache_path).c_str(), &st) == 0 && st.st_mtime > 0) {
    record.time = static_cast<int>(std::min<time_t>(st.st_mtime, INT_MAX));
  }
  return true;
}

bool SyncNamespace::SetFileTime(const std::string& path, int time) {
  std::string folder, name;
  if (!SplitPath(path, folder, name)) return false;
  return WithStore([&](MetaStore& store, SyncQueries& queries) {
    FileRecord record;
    if (!store.GetFileInfo(path, record)) return false;
    if (!queries.SetFileTime(record.file_id, time)) return false;
    DriveEntry entry;
    if (context_.cache->GetEntry(folder, name, entry)) {
      entry.SetTime(static_cast<uint32_t>(time));
      context_.cache->PutEntry(folder, entry);
    }
    std::string cache = context_.CacheRoot(store);
    if (!cache.empty()) {
      // The copy's own time follows, for a later re-recording of it.
      struct timespec times[2] = {{time, 0}, {time, 0}};
      ::utimensat(AT_FDCWD, NativePath(cache + path).c_str(), times, 0);
    }
    return true;
  });
}

bool SyncNamespace::DeleteFile(const std::string& path) {
  Log()->Write(LOG_INFO, "begin delete file %s", path.c_str());
  return WithStore([&](MetaStore& store, SyncQueries& queries) {
    std::string folder, name;
    if (!SplitPath(path, folder, name)) return false;
    FileRecord record;
    if (!store.GetFileInfo(path, record)) return false;
    // The rows and the count of the change in one commit; the content
    // stays in the trash when its messages are up.
    KeptRecord trash = context_.KeepAs(KeptKind::kTrash, record, path);
    if (!queries.MarkFileDeleted(record.file_id, true, &trash)) {
      Log()->Write(LOG_INFO, "SetFileStat 3 err,fn %s", path.c_str());
      return false;
    }
    context_.content->Forget(record.file_id);
    context_.cache->RemoveEntry(folder, name);
    std::string cache = context_.CacheRoot(store);
    if (!cache.empty()) ::unlink(NativePath(cache + path).c_str());
    return true;
  });
}

bool SyncNamespace::AddFolder(const std::string& path) {
  Log()->Write(LOG_INFO, "begin add folder %s", path.c_str());
  return WithStore([&](MetaStore& store, SyncQueries&) {
    std::string parent, name;
    if (!SplitDrivePath(path, parent, name)) return false;
    FolderRecord record;
    int existing = 0;
    if (!store.GetFolderId(parent, record.parent_id) || store.GetFolderId(path + "\\", existing)) {
      Log()->Write(LOG_INFO, " add folder %s error", path.c_str());
      return false;
    }
    record.name = name;
    if (!store.AddFolder(record) || !store.GetFolderId(path + "\\", existing)) {
      Log()->Write(LOG_INFO, " add folder %s error", path.c_str());
      return false;
    }
    CountChange(store);
    context_.cache->SetFolder(path + "\\", {});
    context_.cache->PutEntry(parent, FolderEntry(name));
    std::string cache = context_.CacheRoot(store);
    if (!cache.empty()) MakeDir(cache + path);
    return true;
  });
}

bool SyncNamespace::DeleteFolder(const std::string& path) {
  Log()->Write(LOG_INFO, "begin del folder %s", path.c_str());
  std::string parent, name;
  if (!SplitPath(path, parent, name)) return false;
  return WithStore([&](MetaStore& store, SyncQueries&) {
    // Only an empty folder goes: rows below a vanished folder would lose
    // their place in the tree, and their files with it.
    int id = 0;
    std::vector<FolderRecord> subs;
    std::map<int, FileRecord> files;
    if (!store.GetFolderId(path + "\\", id) || !store.GetSubFolders(path + "\\", subs) ||
        !store.GetAllFiles(files) || id == 0) {
      Log()->Write(LOG_INFO, " del folder %s error", path.c_str());
      return false;
    }
    bool has_files = false;
    for (const auto& [file_id, file] : files) has_files = has_files || file.folder_id == id;
    if (!subs.empty() || has_files || !store.DelFolder(path) ||
        store.GetFolderId(path + "\\", id)) {
      Log()->Write(LOG_INFO, " del folder %s error", path.c_str());
      return false;
    }
    CountChange(store);
    context_.cache->RemoveFolder(path + "\\");
    context_.cache->RemoveEntry(parent, name);
    std::string cache = context_.CacheRoot(store);
    if (!cache.empty()) ::rmdir(NativePath(cache + path).c_str());
    return true;
  });
}

bool SyncNamespace::MoveFile(const std::string& old_path, const std::string& new_path) {
  Log()->Write(LOG_INFO, "begin move file %s to %s", old_path.c_str(), new_path.c_str());
  std::string old_folder, old_name, new_folder, new_name;
  if (!SplitPath(old_path, old_folder, old_name) ||
      !SplitDrivePath(new_path, new_folder, new_name)) {
    return false;
  }
  return WithStore([&](MetaStore& store, SyncQueries&) {
    DriveEntry entry;
    if (!context_.cache->GetEntry(old_folder, old_name, entry)) return false;
    // The target name must be free: the drive deletes a file it replaces first.
    FileRecord existing;
    if (old_path != new_path && store.GetFileInfo(new_path, existing)) {
      Log()->Write(LOG_INFO, "move file %s to %s err", old_path.c_str(), new_path.c_str());
      return false;
    }
    if (!store.RenameFile(old_path, new_path)) {
      Log()->Write(LOG_INFO, "move file %s to %s err", old_path.c_str(), new_path.c_str());
      return false;
    }
    FinishMove(store, new_folder, old_path, new_path);
    return true;
  });
}

bool SyncNamespace::MoveFolder(const std::string& old_path, const std::string& new_path) {
  Log()->Write(LOG_INFO, "begin move folder %s to %s", old_path.c_str(), new_path.c_str());
  std::string old_parent, old_name, new_parent, new_name;
  if (!SplitPath(old_path, old_parent, old_name) ||
      !SplitDrivePath(new_path, new_parent, new_name)) {
    return false;
  }
  return WithStore([&](MetaStore& store, SyncQueries&) {
    if (!context_.cache->HasFolder(old_path + "\\")) return false;
    if (!store.RenameFolder(old_path, new_path)) {
      Log()->Write(LOG_INFO, "move folder %s to %s err", old_path.c_str(), new_path.c_str());
      return false;
    }
    FinishMove(store, new_parent, old_path, new_path);
    return true;
  });
}

void SyncNamespace::FinishMove(MetaStore& store, const std::string& new_parent,
                               const std::string& old_path, const std::string& new_path) {
  std::string cache = context_.CacheRoot(store);
  if (!cache.empty()) {
    MakeDir(cache + new_parent);
    MoveByShell(cache + new_path, cache + old_path);
  }
  CountChange(store);
  RebuildLocked();
}

bool SyncNamespace::NameTaken(const std::string& path) {
  std::string folder, name;
  if (!SplitPath(path, folder, name)) return false;
  bool taken = false;
  WithStore([&](MetaStore& store, SyncQueries&) {
    int folder_id = 0, file_id = 0;
    taken = store.GetFolderId(folder, folder_id) && store.GetFileId(folder_id, name, file_id);
    return true;
  });
  return taken;
}

bool SyncNamespace::ContentCached(const std::string& path) {
  MetaStore store(context_.data_dir);
  FileRecord record;
  if (!store.GetFileInfo(path, record)) return false;
  SyncQueries queries(context_.data_dir, context_.account.user);
  for (int part = 1; part <= record.total_part; ++part) {
    SyncQueries::PartRow row;
    bool found = false;
    if (!queries.GetPart(record.file_id, part, row, found) || !found ||
        row.stat == PartState::kAwaitingDownload) {
      return false;
    }
  }
  return true;
}

bool SyncNamespace::Rebuild() {
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  return RebuildLocked();
}

bool SyncNamespace::RebuildLocked() {
  MetaStore store(context_.data_dir);
  SyncQueries queries(context_.data_dir, context_.account.user);
  const bool on_demand = context_.content->OnDemand();
  // A file shows once every part is here: one still downloading, or one
  // whose message was never seen, would read as zeros. On demand, a file
  // shows once every part is known: its bytes come when read.
  std::set<int> incomplete;
  if (!queries.IncompleteFiles(on_demand, incomplete)) return false;
  FolderCache::Tree tree;
  std::vector<std::string> pending{"\\"};
  std::set<std::string> seen;
  while (!pending.empty()) {
    std::string full = pending.back();
    pending.pop_back();
    if (!seen.insert(full).second) continue;
    std::vector<FolderRecord> subs;
    std::vector<DriveEntry> files;
    if (!store.GetSubFolders(full, subs) || !store.GetFolderEntries(full, files, on_demand)) {
      return false;
    }
    FolderCache::Entries entries;
    for (const auto& entry : files) entries[entry.name] = entry;
    std::vector<std::string> children;
    for (const auto& sub : subs) {
      DriveEntry entry;
      entry.name = sub.name;
      entry.kind = DriveEntry::kFolder;
      entries[sub.name] = entry;
      children.push_back(full + sub.name + "\\");
    }
    tree[full] = std::move(entries);
    // Depth first in ascending name order.
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  if (!incomplete.empty()) {
    // GetFolderEntries gives no file id: hide by name through ftable.
    std::map<int, FileRecord> files;
    std::map<std::string, FolderRecord> folders;
    store.GetAllFiles(files);
    store.GetAllFolders(folders);
    std::map<int, std::string> full_of;
    for (const auto& [full, f] : folders) full_of[f.id] = full;
    for (int id : incomplete) {
      auto file = files.find(id);
      if (file == files.end() || full_of.count(file->second.folder_id) == 0) continue;
      auto folder = tree.find(full_of[file->second.folder_id]);
      if (folder == tree.end()) continue;
      auto entry = folder->second.find(file->second.name);
      if (entry != folder->second.end() && entry->second.kind == DriveEntry::kFile) {
        folder->second.erase(entry);
      }
    }
  }
  context_.cache->ReplaceAll(std::move(tree));
  return true;
}

// The folder and namespace callbacks: listings from the folder cache, every
// change handed to one of the sync engine's operations.
#include <unistd.h>

#include "drive/DriveCallbacks.h"
#include "drive/DriveContext.h"
#include "drive/DriveErrors.h"
#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"

namespace {

CLog* Log() { return CLog::Instance(); }

std::string ListingKey(const std::string& path) { return path == "\\" ? path : path + "\\"; }

// Deletes a file as DeleteFile does; a file still being written is dropped
// with its local copy. Handles open on it keep their descriptors.
int RemoveFile(DriveContext& drive, const std::string& path) {
  WriteTable::Entry* entry = drive.table().Find(path);
  if (entry != nullptr && entry->created) {
    ::unlink(drive.LocalPath(path).c_str());
    drive.ForgetWritten(path);
    return 0;
  }
  int kind = drive.Lookup(path);
  if (kind == DriveContext::kMissing) return DRIVE_FILE_NOT_FOUND;
  if (kind == DriveContext::kFolder) return DRIVE_IS_A_FOLDER;
  if (!drive.engine().SyncDeleteFile(path)) return DRIVE_GENERAL_FAILURE;
  drive.ForgetWritten(path);
  return 0;
}

// Deletes an empty folder as DeleteDirectory does.
int RemoveFolder(DriveContext& drive, const std::string& path) {
  if (path == "\\") return DRIVE_ACCESS_DENIED;
  int kind = drive.Lookup(path);
  if (kind == DriveContext::kMissing) return DRIVE_FILE_NOT_FOUND;
  if (kind == DriveContext::kFile) return DRIVE_NOT_A_FOLDER;
  FolderCache::Entries entries;
  if ((drive.cache().GetFolder(ListingKey(path), entries) && !entries.empty()) ||
      drive.table().HasBelow(path)) {
    // Its files would lose their place in the store.
    return DRIVE_DIR_NOT_EMPTY;
  }
  return drive.engine().SyncDeleteFolder(path) ? 0 : DRIVE_GENERAL_FAILURE;
}

// What rename(2) says of an existing target: a file replaces a file, a
// folder an empty folder; 0 once the target is gone.
int ClearTarget(DriveContext& drive, int kind, const std::string& new_path, bool replace) {
  int target = drive.Lookup(new_path);
  if (target == DriveContext::kMissing) return 0;
  if (!replace) return DRIVE_ALREADY_EXISTS;
  if (kind == DriveContext::kFile && target == DriveContext::kFolder) return DRIVE_IS_A_FOLDER;
  if (kind == DriveContext::kFolder && target == DriveContext::kFile) return DRIVE_NOT_A_FOLDER;
  return target == DriveContext::kFile ? RemoveFile(drive, new_path)
                                       : RemoveFolder(drive, new_path);
}

int Move(DriveContext& drive, const std::string& path, const std::string& new_path, bool replace) {
  int kind = drive.Lookup(path);
  if (kind == DriveContext::kMissing) return DRIVE_FILE_NOT_FOUND;
  if (path == new_path) return 0;
  if (int refused = DriveContext::CheckNewName(new_path); refused != 0) return refused;
  if (!drive.ParentExists(new_path)) return DRIVE_PATH_NOT_FOUND;
  if (kind == DriveContext::kFolder && new_path.rfind(path + "\\", 0) == 0) {
    return DRIVE_INVALID_PARAMETER;  // into itself
  }
  size_t below = kind == DriveContext::kFolder ? drive.DeepestBelow(path) : 0;
  if (int refused = drive.CheckLocalDepth(new_path, below); refused != 0) return refused;
  if (int rc = ClearTarget(drive, kind, new_path, replace); rc != 0) return rc;
  WriteTable::Entry* entry = drive.table().Find(path);
  if (entry != nullptr && entry->created) {
    // Not recorded yet: only the local copy moves; its handles stay valid.
    if (::rename(drive.LocalPath(path).c_str(), drive.LocalPath(new_path).c_str()) != 0) {
      return DRIVE_GENERAL_FAILURE;
    }
    drive.table().Rename(path, new_path);
    return 0;
  }
  bool ok = kind == DriveContext::kFile ? drive.engine().SyncMoveFile(path, new_path)
                                        : drive.engine().SyncMoveFolder(path, new_path);
  if (!ok) return DRIVE_GENERAL_FAILURE;
  drive.table().Rename(path, new_path);
  return 0;
}

}  // namespace

int DriveCallbacks::OpenDirectory(const std::string& path, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "OpenDirectory  fn=%s", path.c_str());
  DriveContext* drive = DriveContext::Current();
  if (drive != nullptr && drive->Lookup(path) == DriveContext::kFolder) info->is_directory = true;
  return 0;
}

int DriveCallbacks::CreateDirectory(const std::string& path, DriveFileInfo*) {
  if (path == "\\") return 1;
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  if (drive->Lookup(path) != DriveContext::kMissing) {
    Log()->Write(LOG_ERROR, "CreateDirectory err, %s exist", path.c_str());
    return DRIVE_FILE_EXISTS;
  }
  if (int refused = DriveContext::CheckNewName(path); refused != 0) return refused;
  if (!drive->ParentExists(path)) return DRIVE_PATH_NOT_FOUND;
  if (int refused = drive->CheckLocalDepth(path); refused != 0) return refused;
  if (!drive->engine().SyncAddFolder(path)) {
    Log()->Write(LOG_ERROR, "CreateDirectory err:%s", path.c_str());
    return DRIVE_GENERAL_FAILURE;
  }
  Log()->Write(LOG_DEBUG, "CreateDirectory %s ok", path.c_str());
  return 0;
}

int DriveCallbacks::FindFiles(const std::string& path, const DriveFillFindData& fill,
                              DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "FindFiles fn=%s ", path.c_str());
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  if (path.empty()) return 0;  // a folder removed while open lists nothing
  FolderCache::Entries entries;
  std::string key = ListingKey(path);
  drive->cache().GetFolder(key, entries);
  // A file exists from its creation on: one still being written is listed
  // too (the kernel may ask for the listing before it reports the close).
  for (const auto& [written, open] : drive->table().entries()) {
    std::string folder, name;
    DriveEntry entry;
    if (SplitPath(written, folder, name) && folder == key && drive->Stat(written, entry)) {
      entries[name] = entry;
    }
  }
  for (const auto& [name, entry] : entries) {
    DriveFindData data;
    bool folder = entry.kind == DriveEntry::kFolder;
    data.attributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    uint64_t time = folder ? 0 : entry.Time();
    DriveEntry inner;
    if (folder && drive->Stat(key + name, inner)) time = inner.Time();
    data.creation_time = data.last_access_time = data.last_write_time = time;
    data.size = folder ? 0 : entry.Size();
    data.name = name;
    fill(data, info);
  }
  return 0;
}

int DriveCallbacks::DeleteFile(const std::string& path, DriveFileInfo*) {
  Log()->Write(LOG_DEBUG, "DeleteFile fn=%s ", path.c_str());
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  int rc = RemoveFile(*drive, path);
  if (rc != 0) Log()->Write(LOG_DEBUG, "DeleteFile fn=%s err", path.c_str());
  return rc;
}

int DriveCallbacks::DeleteDirectory(const std::string& path, DriveFileInfo*) {
  Log()->Write(LOG_DEBUG, "DeleteDirectory fn=%s", path.c_str());
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  int rc = RemoveFolder(*drive, path);
  if (rc != 0) Log()->Write(LOG_DEBUG, "DeleteDirectory fn=%s err", path.c_str());
  return rc;
}

int DriveCallbacks::MoveFile(const std::string& path, const std::string& new_path, bool replace,
                             DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "MoveFile srcfn=%s,dest=%s,breplace=%d,isdir=%d", path.c_str(),
               new_path.c_str(), replace ? 1 : 0, info->is_directory ? 1 : 0);
  DriveContext* drive = DriveContext::Current();
  int rc = drive == nullptr ? DRIVE_GENERAL_FAILURE : Move(*drive, path, new_path, replace);
  if (rc != 0) {
    Log()->Write(LOG_ERROR, "MoveFile srcfn=%s,dest=%s,breplace=%d,isdir=%d err", path.c_str(),
                 new_path.c_str(), replace ? 1 : 0, info->is_directory ? 1 : 0);
  }
  return rc;
}

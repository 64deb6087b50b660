// The file callbacks: contents from the cache directory, new and edited
// files through WriteTable, metadata from the folder cache.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "drive/DriveCallbacks.h"
#include "drive/DriveContext.h"
#include "drive/DriveErrors.h"
#include "log/CLog.h"
#include "platform/UniqueFd.h"

namespace {

CLog* Log() { return CLog::Instance(); }

// A test seam: with TANDREL_HOLD_RELEASE naming a file, the release of a
// written file makes that file and waits (a minute at most) until it is
// gone, so a test can kill the process between a close and its release.
void HoldReleaseForTest() {
  static const char* const marker = std::getenv("TANDREL_HOLD_RELEASE");
  if (marker == nullptr || *marker == '\0') return;
  UniqueFd made(::open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  made.Close();
  for (int i = 0; i < 600 && ::access(marker, F_OK) == 0; ++i) ::usleep(100000);
}

}  // namespace

int DriveCallbacks::CreateFile(const std::string& path, uint32_t desired_access,
                               uint32_t share_mode, int creation_disposition,
                               uint32_t flags_and_attributes, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG,
               "CreateFile fn=%s,DesiredAccess=%d,ShareMode:%d,FlagsAndAttributes:%d,"
               "CreationDisposition:%d,isdir=%d",
               path.c_str(), static_cast<int>(desired_access), static_cast<int>(share_mode),
               static_cast<int>(flags_and_attributes), creation_disposition,
               info->is_directory ? 1 : 0);
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  int kind = drive->Lookup(path);

  if (creation_disposition == CREATE_NEW) {
    if (kind != DriveContext::kMissing) {
      Log()->Write(LOG_ERROR, "CREATE_NEW err fn:%s exist", path.c_str());
      return DRIVE_FILE_EXISTS;
    }
    if (int refused = DriveContext::CheckNewName(path); refused != 0) return refused;
    if (!drive->ParentExists(path)) return DRIVE_PATH_NOT_FOUND;
    int rc = drive->CheckLocalDepth(path);
    if (rc == 0) rc = drive->CreateForWriting(path, info);
    if (rc != 0) {
      Log()->Write(LOG_ERROR, "CreateFile %s err", path.c_str());
      return rc;
    }
    info->context = DriveContext::kNewFileMark;
    return 0;
  }

  if (creation_disposition == OPEN_EXISTING) {
    if (kind == DriveContext::kMissing) {
      Log()->Write(LOG_ERROR, "GetFileType err fn:%s in CreateFile exist", path.c_str());
      return DRIVE_FILE_NOT_FOUND;
    }
    if (kind == DriveContext::kFile && (desired_access & GENERIC_WRITE) != 0) {
      int rc = drive->OpenForEdit(path, (info->open_flags & O_TRUNC) != 0, info);
      if (rc != 0) {
        Log()->Write(LOG_ERROR, "CreateFile %s err, content not cached", path.c_str());
        return rc;
      }
      info->context = DriveContext::kEditMark;
    } else if (kind == DriveContext::kFile) {
      drive->OpenForRead(path, info);
    }
    return 0;
  }
  return 0;
}

int DriveCallbacks::Cleanup(const std::string& path, DriveFileInfo*) {
  Log()->Write(LOG_DEBUG, "Cleanup :%s", path.c_str());
  return 0;
}

int DriveCallbacks::CloseFile(const std::string& path, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "CloseFile %s ok,fi.context=%d", path.c_str(),
               static_cast<int>(info->context));
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return 0;
  drive->ReleaseHandle(info);
  if (info->context == DriveContext::kNewFileMark || info->context == DriveContext::kEditMark) {
    HoldReleaseForTest();
    drive->CloseForUpload(info);
  }
  return 0;
}

int DriveCallbacks::ReadFile(const std::string& path, char* buffer, uint32_t length, uint32_t* read,
                             int64_t offset, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "ReadFile fn=%s,len=%d,off=%lld,isdir=%d begin", path.c_str(),
               static_cast<int>(length), static_cast<long long>(offset), info->is_directory ? 1 : 0);
  *read = 0;
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  if (info->is_directory || drive->Lookup(path) == DriveContext::kFolder) {
    Log()->Write(LOG_DEBUG, "ReadFile is directory,fn=%s", path.c_str());
    return DRIVE_GENERAL_FAILURE;
  }
  int rc = drive->Read(path, info, buffer, length, offset, *read);
  if (rc != 0) Log()->Write(LOG_ERROR, "ReadFile err,fn:%s", path.c_str());
  return rc;
}

int DriveCallbacks::WriteFile(const std::string& path, const char* buffer, uint32_t length,
                              uint32_t* written, int64_t offset, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "WriteFile fn=%s, len=%d, off=%lld,Wef=%d begin", path.c_str(),
               static_cast<int>(length), static_cast<long long>(offset), info->write_to_end ? 1 : 0);
  *written = 0;
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  int rc = drive->Write(path, info, buffer, length, offset, info->write_to_end, *written);
  if (rc != 0) Log()->Write(LOG_ERROR, "WriteFile err %s", path.c_str());
  return rc;
}

int DriveCallbacks::FlushFileBuffers(const std::string& path, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "FlushFileBuffers fn=%s", path.c_str());
  // An fsync must not report success while the only copy is still in
  // memory; a flush at close asks for nothing.
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr || info == nullptr) return 0;
  if (!info->sync_requested) {
    if (!drive->FlushForUpload(info)) Log()->Write(LOG_ERROR, "CloseFile %s err", path.c_str());
    return 0;
  }
  return drive->SyncToDisk(path, info) ? 0 : DRIVE_GENERAL_FAILURE;
}

int DriveCallbacks::GetFileInformation(const std::string& path, DriveFileInformation* out,
                                       DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "GetFileInformation fn=%s", path.c_str());
  DriveContext* drive = DriveContext::Current();
  DriveEntry entry;
  // The empty path: a file unlinked while open, known by its handle alone.
  bool found = drive != nullptr && (path.empty() ? drive->StatHandle(info, entry)
                                                 : drive->Stat(path, entry));
  if (!found) {
    Log()->Write(LOG_ERROR, "GetFileInfomation err:%s", path.c_str());
    return DRIVE_FILE_NOT_FOUND;
  }
  *out = DriveFileInformation();
  if (entry.kind == DriveEntry::kFolder) {
    out->attributes = FILE_ATTRIBUTE_DIRECTORY;
    out->link_count = 2 + static_cast<uint32_t>(drive->CountSubfolders(path));
  } else {
    out->attributes = FILE_ATTRIBUTE_ARCHIVE;
    out->size = entry.Size();
    if (!path.empty()) out->held = drive->HeldBytes(path);
  }
  out->creation_time = out->last_access_time = out->last_write_time = entry.Time();
  return 0;
}

int DriveCallbacks::SetFileAttributes(const std::string& path, uint32_t, DriveFileInfo*) {
  Log()->Write(LOG_DEBUG, "SetFileAttributes fn=%s", path.c_str());
  return 0;
}

int DriveCallbacks::SetFileTime(const std::string& path, uint64_t, uint64_t, uint64_t write,
                                DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "SetFileTime fn=%s", path.c_str());
  // The access time stays that of the last write: only the write time is kept.
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  int rc = drive->SetTime(path, info, write);
  if (rc != 0) Log()->Write(LOG_ERROR, "SetFileTime err %s", path.c_str());
  return rc;
}

int DriveCallbacks::SetEndOfFile(const std::string& path, int64_t length, DriveFileInfo* info) {
  Log()->Write(LOG_DEBUG, "SetEndOfFile fn=%s", path.c_str());
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  int rc = drive->Truncate(path, info, length);
  if (rc != 0) Log()->Write(LOG_ERROR, "SetEndOfFile err %s", path.c_str());
  return rc;
}

int DriveCallbacks::SetAllocationSize(const std::string& path, int64_t size, DriveFileInfo*) {
  Log()->Write(LOG_DEBUG, "SetAllocationSize fn=%s", path.c_str());
  return size > DriveContext::kMaxFileSize ? DRIVE_FILE_TOO_LARGE : 0;
}

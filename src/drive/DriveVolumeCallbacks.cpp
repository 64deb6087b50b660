// The volume callbacks and the callback table.
#include "drive/DriveCallbacks.h"
#include "drive/DriveContext.h"
#include "drive/DriveErrors.h"
#include "log/CLog.h"
#include "store/MetaStore.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"

int DriveCallbacks::GetDiskFreeSpace(uint64_t* free_available, uint64_t* total,
                                     uint64_t* total_free, DriveFileInfo*) {
  CLog::Instance()->Write(LOG_DEBUG, "GetDiskFreeSpace ");
  // The server's storage quota as the engine last heard it (never asked
  // from here: this thread does no network); without one, the fixed size
  // and what the store records.
  DriveContext* drive = DriveContext::Current();
  if (drive == nullptr) return DRIVE_GENERAL_FAILURE;
  SyncStatus::Snapshot status = drive->engine().Status().Take();
  int64_t used = 0;
  if (status.quota_limit > 0) {
    *total = static_cast<uint64_t>(status.quota_limit);
    used = status.quota_used;
  } else {
    *total = kTotalBytes;
    MetaStore store(drive->engine().DataDirectory());
    if (!store.GetUsedSpace(used)) used = 0;
  }
  // More used than the volume holds shows as full, not as a wrapped huge
  // free space.
  uint64_t used_bytes = used < 0 ? 0 : static_cast<uint64_t>(used);
  *free_available = *total_free = used_bytes >= *total ? 0 : *total - used_bytes;
  return 0;
}

int DriveCallbacks::GetVolumeInformation(std::string* volume_name, uint32_t* serial,
                                         uint32_t* max_component, uint32_t* fs_flags,
                                         std::string* fs_name, DriveFileInfo*) {
  *volume_name = kVolumeName;
  *serial = kSerial;
  *max_component = kMaxComponent;
  *fs_flags = kFsFlags;
  *fs_name = kFsName;
  CLog::Instance()->Write(LOG_DEBUG, "GetVolumeInformation ");
  return 0;
}

int DriveCallbacks::Unmount(DriveFileInfo*) {
  CLog::Instance()->Write(LOG_DEBUG, "Unmount ");
  return 0;
}

DriveOps DriveCallbacks::Table() {
  DriveOps ops;
  ops.CreateFile = &CreateFile;
  ops.OpenDirectory = &OpenDirectory;
  ops.CreateDirectory = &CreateDirectory;
  ops.Cleanup = &Cleanup;
  ops.CloseFile = &CloseFile;
  ops.ReadFile = &ReadFile;
  ops.WriteFile = &WriteFile;
  ops.FlushFileBuffers = &FlushFileBuffers;
  ops.GetFileInformation = &GetFileInformation;
  ops.FindFiles = &FindFiles;
  ops.SetFileAttributes = &SetFileAttributes;
  ops.SetFileTime = &SetFileTime;
  ops.DeleteFile = &DeleteFile;
  ops.DeleteDirectory = &DeleteDirectory;
  ops.MoveFile = &MoveFile;
  ops.SetEndOfFile = &SetEndOfFile;
  ops.SetAllocationSize = &SetAllocationSize;
  ops.GetDiskFreeSpace = &GetDiskFreeSpace;
  ops.GetVolumeInformation = &GetVolumeInformation;
  ops.Unmount = &Unmount;
  return ops;
}

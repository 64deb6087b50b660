#pragma once

#include <cstdint>
#include <string>

#include "drive/DriveOps.h"

// The drive's callbacks, served from the bound DriveContext; each returns 0
// or a negated Windows code. Table() is the 20-entry DriveOps of the mount.
// Thread contract: called by the host's dispatch threads, one at a time
// (each holds its DispatchGate; tests call them directly, on one thread).
class DriveCallbacks {
 public:
  static constexpr uint64_t kTotalBytes = 107374182400ull;  // 100 GiB
  static constexpr uint32_t kSerial = 0x19831116;
  static constexpr uint32_t kMaxComponent = 255;
  static constexpr uint32_t kFsFlags = 0x10F;
  static constexpr const char* kVolumeName = "Tandrel";
  static constexpr const char* kFsName = "Tandrel系统";

  static DriveOps Table();

  // Files.
  static int CreateFile(const std::string& path, uint32_t desired_access, uint32_t share_mode,
                        int creation_disposition, uint32_t flags_and_attributes,
                        DriveFileInfo* info);
  static int Cleanup(const std::string& path, DriveFileInfo* info);
  static int CloseFile(const std::string& path, DriveFileInfo* info);
  static int ReadFile(const std::string& path, char* buffer, uint32_t length, uint32_t* read,
                      int64_t offset, DriveFileInfo* info);
  static int WriteFile(const std::string& path, const char* buffer, uint32_t length,
                       uint32_t* written, int64_t offset, DriveFileInfo* info);
  static int FlushFileBuffers(const std::string& path, DriveFileInfo* info);
  static int GetFileInformation(const std::string& path, DriveFileInformation* out,
                                DriveFileInfo* info);
  static int SetFileAttributes(const std::string& path, uint32_t attributes, DriveFileInfo* info);
  static int SetFileTime(const std::string& path, uint64_t creation, uint64_t access,
                         uint64_t write, DriveFileInfo* info);
  static int SetEndOfFile(const std::string& path, int64_t length, DriveFileInfo* info);
  static int SetAllocationSize(const std::string& path, int64_t size, DriveFileInfo* info);

  // Folders and the namespace.
  static int OpenDirectory(const std::string& path, DriveFileInfo* info);
  static int CreateDirectory(const std::string& path, DriveFileInfo* info);
  static int FindFiles(const std::string& path, const DriveFillFindData& fill, DriveFileInfo* info);
  static int DeleteFile(const std::string& path, DriveFileInfo* info);
  static int DeleteDirectory(const std::string& path, DriveFileInfo* info);
  static int MoveFile(const std::string& path, const std::string& new_path, bool replace,
                      DriveFileInfo* info);

  // The volume.
  static int GetDiskFreeSpace(uint64_t* free_available, uint64_t* total, uint64_t* total_free,
                              DriveFileInfo* info);
  static int GetVolumeInformation(std::string* volume_name, uint32_t* serial,
                                  uint32_t* max_component, uint32_t* fs_flags, std::string* fs_name,
                                  DriveFileInfo* info);
  static int Unmount(DriveFileInfo* info);
};

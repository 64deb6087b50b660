#pragma once

// The drive's contract with the file system host: the options record, the
// per-handle record and the 20-entry callback table. Callbacks return 0 on
// success or a negated Windows error code (see DriveErrors.h); paths are the
// program's backslash paths rooted at "\". A callback on an open handle may
// get the empty path (the file was unlinked since): it works from the
// handle's record alone.
// Thread contract: the host calls the callbacks one at a time (under its
// DispatchGate), from any of its dispatch threads.

#include <cstdint>
#include <functional>
#include <string>

// Creation dispositions.
constexpr int CREATE_NEW = 1;
constexpr int CREATE_ALWAYS = 2;
constexpr int OPEN_EXISTING = 3;
constexpr int OPEN_ALWAYS = 4;
constexpr int TRUNCATE_EXISTING = 5;

// Desired access bits.
constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;

// File attributes.
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;

struct DriveOptions {
  std::string mount_point;
  int thread_count = 1;
  uint32_t options = 0x29;
  uint64_t global_context = 0;
};

// One per open handle; lives in the host's file handle.
struct DriveFileInfo {
  uint64_t context = 0;
  bool is_directory = false;
  bool write_to_end = false;
  int open_flags = 0;           // the POSIX open flags behind the request
  bool sync_requested = false;  // set during an fsync, clear during a flush at close
};

struct DriveFileInformation {
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint64_t creation_time = 0;  // seconds since 1970
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint32_t link_count = 0;  // 0: the host's usual count
  uint64_t held = UINT64_MAX;  // bytes on this machine's disk; all of size when unknown
};

struct DriveFindData {
  uint32_t attributes = 0;
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint64_t size = 0;
  std::string name;
};

using DriveFillFindData = std::function<int(const DriveFindData&, DriveFileInfo*)>;

struct DriveOps {
  int (*CreateFile)(const std::string& path, uint32_t desired_access, uint32_t share_mode,
                    int creation_disposition, uint32_t flags_and_attributes,
                    DriveFileInfo* info) = nullptr;
  int (*OpenDirectory)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*CreateDirectory)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*Cleanup)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*CloseFile)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*ReadFile)(const std::string& path, char* buffer, uint32_t length, uint32_t* read,
                  int64_t offset, DriveFileInfo* info) = nullptr;
  int (*WriteFile)(const std::string& path, const char* buffer, uint32_t length, uint32_t* written,
                   int64_t offset, DriveFileInfo* info) = nullptr;
  int (*FlushFileBuffers)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*GetFileInformation)(const std::string& path, DriveFileInformation* out,
                            DriveFileInfo* info) = nullptr;
  int (*FindFiles)(const std::string& path, const DriveFillFindData& fill,
                   DriveFileInfo* info) = nullptr;
  int (*SetFileAttributes)(const std::string& path, uint32_t attributes,
                           DriveFileInfo* info) = nullptr;
  // Seconds since 1970; 0 leaves that time as it is.
  int (*SetFileTime)(const std::string& path, uint64_t creation, uint64_t access, uint64_t write,
                     DriveFileInfo* info) = nullptr;
  int (*DeleteFile)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*DeleteDirectory)(const std::string& path, DriveFileInfo* info) = nullptr;
  int (*MoveFile)(const std::string& path, const std::string& new_path, bool replace,
                  DriveFileInfo* info) = nullptr;
  int (*SetEndOfFile)(const std::string& path, int64_t length, DriveFileInfo* info) = nullptr;
  int (*SetAllocationSize)(const std::string& path, int64_t size, DriveFileInfo* info) = nullptr;
  int (*GetDiskFreeSpace)(uint64_t* free_available, uint64_t* total, uint64_t* total_free,
                          DriveFileInfo* info) = nullptr;
  int (*GetVolumeInformation)(std::string* volume_name, uint32_t* serial, uint32_t* max_component,
                              uint32_t* fs_flags, std::string* fs_name,
                              DriveFileInfo* info) = nullptr;
  int (*Unmount)(DriveFileInfo* info) = nullptr;
};

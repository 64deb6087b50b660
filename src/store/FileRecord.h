#pragma once

#include <cstdint>
#include <string>

#include "store/PartState.h"

// Whether a record is a part of a file or the folder index; not stored.
enum class RecordKind { kUnknown, kFilePart, kFolderIndex };

// One part of one file (a mail row joined with its ftable row), or the
// folder index. Also what the message writer reads and the parser fills.
// A plain value; no shared state.
struct FileRecord {
  std::string name;
  int file_id = 0;
  // The file's lasting identity: its first version's file id, kept through
  // every edit (each version gets a file id of its own). 0 reads as file_id.
  int origin = 0;
  int folder_id = 0;
  int time = 0;
  int total_part = 0;
  int part = 0;
  int size = 0;
  int64_t total_size = 0;  // any size: only the parts are bounded
  std::string from;        // not stored; set before an upload
  std::string to;          // not stored; set before an upload
  std::string md5;
  std::string mail_id;
  // The column local_fn: the cached copy's path when the row was written.
  std::string cache_path;
  // Not stored: the file's drive path now (GetPendingUpload fills it).
  std::string drive_path;
  PartState stat = PartState::kCached;
  RecordKind kind = RecordKind::kUnknown;

  int Origin() const { return origin != 0 ? origin : file_id; }
};

#pragma once

#include <cstdint>
#include <string>

// What a kept entry holds: a deleted file (the trash) or a file's earlier
// content (a version). Its part messages stay in the mailbox under its own
// file id until it is restored or let go.
enum class KeptKind { kTrash = 1, kVersion = 2 };

// Thread contract: a plain value; no shared state.
struct KeptRecord {
  int file_id = 0;  // the content's own file id, which its messages name
  int origin = 0;   // the file's lasting identity (a version's: its file's)
  KeptKind kind = KeptKind::kTrash;
  // When it was deleted or replaced, in milliseconds since 1970: two
  // versions replaced within a second still keep their order.
  int64_t at = 0;
  int64_t size = 0;
  int total_part = 0;
  std::string machine;  // where it was deleted or replaced
  std::string path;     // the drive path it had
};

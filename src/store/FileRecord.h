#pragma once

#include <string>

// One part of one file (a mail row joined with its ftable row), or the
// folder index. Also what the message writer reads and the parser fills.
// A plain value; no shared state.
struct FileRecord {
  std::string name;
  int file_id = 0;
  int folder_id = 0;
  int time = 0;
  int total_part = 0;
  int part = 0;
  int size = 0;
  int total_size = 0;
  std::string from;  // not stored; set before an upload
  std::string to;    // not stored; set before an upload
  std::string md5;
  std::string mail_id;
  std::string local_fn;
  int stat = 0;
  int kind = 0;  // 1 a part of a file, 2 the folder index; not stored
};

#pragma once

#include <cstdint>
#include <string>

// What a message carries: one part of a file, or the folder index.
enum class MessageKind { kUnknown, kFilePart, kFolderIndex };

// The header object of one part message: what the writer puts in and the
// parser reads back, plus the writer's sender, recipient and content file.
// A plain value; no shared state.
struct PartHeader {
  std::string name;
  int file_id = 0;
  int time = 0;
  int total_part = 0;
  int part = 0;
  int size = 0;
  int64_t total_size = 0;
  std::string md5;
  std::string from;         // written only
  std::string to;           // written only
  std::string source_path;  // written only: the file the content is read from
  MessageKind kind = MessageKind::kUnknown;
};

#pragma once

#include <ctime>
#include <string>

#include "TempDir.h"
#include "message/EmlWriter.h"

// Shared by the message tests: records, fixed clock and zone, file round trips.
namespace message_test {

constexpr int64_t kTime = 1290000000;  // Wed, 17 Nov 2010 13:20:00 UTC
constexpr const char* kMd5 = "0123456789abcdef0123456789abcdef";
constexpr const char* kBoundary = "next-part-23b23mb3tsfd1dfasdf";

inline PartHeader FilePart(const std::string& name, const std::string& source_path, int size,
                           int total_size, int part = 1, int total_part = 1) {
  PartHeader r;
  r.name = name;
  r.file_id = 7;
  r.size = size;
  r.total_size = total_size;
  r.part = part;
  r.total_part = total_part;
  r.from = "u@example.com";
  r.to = "u@example.com";
  r.md5 = kMd5;
  r.source_path = source_path;
  r.kind = MessageKind::kFilePart;
  return r;
}

inline PartHeader FolderIndex(const std::string& source_path, int size) {
  PartHeader r = FilePart("folder.txt", source_path, size, size);
  r.file_id = 0;
  r.kind = MessageKind::kFolderIndex;
  return r;
}

// Writes the record's message with the fixed clock; returns its bytes.
inline std::string WriteMessage(const PartHeader& record, const std::string& eml_path,
                                int* length = nullptr) {
  EmlWriter writer(record);
  writer.SetTime(kTime);
  int n = -1;
  if (!writer.SaveToEml(eml_path, n)) return "<SaveToEml failed>";
  if (length) *length = n;
  return ReadFileBytes(eml_path);
}

// Local time is UTC for the life of the object.
class UtcZone {
 public:
  UtcZone() : env_("TZ", "UTC") { tzset(); }
  ~UtcZone() { tzset(); }

 private:
  ScopedEnv env_;
};

}  // namespace message_test

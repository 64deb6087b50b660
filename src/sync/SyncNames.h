#pragma once

#include <map>
#include <string>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"

// Small naming and plausibility rules shared by the engine's files.
// Thread contract: stateless; any thread.
class SyncNames {
 public:
  // The file name, with "(第N部分)" when the file has several parts.
  static std::string ProgressName(const FileRecord& record);
  // Parts first to last of one file in flight together ("a.bin(第1-3部分)");
  // of several files, the first's name.
  static std::string ProgressName(const FileRecord& first, const FileRecord& last);
  // A part header whose numbers agree with the way files are cut into
  // parts, so that its offset and length stay inside the file.
  static bool PlausiblePart(const FileRecord& record);
  // File id -> drive path of every file whose folder the tree holds.
  static std::map<int, std::string> FilePaths(const std::map<std::string, FolderRecord>& folders,
                                              const std::map<int, FileRecord>& files);
  // Byte offset of the part in its file.
  static long long PartOffset(const FileRecord& record);
};

#pragma once

#include <map>
#include <string>
#include <vector>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/TaskFolderRecord.h"

// The text of "folder.txt" and the rules for trusting it: composing, reading,
// the checks that keep names from another machine inside the cache
// directory, and the version rule.
// Thread contract: stateless; any thread.
class FolderIndex {
 public:
  enum class Verdict { kAdopt, kDelete, kLeave };

  // "[folder]" lines in ascending full name order, then "[ftable]" lines in
  // ascending file id order, every line ended by CR LF.
  static std::string Compose(const std::map<std::string, FolderRecord>& folders,
                             const std::map<int, FileRecord>& files);

  // Reads the rows that follow "[folder]\r\n"; false when that line is
  // missing. Lines with a wrong field count are passed over; a last line
  // without its LF is not read.
  static bool ParseText(const std::string& text, std::vector<FolderRecord>& folders,
                        std::vector<FileRecord>& files);

  // Keeps only rows that are safe to turn into local paths: folder names
  // that pass IsSafeName, full names that are the chain of their parents'
  // names, unique ids and full names; files with a safe name, a unique id
  // and name within a kept folder. Every dropped row is described in
  // rejected. False when no root ("\") row survives: such a tree is unusable.
  static bool Validate(std::vector<FolderRecord>& folders, std::vector<FileRecord>& files,
                       std::vector<std::string>& rejected);

  // Not empty, not "." or "..", and without "\", "/", NUL, "|", CR or LF.
  static bool IsSafeName(const std::string& name);

  // Which way an index message of the given version goes. Equal versions
  // are settled by the larger UID, so two machines that published the same
  // version both end on the same tree; the smaller one is deleted.
  static Verdict Judge(int remote_version, const std::string& uid, const TaskFolderRecord& task);

  // Numeric order of two UID texts.
  static bool UidLess(const std::string& a, const std::string& b);
};

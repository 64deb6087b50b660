#pragma once

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"

// Folds the files that only this machine knows into a folder tree adopted
// from another machine, and works out which cached files must move because
// their folder or name differs in the result.
// Thread contract: stateless; any thread.
class TreeMerge {
 public:
  struct Move {
    int file_id = 0;
    std::string from;  // drive paths
    std::string to;
  };
  struct Result {
    std::vector<FolderRecord> folders;
    std::vector<FileRecord> files;
    std::vector<Move> moves;
    int kept = 0;       // local files put back into the tree
    int conflicts = 0;  // of those, the ones given a conflict name
  };

  // adopted_*: the validated tree of the index. local_*: the tree in the
  // store now. keep: ids of local files that must survive although the
  // adopted tree does not list them. A kept file goes back under its local
  // folder's full name (missing folders are created with unused ids); a name
  // already taken there gets a conflict name.
  static Result Merge(const std::vector<FolderRecord>& adopted_folders,
                      const std::vector<FileRecord>& adopted_files,
                      const std::map<std::string, FolderRecord>& local_folders,
                      const std::map<int, FileRecord>& local_files, const std::set<int>& keep,
                      time_t now);

  // "a.txt" -> "a (conflict 2026-12-08 101500).txt"; from attempt 2 on the
  // number follows the time: "a (conflict 2026-12-08 101500 2).txt".
  static std::string ConflictName(const std::string& name, time_t now, int attempt);
};

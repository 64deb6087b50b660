#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/KeptRecord.h"

// The three-way merge of folder trees: what the local side and the remote
// side each changed against the tree both last shared (the base) is applied
// together. Folders are known by id, files by origin (their identity through
// edits), so an edit, a move, a delete and a new file can be told apart.
// The rules: an edit against an edit keeps both (the larger file id keeps
// the name, the other becomes a conflict copy); an edit against a delete
// keeps the edit; a move against an edit applies both; two moves of one
// entry keep one place, the same on every machine; a folder deleted on one
// side keeps what the other added inside it; two entries that end on one
// name are told apart by conflict names; two folders made with one name are
// one folder. Without a base nothing is taken for deleted. Kept entries
// merge as a set: one let go on either side goes, one added on either side
// comes, one back in the tree leaves the set.
// Thread contract: stateless; any thread.
class TreeMerge {
 public:
  struct Tree {
    std::vector<FolderRecord> folders;
    std::vector<FileRecord> files;
    std::vector<KeptRecord> kept;  // the trash and the versions
  };
  struct Move {
    int file_id = 0;
    std::string from;  // drive paths
    std::string to;
  };
  struct Result {
    Tree tree;
    // Cached files whose place differs between the local and merged trees.
    std::vector<Move> moves;
    int conflicts = 0;  // entries given a conflict name
  };

  static Result Merge(const Tree& base, const Tree& local, const Tree& remote, time_t now);

  // "a.txt" -> "a (conflict 2026-12-08 101500).txt"; from attempt 2 on the
  // number follows the time: "a (conflict 2026-12-08 101500 2).txt".
  static std::string ConflictName(const std::string& name, time_t now, int attempt);
};

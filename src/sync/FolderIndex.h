#pragma once

#include <map>
#include <string>
#include <vector>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/KeptRecord.h"
#include "store/TaskFolderRecord.h"

// The text of "folder.txt" and the rules for trusting it: composing, reading,
// the checks that keep names from another machine inside the cache
// directory, and the version rule.
// Thread contract: stateless; any thread.
class FolderIndex {
 public:
  // What an index says of its place among the others: its own token, and
  // the tokens of every index whose tree it merged, newest first. An index
  // from before these (no "[index]" section) has neither.
  struct History {
    std::string token;
    std::vector<std::string> merged;
  };

  // "[folder]" lines in ascending full name order, then "[ftable]" lines in
  // ascending file id order, every line ended by CR LF. Then what readers
  // of that much pass over (no line of three fields): "[origin]" with
  // "file_id|origin" for each file edited since it was made, "[kept]" with
  // "file_id|origin|kind|at|size|total_part|machine|path" for each entry of
  // the trash and the versions (ascending file id), and, with a token,
  // "[index]" with "token|T" and one "merged|T" per merged index.
  static std::string Compose(const std::map<std::string, FolderRecord>& folders,
                             const std::map<int, FileRecord>& files,
                             const std::vector<KeptRecord>& kept = {},
                             const History& history = History());
  // The "[index]" section Compose appends for history (empty without a
  // token).
  static std::string HistoryText(const History& history);
  // The tree alone, in the same order whatever the order of the rows: equal
  // trees give equal texts.
  static std::string ComposeTree(const std::vector<FolderRecord>& folders,
                                 const std::vector<FileRecord>& files,
                                 const std::vector<KeptRecord>& kept = {});

  // Reads the rows that follow "[folder]\r\n"; false when that line is
  // missing. Lines with a wrong field count are passed over; a last line
  // without its LF is not read. Origins are set on the files they name.
  // Kept entries come only with a path that is safe as a drive path.
  static bool ParseText(const std::string& text, std::vector<FolderRecord>& folders,
                        std::vector<FileRecord>& files, History* history = nullptr,
                        std::vector<KeptRecord>* kept = nullptr);

  // Keeps only rows that are safe to turn into local paths: folder names
  // that pass IsSafeName, full names that are the chain of their parents'
  // names, unique ids and full names; files with a safe name, a unique id
  // and name within a kept folder. Every dropped row is described in
  // rejected. False when no root ("\") row survives: such a tree is unusable.
  static bool Validate(std::vector<FolderRecord>& folders, std::vector<FileRecord>& files,
                       std::vector<std::string>& rejected);

  // Not empty, not "." or "..", and without "\", "/", NUL, "|", CR or LF.
  static bool IsSafeName(const std::string& name);
  // "\" and safe names joined by "\".
  static bool IsSafePath(const std::string& path);

  // Numeric order of two UID texts.
  static bool UidLess(const std::string& a, const std::string& b);
};

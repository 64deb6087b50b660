#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// `tandrel-cli trash` and `tandrel-cli versions` for the current account:
// the listings read the account's records; a restore or an empty is left
// there for the mounted drive, whose next step carries it out on every
// machine (through the folder index).
// Thread contract: the main thread of tandrel-cli only.
class UndoCommands {
 public:
  // The process exit codes.
  static int Trash(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
  static int Versions(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
  // "trash and versions: SIZE" for status, when anything is kept.
  static void StatusLine(const std::string& user, std::ostream& out);
};

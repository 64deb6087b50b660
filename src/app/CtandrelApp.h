#pragma once

#include <string>
#include <vector>

// The program's entry: only the command line "start" runs it (anything else
// hands over to the updater, or says how to start); one instance per user;
// the sibling programs, the migration and the data directory; then the login
// dialog, whose life is the program's.
// Thread contract: the main thread, before any other thread exists.
class CtandrelApp {
 public:
  static constexpr const char* kUsage =
      "tandrel: run `tandrel start` to start Tandrel (tandrel --help for more)\n";

  // Byte for byte "start" as the whole command line.
  static bool IsStartCommand(const std::vector<std::string>& args);
  // The migration and the data directory; program_dir ends with a separator.
  static bool Prepare(const std::string& program_dir);

  // The process exit code.
  int Run(int argc, char** argv);
};

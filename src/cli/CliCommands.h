#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The subcommands of tandrel-cli: mount (MountCommand); unmount, status and
// deletions of the current account's mount (from any terminal, through the
// status file the mounted process publishes and the account's records);
// --version and --help.
// Thread contract: the main thread of tandrel-cli only.
class CliCommands {
 public:
  // How long unmount waits for the mounted process to end.
  static constexpr int kUnmountWaitMs = 60000;

  static std::string HelpText();
  static std::string VersionText();
  // The process exit code.
  static int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
  static int Status(std::ostream& out, std::ostream& err);
  static int Unmount(std::ostream& out, std::ostream& err);
  // Lists the held deletions, or records the answer (keep or apply) that
  // the mounted engine acts on.
  static int Deletions(const std::vector<std::string>& args, std::ostream& out,
                       std::ostream& err);
  // pin or unpin PATH: a path under the mount point, or one within the drive.
  static int Pin(bool pin, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err);
  // key export FILE: the encrypted drive's age identity, opened with the
  // passphrase, into a new file only its owner reads.
  static int Key(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

  // The current account's address; false (with a message) when none.
  static bool CurrentUser(std::string& user, std::ostream& err);
  // PATH of the command line as a drive path: below the mount point of
  // user's drive when it lies there, else read as a path within the drive.
  static std::string DrivePathArg(const std::string& arg, const std::string& user);

 private:
  // The cache's figures for status: cached and pinned bytes, the limit.
  static void CacheLines(const std::string& user, std::ostream& out);
};

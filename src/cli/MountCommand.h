#pragma once

#include <string>
#include <vector>

// `tandrel-cli mount`: signs in, mounts the drive and serves it in the
// foreground until it is unmounted or the process is signalled.
// Thread contract: Run on the main thread, before any other thread exists
// (it blocks SIGINT and SIGTERM for every thread it starts).
class MountCommand {
 public:
  struct Options {
    std::string user;
    std::string server;
    int port = 0;
    bool ssl = false;
    std::string mount_point;
    bool help = false;
  };

  static const char* HelpText();
  // False with error set on a bad command line.
  static bool Parse(const std::vector<std::string>& args, Options& options, std::string& error);
  // ~/Tandrel unless --mountpoint or TANDREL_MOUNTPOINT says otherwise.
  static std::string MountPointFor(const Options& options);
  // "TASK_MS,REFRESH_MS" of TANDREL_SYNC_PERIODS (tests); false when unset.
  static bool TestPeriods(int& task_ms, int& refresh_ms);

  // The process exit code.
  static int Run(const Options& options);
};

#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// One test "machine" running `tandrel-cli mount`: its own HOME,
// XDG_DATA_HOME and XDG_RUNTIME_DIR below root, its own mount point, the
// password in the environment and short sync periods. Stopped (SIGTERM, then SIGKILL and a
// lazy unmount) by the object at the latest.
// Thread contract: one test thread only.
class CliMachine {
 public:
  CliMachine(const std::string& root, const std::string& user, const std::string& password,
             int port);
  ~CliMachine();
  CliMachine(const CliMachine&) = delete;
  CliMachine& operator=(const CliMachine&) = delete;

  // Starts the process and waits until the folder is mounted.
  bool Mount(int timeout_ms = 20000);
  // SIGTERM (or the given signal); the exit code, or -1 when it did not end
  // in time.
  int Terminate(int timeout_ms = 20000, int signal_number = 15);
  // Waits for the process to end by itself; its exit code or -1.
  int WaitExit(int timeout_ms = 20000);
  bool Running();

  const std::string& MountPoint() const { return mount_point_; }
  const std::string& Root() const { return root_; }
  pid_t Pid() const { return pid_; }
  // The drive's cache directory (native, ends with "/").
  std::string CacheDir() const;
  // TANDREL_LOG for the next Mount; empty leaves the log off.
  void SetLogLevel(const std::string& level) { log_level_ = level; }
  std::string Output() const;
  // Arguments after "mount" in place of --user, --server and --port (none:
  // the current account).
  void SetMountArgs(const std::vector<std::string>& args) { mount_args_ = args; }
  // TANDREL_SYNC_PERIODS ("task_ms,refresh_ms") for the next Mount; empty
  // leaves the program's own periods.
  void SetPeriods(const std::string& periods) { periods_ = periods; }
  // TANDREL_UPLOAD_SETTLE_MS for the next Mount; < 0 leaves the program's own.
  void SetUploadSettleMs(int ms) { settle_ms_ = ms; }
  // Whether TANDREL_PASSWORD is set for the next Mount.
  void SetPasswordInEnv(bool on) { password_in_env_ = on; }
  // TANDREL_HOLD_RELEASE for the next Mount (empty: unset): the drive makes
  // that file at the release of a written file and waits until it is gone.
  void SetHoldRelease(const std::string& marker) { hold_release_ = marker; }
  // Runs "tandrel-cli ARGS" with this machine's environment; its exit status,
  // its output (both streams) in output.
  int Cli(const std::string& args, std::string& output);
  // Runs "tandrel-cli ARGS" until its output holds piece; false at the
  // deadline (output: the last one).
  bool CliShows(const std::string& args, const std::string& piece, std::string& output,
                int timeout_ms = 20000);

 private:
  std::string root_, user_, password_, mount_point_;
  int port_;
  std::string log_level_ = "3";
  std::string periods_ = "100,300";
  int settle_ms_ = -1;
  std::optional<std::vector<std::string>> mount_args_;
  bool password_in_env_ = true;
  std::string hold_release_;
  pid_t pid_ = -1;
  int exit_code_ = -1;  // of a process Running found ended
};

// Runs a shell command; its exit status (-1 when it could not run).
int Shell(const std::string& command);
// Runs until the command succeeds or the time is up.
bool ShellEventually(const std::string& command, int timeout_ms);
// Quotes text for the shell.
std::string Quote(const std::string& text);
// What secret-tool finds in the keyring for the program's entry of user at
// server; empty when nothing.
std::string SecretTool(const std::string& user, const std::string& server);

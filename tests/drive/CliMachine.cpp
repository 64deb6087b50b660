#include "CliMachine.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TempDir.h"
#include "platform/FileHelpers.h"
#include "platform/MountPoint.h"

#ifndef TANDREL_CLI_PATH
#error TANDREL_CLI_PATH must name the tandrel-cli executable
#endif

namespace {

using Clock = std::chrono::steady_clock;

void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

}  // namespace

int Shell(const std::string& command) {
  int status = std::system(("bash -c " + Quote(command)).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ShellEventually(const std::string& command, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Shell(command + " >/dev/null 2>&1") == 0) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string SecretTool(const std::string& user, const std::string& server) {
  TempDir dir("secret");
  Shell("secret-tool lookup application tandrel user " + Quote(user) + " server " + Quote(server) +
        " > " + Quote(dir.Sub("out")) + " 2>/dev/null");
  return ReadFileBytes(dir.Sub("out"));
}

CliMachine::CliMachine(const std::string& root, const std::string& user,
                       const std::string& password, int port)
    : root_(root), user_(user), password_(password), mount_point_(root + "/mnt"), port_(port) {
  MakeDir(root_ + "/home");
  MakeDir(root_ + "/share");
  MakeDir(mount_point_);
  MakeDir(root_ + "/run", 0700);
}

CliMachine::~CliMachine() {
  if (Running() && Terminate() < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (IsMountPoint(mount_point_)) {
    Shell("fusermount3 -u -z " + Quote(mount_point_) + " 2>/dev/null");
  }
}

bool CliMachine::Mount(int timeout_ms) {
  exit_code_ = -1;
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int out = ::open((root_ + "/output.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ + "/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/home/.config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    ::unsetenv("TANDREL_MOUNTPOINT");
    if (password_in_env_) {
      ::setenv("TANDREL_PASSWORD", password_.c_str(), 1);
    } else {
      ::unsetenv("TANDREL_PASSWORD");
    }
    if (periods_.empty()) {
      ::unsetenv("TANDREL_SYNC_PERIODS");
    } else {
      ::setenv("TANDREL_SYNC_PERIODS", periods_.c_str(), 1);
    }
    if (settle_ms_ < 0) {
      ::unsetenv("TANDREL_UPLOAD_SETTLE_MS");
    } else {
      ::setenv("TANDREL_UPLOAD_SETTLE_MS", std::to_string(settle_ms_).c_str(), 1);
    }
    if (hold_release_.empty()) {
      ::unsetenv("TANDREL_HOLD_RELEASE");
    } else {
      ::setenv("TANDREL_HOLD_RELEASE", hold_release_.c_str(), 1);
    }
    if (log_level_.empty()) {
      ::unsetenv("TANDREL_LOG");
    } else {
      ::setenv("TANDREL_LOG", log_level_.c_str(), 1);
    }
    std::vector<std::string> args{TANDREL_CLI_PATH, "mount"};
    if (!mount_args_) {
      args.insert(args.end(),
                  {"--user", user_, "--server", "127.0.0.1", "--port", std::to_string(port_)});
    } else {
      args.insert(args.end(), mount_args_->begin(), mount_args_->end());
    }
    args.insert(args.end(), {"--mountpoint", mount_point_});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(TANDREL_CLI_PATH, argv.data());
    ::_exit(127);
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    if (IsMountPoint(mount_point_)) return true;
    if (!Running()) return false;
    Nap();
  }
  return false;
}

bool CliMachine::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return false;
}

int CliMachine::WaitExit(int timeout_ms) {
  if (pid_ <= 0) return exit_code_;  // ended already, seen by Running
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    Nap();
  }
  return -1;
}

int CliMachine::Terminate(int timeout_ms, int signal_number) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal_number);
  return WaitExit(timeout_ms);
}

std::string CliMachine::CacheDir() const {
  return root_ + "/home/Documents/Tandrel/" + user_ + "/";
}

int CliMachine::Cli(const std::string& args, std::string& output) {
  std::string out = root_ + "/cli.txt";
  int rc = Shell("HOME=" + Quote(root_ + "/home") + " XDG_DATA_HOME=" + Quote(root_ + "/share") +
                 " XDG_CONFIG_HOME=" + Quote(root_ + "/home/.config") +
                 " XDG_RUNTIME_DIR=" + Quote(root_ + "/run") + " " + Quote(TANDREL_CLI_PATH) + " " +
                 args + " >" + Quote(out) + " 2>&1");
  output = ReadFileBytes(out);
  return rc;
}

bool CliMachine::CliShows(const std::string& args, const std::string& piece, std::string& output,
                          int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    Cli(args, output);
    if (output.find(piece) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

std::string CliMachine::Output() const { return ReadFileBytes(root_ + "/output.txt"); }

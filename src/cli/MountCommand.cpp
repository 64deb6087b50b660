#include "cli/MountCommand.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/AccountLogin.h"
#include "drive/DriveSession.h"
#include "platform/FileHelpers.h"
#include "store/PrepareDataDir.h"
#include "sync/SyncEngine.h"
#include "sync/TransferProgress.h"

namespace {

// Reads a line from the terminal without echo; empty when there is none.
std::string PromptPassword() {
  FILE* tty = fopen("/dev/tty", "r+");
  if (tty == nullptr) return "";
  fputs("Password: ", tty);
  fflush(tty);
  struct termios old {};
  bool restore = tcgetattr(fileno(tty), &old) == 0;
  if (restore) {
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSANOW, &quiet);
  }
  char line[1024] = {};
  std::string password;
  if (fgets(line, sizeof line, tty) != nullptr) password = line;
  if (restore) tcsetattr(fileno(tty), TCSANOW, &old);
  fputs("\n", tty);
  fclose(tty);
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
    password.pop_back();
  }
  return password;
}

// One updating line of the transfers while stdout is a terminal.
class ProgressLine {
 public:
  ProgressLine() {
    if (::isatty(STDOUT_FILENO)) thread_ = std::thread(&ProgressLine::Loop, this);
  }
  ~ProgressLine() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
      std::printf("\r\033[K");
      std::fflush(stdout);
    }
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string last;
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return done_; })) {
      std::string text = TransferProgress::Instance()->StatusText();
      for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
      }
      if (text == last) continue;
      last = text;
      std::printf("\r\033[K%s", text.c_str());
      std::fflush(stdout);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Turns SIGINT and SIGTERM into the session's clean stop. The signals are
// blocked in every thread and taken here by sigwait.
class SignalStopper {
 public:
  explicit SignalStopper(DriveSession& session) : session_(session) {
    thread_ = std::thread(&SignalStopper::Loop, this);
  }
  ~SignalStopper() {
    done_ = true;
    ::pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }

  static void BlockSignals() {
    sigset_t set = Signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

 private:
  static sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // the wake-up at the end
    return set;
  }

  void Loop() {
    sigset_t set = Signals();
    while (!done_) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (done_) break;
      if (sig == SIGINT || sig == SIGTERM) session_.RequestStop();
    }
  }

  DriveSession& session_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

bool ParsePort(const std::string& text, int& port) {
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

const char* MountCommand::HelpText() {
  return "Usage: tandrel-cli mount --user ADDRESS --server HOST [--port N] [--ssl]\n"
         "                         [--mountpoint DIR]\n"
         "\n"
         "Signs in to the IMAP mailbox ADDRESS on HOST, stores the account, mounts the\n"
         "mailbox as a folder and serves it in the foreground until the folder is\n"
         "unmounted (fusermount3 -u DIR) or the program gets SIGINT or SIGTERM; either\n"
         "way the folder is unmounted cleanly and the program ends with exit code 0.\n"
         "\n"
         "Options:\n"
         "  --user ADDRESS    the mail address, also the IMAP login name\n"
         "  --server HOST     the IMAP server\n"
         "  --port N          the IMAP port (default 143, or 993 with SSL)\n"
         "  --ssl             use SSL/TLS; Gmail addresses always do\n"
         "  --mountpoint DIR  the folder to mount on, created when missing (default\n"
         "                    $TANDREL_MOUNTPOINT, else ~/Tandrel)\n"
         "  --help            this text\n"
         "\n"
         "Environment:\n"
         "  TANDREL_PASSWORD  the password; without it the program asks on the terminal\n"
         "  TANDREL_LOG       0 to 3: log up to that level into\n"
         "                    $XDG_DATA_HOME/tandrel/log/tandrel.log\n"
         "  XDG_DATA_HOME     where the databases live (default ~/.local/share); the\n"
         "                    file cache is Tandrel/ADDRESS in the documents folder\n"
         "\n"
         "A failed sign-in or mount ends the program with exit code 1.\n";
}

bool MountCommand::Parse(const std::vector<std::string>& args, Options& options,
                         std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--user") {
      if (!value(options.user)) return false;
    } else if (arg == "--server") {
      if (!value(options.server)) return false;
    } else if (arg == "--mountpoint") {
      if (!value(options.mount_point)) return false;
    } else if (arg == "--port") {
      std::string text;
      if (!value(text)) return false;
      if (!ParsePort(text, options.port)) {
        error = "--port needs a number from 1 to 65535";
        return false;
      }
    } else if (arg == "--ssl") {
      options.ssl = true;
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.help) return true;
  if (options.user.empty() || options.server.empty()) {
    error = "--user and --server are required";
    return false;
  }
  if (!AccountLogin::IsUsableAddress(options.user)) {
    error = "--user must be a mail address without \"/\" or \"\\\"";
    return false;
  }
  return true;
}

std::string MountCommand::MountPointFor(const Options& options) {
  if (!options.mount_point.empty()) return options.mount_point;
  const char* env = std::getenv("TANDREL_MOUNTPOINT");
  if (env != nullptr && *env != '\0') return env;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/Tandrel";
}

bool MountCommand::TestPeriods(int& task_ms, int& refresh_ms) {
  const char* env = std::getenv("TANDREL_SYNC_PERIODS");
  return env != nullptr && std::sscanf(env, "%d,%d", &task_ms, &refresh_ms) == 2 && task_ms > 0 &&
         refresh_ms > 0;
}

int MountCommand::Run(const Options& options) {
  SignalStopper::BlockSignals();
  if (!PrepareDataDir()) {
    std::cerr << "tandrel-cli: no data directory (is HOME set?)\n";
    return 1;
  }
  const char* env_password = std::getenv("TANDREL_PASSWORD");
  std::string password = env_password != nullptr ? env_password : PromptPassword();
  AccountRecord account =
      AccountLogin::Build(options.user, password, options.server, options.port, options.ssl);
  if (!AccountLogin::TestCredentials(account)) {
    std::cerr << AccountLogin::kFailedText << "\n";
    return 1;
  }
  if (!AccountLogin::Store(account)) {
    std::cerr << "tandrel-cli: the account could not be stored\n";
    return 1;
  }

  std::string mount_point = MountPointFor(options);
  DriveSession session(SyncEngine::Instance());
  int task_ms = 0, refresh_ms = 0;
  if (TestPeriods(task_ms, refresh_ms)) session.SetPeriods(task_ms, refresh_ms);
  SignalStopper stopper(session);
  if (!session.Start(mount_point)) {
    std::cerr << DriveSession::kMountFailedText << "\n";
    return 1;
  }
  std::cout << "Mounted " << options.user << " at " << mount_point << std::endl;
  {
    ProgressLine progress;
    session.Wait();
  }
  std::cout << "Unmounted " << mount_point << std::endl;
  return 0;
}

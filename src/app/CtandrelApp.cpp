#include "app/CtandrelApp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "app/CtandrelDlg.h"
#include "app/InstanceLock.h"
#include "app/SiblingPrograms.h"
#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"

namespace {

const char kHelp[] =
    "Usage: tandrel start\n"
    "\n"
    "Starts Tandrel: the login dialog, then the mailbox mounted as a folder\n"
    "(default ~/Tandrel, or $TANDREL_MOUNTPOINT) and an icon in the system tray\n"
    "whose menu opens the folder, the settings, and quits. Only one Tandrel runs\n"
    "per user; a second start ends at once.\n"
    "\n"
    "Any other command line is handed to the updater (tandrelUpdate beside the\n"
    "program) when there is one.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

// SIGINT and SIGTERM reach the event loop through a pipe and end the session
// cleanly, as "退出" does.
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  ssize_t ignored = ::write(g_signal_pipe[1], &byte, 1);
  (void)ignored;
}

// Joins the updater launch thread however Run leaves.
struct Joiner {
  std::thread thread;
  ~Joiner() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace

bool CtandrelApp::IsStartCommand(const std::vector<std::string>& args) {
  return args.size() == 1 && std::strcmp(args[0].c_str(), "start") == 0 && args[0].size() == 5;
}

bool CtandrelApp::Prepare(const std::string& program_dir) {
  MetaStore::UpdateMailTable();
  return PrepareDataDir(program_dir);
}

int CtandrelApp::Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kHelp;
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "tandrel 1.0\n";
    return 0;
  }
  std::string program_dir = ProgramDir();
  if (!IsStartCommand(args)) {
    if (SiblingPrograms::LaunchUpdater(program_dir, true)) return 0;
    std::cerr << kUsage;
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Before the lock is visible to anyone: a signal that comes early waits in
  // the pipe until the event loop runs, instead of killing the process.
  if (::pipe2(g_signal_pipe, O_CLOEXEC) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  InstanceLock lock;
  if (!lock.Acquire()) return 0;
  SiblingPrograms::StartMounter(program_dir);
  Prepare(program_dir);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tandrel"));
  QApplication::setQuitOnLastWindowClosed(false);
  Joiner updater{
      std::thread([program_dir] { SiblingPrograms::LaunchUpdater(program_dir, false); })};

  CtandrelDlg dialog;
  QSocketNotifier notifier(g_signal_pipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &dialog, [&dialog] {
    char byte;
    ssize_t ignored = ::read(g_signal_pipe[0], &byte, 1);
    (void)ignored;
    dialog.Quit();
  });
  QObject::connect(&dialog, &QDialog::finished, &app, &QApplication::quit);
  dialog.Initialise();
  // A dialog closed during initialisation (a failed mount) ends the program.
  if (dialog.isVisible() || dialog.SessionRunning()) app.exec();
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  CLog::Instance()->Flush();
  return 0;
}

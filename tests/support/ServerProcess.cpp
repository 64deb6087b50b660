#include "ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

std::vector<char*> Argv(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

}  // namespace

bool ServerProcess::Run(const std::vector<std::string>& argv, const std::string& log_path,
                        const std::string& stdin_text) {
  std::vector<char*> args = Argv(argv);
  int in[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  if (rc == 0 && !stdin_text.empty()) (void)!::write(in[1], stdin_text.data(), stdin_text.size());
  ::close(in[1]);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

pid_t ServerProcess::Spawn(const std::vector<std::string>& argv, const std::string& log_path) {
  std::vector<char*> args = Argv(argv);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls until exec. Its own process group, so that
  // StopGroup reaches every server process; a test process that dies first
  // still takes the server along.
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
  }
  ::execv(args[0], args.data());
  ::_exit(127);
}

void ServerProcess::StopGroup(pid_t leader) {
  if (leader <= 0) return;
  ::kill(-leader, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (::waitpid(leader, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-leader, SIGKILL);
      ::waitpid(leader, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Children that outlived their leader go too.
  ::kill(-leader, SIGKILL);
}

bool ServerProcess::Alive(pid_t leader) {
  int status = 0;
  return leader > 0 && ::waitpid(leader, &status, WNOHANG) == 0;
}

int ServerProcess::FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

bool ServerProcess::PortAnswers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool ServerProcess::WriteText(const std::string& path, const std::string& text, bool append) {
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

bool ServerProcess::WaitForPort(pid_t& leader, int port, const std::string& name,
                                std::string& error) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Alive(leader)) {
      leader = -1;
      error = name + " ended at start-up";
      return false;
    }
    if (PortAnswers(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error = name + " did not answer within 15 s";
  return false;
}

bool ServerProcess::RequiredByCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

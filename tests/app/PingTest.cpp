#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "TempDir.h"
#include "app/PingSender.h"
#include "app/SiblingPrograms.h"
#include "app/UpdaterHandOff.h"
#include "app/WebPing.h"
#include "platform/FileHelpers.h"

extern char** environ;

namespace {

// Accepts one connection on 127.0.0.1 and keeps what arrives until the peer
// closes (or 10 s pass).
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Listener() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) return;
    char buffer[4096];
    for (;;) {
      pollfd q{peer, POLLIN, 0};
      if (::poll(&q, 1, 10000) != 1) break;
      ssize_t n = ::read(peer, buffer, sizeof buffer);
      if (n <= 0) break;
      received_.append(buffer, static_cast<size_t>(n));
    }
    ::close(peer);
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
};

TEST(WebPingTest, TheListenerGetsExactlyTheRequest) {
  Listener listener;
  std::string host = listener.Host();
  ASSERT_EQ(WebPing::Send(host, WebPing::kLoginPath, "user@example.org"), 0);
  EXPECT_EQ(listener.Received(), "GET http://" + host +
                                     "/login.php?user=user@example.org HTTP/1.1\r\nHost: " + host +
                                     "\r\n\r\n");
}

TEST(WebPingTest, LogoutThroughTheSenderWithTheConfiguredHost) {
  Listener listener;
  ScopedEnv web("TANDREL_WEB_HOST", listener.Host());
  EXPECT_EQ(WebPing::RegisterPage(), "http://" + listener.Host() + "/regmail.htm");
  EXPECT_EQ(WebPing::HomePage(), "http://" + listener.Host() + "/");
  {
    PingSender sender;
    sender.Post(WebPing::kLogoutPath, "a@b.c");
  }
  EXPECT_EQ(listener.Received(), "GET http://" + listener.Host() +
                                     "/logout.php?user=a@b.c HTTP/1.1\r\nHost: " + listener.Host() +
                                     "\r\n\r\n");
}

TEST(WebPingTest, AnAddressCannotSplitTheRequest) {
  std::string request =
      WebPing::Request("h", WebPing::kLoginPath, "a b@x\r\nHost: evil\r\n\r\n\x01\xe4\xb8\xad");
  EXPECT_EQ(request,
            "GET http://h/login.php?user=a%20b@x%0D%0AHost:%20evil%0D%0A%0D%0A%01%E4%B8%AD "
            "HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(WebPing::Request("h", WebPing::kLoginPath, "").find("?user= HTTP/1.1"),
            std::string::npos);
}

TEST(WebPingTest, AnUnreachableHostFailsQuietly) {
  EXPECT_EQ(WebPing::Send("127.0.0.1:1", WebPing::kLoginPath, "a@b"), -1);
  EXPECT_EQ(WebPing::Send("127.0.0.1:0", WebPing::kLoginPath, "a@b"), -1);
  ScopedEnv none("TANDREL_WEB_HOST", "");
  EXPECT_EQ(WebPing::Host(), WebPing::kDefaultHost);
}

TEST(UpdaterHandOffTest, TheNewUpdaterWaitsWhileTheOldOneRuns) {
  TempDir dir("upd");
  std::string prog = dir.path() + "/";
  MakeDir(prog + "update");
  MakeDir(prog + "log");
  MakeDir(prog + "running");
  WriteFileBytes(prog + "tandrelUpdate", "old");
  WriteFileBytes(prog + "update/tandrelUpdate", "new");
  WriteFileBytes(prog + "log/update.log", "log");
  // A process whose executable is named like the updater.
  std::string runner = prog + "running/tandrelUpdate";
  WriteFileBytes(runner, ReadFileBytes("/bin/sleep"));
  ::chmod(runner.c_str(), 0755);
  pid_t pid = -1;
  std::string seconds = "30";
  char* argv[] = {runner.data(), seconds.data(), nullptr};
  ASSERT_EQ(posix_spawn(&pid, runner.c_str(), nullptr, nullptr, argv, environ), 0);

  EXPECT_FALSE(UpdaterHandOff::Check(prog));
  EXPECT_EQ(ReadFileBytes(prog + "tandrelUpdate"), "old");
  EXPECT_TRUE(FileExists(prog + "log/update.log"));

  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(UpdaterHandOff::Check(prog));
  EXPECT_EQ(ReadFileBytes(prog + "tandrelUpdate"), "new");
  EXPECT_FALSE(FileExists(prog + "update/tandrelUpdate"));
  EXPECT_FALSE(FileExists(prog + "log/update.log"));
  // Nothing left to hand over: only the logs are tried.
  EXPECT_FALSE(UpdaterHandOff::Check(prog));
  EXPECT_EQ(ReadFileBytes(prog + "tandrelUpdate"), "new");
}

// Waits until path holds text (a sibling writes it), for at most 10 s.
std::string WaitForText(const std::string& path) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string text;
  while ((text = ReadFileBytes(path)).find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return text;
}

TEST(SiblingProgramsTest, UpdaterArgumentsAndTheMounterStartedOnlyWhenAbsent) {
  TempDir dir("sib");
  std::string prog = dir.path() + "/";
  std::string marker = prog + "marker";
  std::string script = "#!/bin/sh\necho \"$0 $*\" >> " + marker + "\n";
  WriteFileBytes(prog + "tandrelUpdate", script);
  WriteFileBytes(prog + "mounter", script);
  ::chmod((prog + "tandrelUpdate").c_str(), 0755);
  ::chmod((prog + "mounter").c_str(), 0755);

  ASSERT_TRUE(SiblingPrograms::LaunchUpdater(prog, true));
  EXPECT_EQ(WaitForText(marker), prog + "tandrelUpdate -m -p" + prog + " -etandrel\n");
  ::unlink(marker.c_str());

  // A running process named like the mounter keeps it from being started.
  MakeDir(prog + "other");
  std::string runner = prog + "other/mounter";
  WriteFileBytes(runner, ReadFileBytes("/bin/sleep"));
  ::chmod(runner.c_str(), 0755);
  pid_t pid = -1;
  std::string seconds = "30";
  char* argv[] = {runner.data(), seconds.data(), nullptr};
  ASSERT_EQ(posix_spawn(&pid, runner.c_str(), nullptr, nullptr, argv, environ), 0);
  EXPECT_EQ(SiblingPrograms::FindProcess(SiblingPrograms::kMounter), pid);
  SiblingPrograms::StartMounter(prog);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_FALSE(FileExists(marker));

  SiblingPrograms::StartMounter(prog);
  EXPECT_EQ(WaitForText(marker), prog + "mounter \n");
  EXPECT_FALSE(SiblingPrograms::LaunchUpdater(prog + "none/", false));
}

}  // namespace

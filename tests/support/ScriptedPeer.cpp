#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr int kStepTimeoutMs = 10000;
using Clock = std::chrono::steady_clock;

int LocalPort(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  if (addr.ss_family != AF_INET) return -1;
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listen_fd_, 4);
  port_ = LocalPort(listen_fd_);
}

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) thread_.join();
  CloseClient();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

ScriptedPeer& ScriptedPeer::Say(const std::string& text) {
  steps_.push_back({Step::kSay, text});
  return *this;
}
ScriptedPeer& ScriptedPeer::Await(const std::string& text) {
  steps_.push_back({Step::kAwait, text});
  return *this;
}
ScriptedPeer& ScriptedPeer::AwaitDrained() {
  steps_.push_back({Step::kDrained, ""});
  return *this;
}
ScriptedPeer& ScriptedPeer::Reconnect() {
  steps_.push_back({Step::kReconnect, ""});
  return *this;
}
ScriptedPeer& ScriptedPeer::Hangup() {
  steps_.push_back({Step::kHangup, ""});
  return *this;
}

void ScriptedPeer::Start() {
  thread_ = std::thread([this] { Run(); });
}

std::string ScriptedPeer::Received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

void ScriptedPeer::CloseClient() {
  if (client_fd_ >= 0) ::close(client_fd_);
  client_fd_ = -1;
}

bool ScriptedPeer::AcceptOne() {
  CloseClient();
  pollfd p{listen_fd_, POLLIN, 0};
  if (::poll(&p, 1, kStepTimeoutMs) != 1) return false;
  client_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return client_fd_ >= 0;
}

// False at end of stream, on an error or when nothing came in time.
bool ScriptedPeer::ReadSome(int timeout_ms) {
  pollfd p{client_fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return false;
  char chunk[65536];
  ssize_t n = ::recv(client_fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  received_.append(chunk, static_cast<size_t>(n));
  return true;
}

// The client is in this process: find its socket by the port it connected
// from and wait until its receive queue is empty.
bool ScriptedPeer::WaitClientDrained() {
  sockaddr_in remote{};
  socklen_t len = sizeof remote;
  if (::getpeername(client_fd_, reinterpret_cast<sockaddr*>(&remote), &len) != 0) return false;
  int client_port = ntohs(remote.sin_port);
  auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
  while (Clock::now() < deadline) {
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd == client_fd_ || fd == listen_fd_ || LocalPort(fd) != client_port) continue;
      int queued = 0;
      if (::ioctl(fd, FIONREAD, &queued) == 0 && queued == 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void ScriptedPeer::Run() {
  if (!AcceptOne()) {
    ok_ = false;
    return;
  }
  for (const Step& step : steps_) {
    bool done = true;
    switch (step.kind) {
      case Step::kSay:
        done = ::send(client_fd_, step.text.data(), step.text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(step.text.size());
        break;
      case Step::kAwait: {
        auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        size_t at;
        while ((at = received_.find(step.text, awaited_)) == std::string::npos) {
          int left = static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                  .count());
          if (left <= 0 || !ReadSome(left)) break;
        }
        done = at != std::string::npos;
        if (done) awaited_ = at + step.text.size();
        break;
      }
      case Step::kDrained:
        done = WaitClientDrained();
        break;
      case Step::kReconnect:
        done = AcceptOne();
        break;
      case Step::kHangup:
        CloseClient();
        break;
    }
    if (!done) {
      ok_ = false;
      return;
    }
  }
  // Record whatever else the client sends until it closes.
  while (client_fd_ >= 0 && ReadSome(kStepTimeoutMs)) {
  }
}

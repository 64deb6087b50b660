#include "LoopbackProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int ConnectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(port);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

LoopbackProxy::LoopbackProxy(int target_port)
    : target_port_(target_port), listen_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}

LoopbackProxy::~LoopbackProxy() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    flow_.notify_all();
    for (const auto& link : links_) Shut(*link);
  }
  if (listen_.ok()) ::shutdown(listen_.get(), SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

bool LoopbackProxy::Start() {
  sockaddr_in addr = Loopback(0);
  socklen_t length = sizeof addr;
  if (!listen_.ok() ||
      ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_.get(), 16) != 0 ||
      ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    return false;
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread(&LoopbackProxy::AcceptLoop, this);
  return true;
}

void LoopbackProxy::Cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_ = true;
  flow_.notify_all();
  for (const auto& link : links_) Shut(*link);
  links_.clear();
}

void LoopbackProxy::Restore() {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_ = false;
}

void LoopbackProxy::Hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = true;
}

void LoopbackProxy::Flow() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = false;
  flow_.notify_all();
}

int LoopbackProxy::Held() {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

void LoopbackProxy::Shut(const Link& link) {
  ::shutdown(link.client.get(), SHUT_RDWR);
  ::shutdown(link.server.get(), SHUT_RDWR);
}

void LoopbackProxy::AcceptLoop() {
  for (;;) {
    int client = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;  // shut down by the destructor
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(client);
      return;
    }
    int server = cut_ ? -1 : ConnectTo(target_port_);
    auto link = std::make_shared<Link>(client, server);
    if (server < 0) continue;  // offline: the link closes as it goes
    links_.push_back(link);
    threads_.emplace_back(&LoopbackProxy::Relay, this, link, client, server);
    threads_.emplace_back(&LoopbackProxy::Relay, this, link, server, client);
  }
}

void LoopbackProxy::Relay(const std::shared_ptr<Link>& link, int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (from == link->server.get()) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++held_;
      flow_.wait(lock, [this] { return !holding_ || cut_ || stopping_; });
      --held_;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t sent = ::send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
      if (sent <= 0) {
        Shut(*link);
        return;
      }
      done += sent;
    }
    if (from == link->server.get()) to_clients_ += static_cast<uint64_t>(n);
  }
  Shut(*link);
}

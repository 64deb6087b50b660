#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

// A TCP relay on 127.0.0.1 in front of a server port: the tests' way to take
// one machine offline and bring it back. Cut ends every relayed connection
// and turns new ones away (accepted, then closed at once) until Restore.
// Thread contract: Start, Cut, Restore and the destructor on the test's
// thread; an accept thread and two relay threads per connection. mutex_
// guards cut_, stopping_, holding_, held_, links_ and threads_; it is a leaf
// lock.
class LoopbackProxy {
 public:
  explicit LoopbackProxy(int target_port);
  ~LoopbackProxy();
  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  // Listens on a free port; false when it cannot.
  bool Start();
  int Port() const { return port_; }
  void Cut();
  void Restore();
  // Holds what the server sends (the connections stay up) until Flow: a
  // server that answers slowly. Held counts the answers waiting meanwhile.
  void Hold();
  void Flow();
  int Held();
  // Bytes relayed from the server to its clients so far.
  uint64_t BytesToClients() const { return to_clients_.load(); }

 private:
  struct Link {
    UniqueFd client;
    UniqueFd server;
    Link(int c, int s) : client(c), server(s) {}
  };
  void AcceptLoop();
  void Relay(const std::shared_ptr<Link>& link, int from, int to);
  static void Shut(const Link& link);

  const int target_port_;
  int port_ = 0;
  UniqueFd listen_;
  std::thread acceptor_;
  std::mutex mutex_;
  bool cut_ = false;
  bool stopping_ = false;
  bool holding_ = false;
  int held_ = 0;
  std::condition_variable flow_;
  std::vector<std::shared_ptr<Link>> links_;
  std::vector<std::thread> threads_;
  std::atomic<uint64_t> to_clients_{0};
};

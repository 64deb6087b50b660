#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

// A loopback server thread that plays scripted lines and records every byte
// the client sends. Build the script, Start, run the client, then Received.
// Thread contract: the script is built before Start; afterwards only the
// peer thread touches the socket and the record until Received joins it.
class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // Sends text.
  ScriptedPeer& Say(const std::string& text);
  // Reads until the bytes received since the last Await contain text.
  ScriptedPeer& Await(const std::string& text);
  // Waits until the client has read everything sent so far, so that the
  // next Say arrives in a read of its own.
  ScriptedPeer& AwaitDrained();
  // Closes this connection and accepts the client's next one.
  ScriptedPeer& Reconnect();
  // Closes the connection.
  ScriptedPeer& Hangup();

  void Start();
  int Port() const { return port_; }
  // Joins the thread (which, after the script, records until the client
  // closes) and returns every byte received.
  std::string Received();
  // False when a step missed its deadline.
  bool Ok() const { return ok_; }

 private:
  struct Step {
    enum Kind { kSay, kAwait, kDrained, kReconnect, kHangup } kind;
    std::string text;
  };
  void Run();
  bool AcceptOne();
  bool ReadSome(int timeout_ms);
  bool WaitClientDrained();
  void CloseClient();

  std::vector<Step> steps_;
  int listen_fd_ = -1;
  int client_fd_ = -1;
  int port_ = 0;
  std::string received_;
  size_t awaited_ = 0;
  std::atomic<bool> ok_{true};
  std::thread thread_;
};

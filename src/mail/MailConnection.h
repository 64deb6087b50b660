#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// One blocking TCP connection, optionally inside a TLS client session, with a
// line reader on top. Knows nothing of IMAP.
// Thread contract: one thread at a time per object, except Abort, which any
// thread may call: live_socket_ is guarded by abort_mutex_ (a leaf lock).
//
// Every send or receive failure (a time-out included) is logged and tears the
// connection down, so callers only look at the result. TLS verifies the
// server's certificate against the default trust store (SSL_CERT_FILE and
// SSL_CERT_DIR honoured) and its host name, unless TANDREL_TLS_INSECURE=1.
class MailConnection {
 public:
  static constexpr size_t kReadBlock = 4096;
  static constexpr size_t kCompactAbove = 8192;
  static constexpr int kConnectTimeoutMs = 30000;
  static constexpr int kIoTimeoutMs = 120000;

  MailConnection();
  virtual ~MailConnection();
  MailConnection(const MailConnection&) = delete;
  MailConnection& operator=(const MailConnection&) = delete;

  bool Open(bool use_ssl, const std::string& server, int port);
  bool Send(const char* data, size_t length);
  bool Send(const std::string& data) { return Send(data.data(), data.size()); }
  // One read of at most kReadBlock bytes; >= 1, or <= 0 on failure.
  int Receive(char* buffer);
  // The next line, LF included; its length, or -1 when the connection failed
  // before a whole line arrived.
  int ReadLine(std::string& line);
  void Close();
  // From any thread: ends a send or receive that blocks now (the owner's
  // call fails as on a broken connection), and every later Open fails until
  // Reset. A connect under way runs to its own time-out, then fails.
  void Abort();
  void Reset();

  // What ended a wait for the server: bytes to read (buffered ones count),
  // the wake descriptor readable, the time up, or the connection gone.
  enum class Readiness { kData, kWake, kTimeout, kClosed };
  // Waits up to timeout_ms for either; wake_fd < 0 waits for the server only.
  Readiness WaitReadable(int timeout_ms, int wake_fd);

  bool IsConnected() const { return connected_; }
  const std::string& LastError() const { return last_error_; }

  // Time-outs of this object's next Open (milliseconds, > 0).
  void SetTimeouts(int connect_ms, int io_ms);
  // Time-outs given to objects created from now on (tests shorten them).
  static void SetDefaultTimeouts(int connect_ms, int io_ms);

 protected:
  // Appends exactly n bytes (buffered ones first, then large reads straight
  // into out). on_chunk sees the size of each piece. False when the
  // connection failed first.
  bool ReadExact(size_t n, std::string& out, const std::function<void(size_t)>& on_chunk);

 private:
  bool TcpConnect();
  bool SslConnect();
  int ConnectOne(const struct addrinfo* address);
  // One raw read of up to max bytes; tears down on failure.
  int ReceiveInto(char* buffer, size_t max);
  void TearDown(const char* log_line);
  void ReleaseTls();

  std::string server_;
  int port_ = 0;
  bool use_ssl_ = false;
  SSL* ssl_ = nullptr;
  SSL_CTX* ssl_ctx_ = nullptr;
  std::string last_error_;
  std::string buffer_;
  size_t read_pos_ = 0;
  int socket_ = -1;
  std::mutex abort_mutex_;
  int live_socket_ = -1;  // socket_ while open; guarded by abort_mutex_
  bool aborted_ = false;  // guarded by abort_mutex_
  bool connected_ = false;
  int connect_timeout_ms_;
  int io_timeout_ms_;

  static std::atomic<int> default_connect_timeout_ms_;
  static std::atomic<int> default_io_timeout_ms_;
};

#include "mail/MailConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <memory>

#include "log/CLog.h"

std::atomic<int> MailConnection::default_connect_timeout_ms_{kConnectTimeoutMs};
std::atomic<int> MailConnection::default_io_timeout_ms_{kIoTimeoutMs};

namespace {

// The TLS layer writes through send(MSG_NOSIGNAL): a peer that has closed the
// connection must never raise SIGPIPE in the process. The BIO's data is the
// socket descriptor; the socket stays owned by the connection.
int BioWrite(BIO* bio, const char* data, int length) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t n = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<int>(n);
  }
}

int BioRead(BIO* bio, char* data, int length) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t n = ::recv(fd, data, static_cast<size_t>(length), 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<int>(n);
  }
}

int BioPuts(BIO* bio, const char* text) {
  return BioWrite(bio, text, static_cast<int>(std::strlen(text)));
}

long BioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 0);
  return 1;
}

int BioDestroy(BIO*) { return 1; }

const BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tandrel socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_puts(m, BioPuts);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    BIO_meth_set_destroy(m, BioDestroy);
    return m;
  }();
  return method;
}

bool TlsInsecure() {
  const char* value = std::getenv("TANDREL_TLS_INSECURE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

void SetIoTimeouts(int fd, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

struct AddrInfoFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

}  // namespace

MailConnection::MailConnection()
    : connect_timeout_ms_(default_connect_timeout_ms_.load()),
      io_timeout_ms_(default_io_timeout_ms_.load()) {}

MailConnection::~MailConnection() { Close(); }

void MailConnection::SetTimeouts(int connect_ms, int io_ms) {
  connect_timeout_ms_ = connect_ms;
  io_timeout_ms_ = io_ms;
}

void MailConnection::SetDefaultTimeouts(int connect_ms, int io_ms) {
  default_connect_timeout_ms_ = connect_ms;
  default_io_timeout_ms_ = io_ms;
}

bool MailConnection::Open(bool use_ssl, const std::string& server, int port) {
  // A socket left from an earlier Open would leak otherwise.
  Close();
  server_ = server;
  port_ = port;
  use_ssl_ = use_ssl;
  connected_ = use_ssl ? SslConnect() : TcpConnect();
  if (!connected_) Close();
  return connected_;
}

int MailConnection::ConnectOne(const addrinfo* address) {
  int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    address->ai_protocol);
  if (fd < 0) return -1;
  int rc = ::connect(fd, address->ai_addr, address->ai_addrlen);
  if (rc < 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    rc = -1;
    if (::poll(&p, 1, connect_timeout_ms_) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
    }
  }
  if (rc < 0) {
    ::close(fd);
    return -2;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  SetIoTimeouts(fd, io_timeout_ms_);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool MailConnection::TcpConnect() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port_ & 0xffff);
  if (::getaddrinfo(server_.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    last_error_ = "gethostbyname failed";
    return false;
  }
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  bool created = false;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    int fd = ConnectOne(a);
    if (fd == -1) continue;
    created = true;
    if (fd >= 0) {
      socket_ = fd;
      std::lock_guard<std::mutex> lock(abort_mutex_);
      if (aborted_) {  // the caller's Close releases the socket
        last_error_ = "connection aborted";
        return false;
      }
      live_socket_ = fd;
      return true;
    }
  }
  last_error_ =
      created ? "connect failed, server:" + server_ : "create connect error while connect";
  return false;
}

bool MailConnection::SslConnect() {
  if (!TcpConnect()) return false;
  OPENSSL_init_ssl(0, nullptr);
  ssl_ctx_ = SSL_CTX_new(TLS_client_method());
  if (ssl_ctx_ == nullptr) return false;
  bool verify = !TlsInsecure();
  if (verify) {
    SSL_CTX_set_default_verify_paths(ssl_ctx_);
    SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_NONE, nullptr);
  }
  ssl_ = SSL_new(ssl_ctx_);
  if (ssl_ == nullptr) return false;
  SSL_set_mode(ssl_, SSL_MODE_AUTO_RETRY);
  in6_addr ip6;
  in_addr ip4;
  bool is_ip = ::inet_pton(AF_INET, server_.c_str(), &ip4) == 1 ||
               ::inet_pton(AF_INET6, server_.c_str(), &ip6) == 1;
  if (is_ip) {
    if (verify && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), server_.c_str()) != 1)
      return false;
  } else {
    SSL_set_tlsext_host_name(ssl_, server_.c_str());
    if (verify && SSL_set1_host(ssl_, server_.c_str()) != 1) return false;
  }
  BIO* bio = BIO_new(SocketBioMethod());
  if (bio == nullptr) return false;
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(socket_)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  // Anything but a completed handshake fails; a verification failure too.
  if (SSL_connect(ssl_) != 1) {
    ERR_clear_error();
    return false;
  }
  return true;
}

void MailConnection::ReleaseTls() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ssl_ctx_ != nullptr) SSL_CTX_free(ssl_ctx_);
  ssl_ = nullptr;
  ssl_ctx_ = nullptr;
}

void MailConnection::Close() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  read_pos_ = 0;
  ReleaseTls();
  {
    // Abort must never reach a descriptor that is closed, or reused since.
    std::lock_guard<std::mutex> lock(abort_mutex_);
    live_socket_ = -1;
  }
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  connected_ = false;
}

void MailConnection::Abort() {
  std::lock_guard<std::mutex> lock(abort_mutex_);
  aborted_ = true;
  if (live_socket_ >= 0) ::shutdown(live_socket_, SHUT_RDWR);
}

void MailConnection::Reset() {
  std::lock_guard<std::mutex> lock(abort_mutex_);
  aborted_ = false;
}

void MailConnection::TearDown(const char* log_line) {
  CLog::Instance()->Write(LOG_ERROR, "%s", log_line);
  ERR_clear_error();
  Close();
}

bool MailConnection::Send(const char* data, size_t length) {
  if (length == 0) return true;
  if (socket_ < 0) {
    TearDown("send data failed");
    return false;
  }
  size_t sent = 0;
  while (sent < length) {
    size_t chunk = std::min<size_t>(length - sent, 1u << 30);
    if (ssl_ != nullptr) {
      int n = SSL_write(ssl_, data + sent, static_cast<int>(chunk));
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    } else {
      ssize_t n = ::send(socket_, data + sent, chunk, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        last_error_ = "::send failed, server:" + server_;
        break;
      }
      sent += static_cast<size_t>(n);
    }
  }
  if (sent == length) return true;
  TearDown("send data failed");
  return false;
}

int MailConnection::ReceiveInto(char* buffer, size_t max) {
  int result = -1;
  if (ssl_ != nullptr) {
    result = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(max, 1u << 30)));
  } else {
    ssize_t n;
    do {
      n = ::recv(socket_, buffer, max, 0);
    } while (n < 0 && errno == EINTR);
    result = n > 0 ? static_cast<int>(n) : -1;
    if (result < 0) last_error_ = "::recv failed, server:" + server_;
  }
  if (result <= 0) TearDown("receive data failed");
  return result;
}

int MailConnection::Receive(char* buffer) { return ReceiveInto(buffer, kReadBlock); }

int MailConnection::ReadLine(std::string& line) {
  line.clear();
  size_t lf = buffer_.find('\n', read_pos_);
  while (lf == std::string::npos) {
    char chunk[kReadBlock];
    int n = Receive(chunk);
    if (n <= 0) return -1;
    if (buffer_.size() > kCompactAbove) {
      buffer_.erase(0, read_pos_);
      read_pos_ = 0;
    }
    size_t searched = buffer_.size();
    buffer_.append(chunk, static_cast<size_t>(n));
    lf = buffer_.find('\n', searched);
  }
  size_t length = lf - read_pos_ + 1;
  line.assign(buffer_, read_pos_, length);
  read_pos_ = lf + 1;
  return static_cast<int>(length);
}

bool MailConnection::ReadExact(size_t n, std::string& out,
                               const std::function<void(size_t)>& on_chunk) {
  size_t buffered = std::min(n, buffer_.size() - read_pos_);
  if (buffered > 0) {
    out.append(buffer_, read_pos_, buffered);
    read_pos_ += buffered;
    n -= buffered;
    if (on_chunk) on_chunk(buffered);
  }
  if (read_pos_ == buffer_.size()) {
    buffer_.clear();
    read_pos_ = 0;
  }
  // Large reads straight into the destination. The string grows in steps,
  // so a lying size announcement cannot allocate at once, and each byte is
  // zero-filled once at most.
  constexpr size_t kGrowStep = 4u << 20;
  size_t filled = out.size();
  size_t target = filled + n;
  while (filled < target) {
    if (filled == out.size()) out.resize(std::min(target, filled + kGrowStep));
    int got = ReceiveInto(out.data() + filled, out.size() - filled);
    if (got <= 0) {
      out.resize(filled);
      return false;
    }
    filled += static_cast<size_t>(got);
    if (on_chunk) on_chunk(static_cast<size_t>(got));
  }
  return true;
}

MailConnection::Readiness MailConnection::WaitReadable(int timeout_ms, int wake_fd) {
  if (socket_ < 0) return Readiness::kClosed;
  if (read_pos_ < buffer_.size() || (ssl_ != nullptr && SSL_pending(ssl_) > 0))
    return Readiness::kData;
  pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Readiness::kClosed;
    if (n == 0) return Readiness::kTimeout;
    // The wake wins: a stop must not wait behind chatter from the server.
    if (wake_fd >= 0 && (fds[1].revents & POLLIN) != 0) return Readiness::kWake;
    // A hang-up or error is read as such by the next ReadLine.
    return Readiness::kData;
  }
}

#include "platform/RunningMd5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

struct RunningMd5::Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
};

RunningMd5::RunningMd5() : context_(std::make_unique<Context>()) {
  if (context_->ctx == nullptr || EVP_DigestInit_ex(context_->ctx, EVP_md5(), nullptr) != 1)
    state_ = State::kUnusable;
}

RunningMd5::~RunningMd5() { StopReader(); }

void RunningMd5::Wrote(int fd, const char* data, size_t length, uint64_t offset) {
  if (length == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != State::kRunning) return;
  if (offset != end_) {
    state_ = State::kUnusable;
    changed_.notify_all();
    return;
  }
  end_ += length;
  if (reader_.joinable()) {
    changed_.notify_all();
    return;
  }
  if (end_ <= kInlineBytes) {
    if (EVP_DigestUpdate(context_->ctx, data, length) != 1) state_ = State::kUnusable;
    digested_ = end_;
    return;
  }
  lock.unlock();
  if (!StartReader(fd)) {
    std::lock_guard<std::mutex> relock(mutex_);
    state_ = State::kUnusable;
  }
}

bool RunningMd5::StartReader(int fd) {
  fd_ = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!fd_.ok()) return false;
  try {
    reader_ = std::thread(&RunningMd5::Read, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void RunningMd5::Read() {
  std::vector<unsigned char> block(1 << 20);
  for (;;) {
    uint64_t end = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return state_ != State::kRunning || digested_ < end_; });
      if (state_ == State::kUnusable || state_ == State::kStopped) return;
      if (state_ == State::kFinishing && digested_ == end_) return;
      end = end_;
    }
    size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), end - digested_));
    ssize_t n = ::pread(fd_.get(), block.data(), want, static_cast<off_t>(digested_));
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0 || EVP_DigestUpdate(context_->ctx, block.data(), static_cast<size_t>(n)) != 1) {
      state_ = State::kUnusable;
      return;
    }
    digested_ += static_cast<uint64_t>(n);
  }
}

void RunningMd5::StopReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kRunning || state_ == State::kFinishing) state_ = State::kStopped;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
  fd_.Close();
}

void RunningMd5::Resized(uint64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (length != end_ && state_ == State::kRunning) {
    state_ = State::kUnusable;
    changed_.notify_all();
  }
}

bool RunningMd5::Finish(uint64_t file_size, std::string& md5) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kRunning || file_size != end_) state_ = State::kUnusable;
    if (state_ == State::kRunning) state_ = State::kFinishing;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kUnusable || digested_ != file_size) return false;
    state_ = State::kStopped;  // the context is spent
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(context_->ctx, digest, &len) != 1) return false;
  // GetFileMd5's spelling, unpadded bytes included: the two must agree, or a
  // file would look changed to every machine.
  md5.clear();
  char hex[4];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%0x", digest[i]);
    md5 += hex;
  }
  return true;
}

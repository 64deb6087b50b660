#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"

// The MD5 digest of a file taken while it is written, so that a file written
// in order needs no second read at its close. The first kInlineBytes are
// digested in the write itself; past them a thread of its own reads the
// bytes back from the page cache behind the writes, on another core, so the
// writes do not wait for the digest. A write that does not continue where
// the last one ended, or any other size change, leaves it unusable; the
// caller then reads the file (GetFileMd5).
// Thread contract: Wrote, Resized and Finish come from one thread at a time
// (the owner's); the reader thread shares end_, state_ and the context
// under mutex_ (a leaf lock), and owns the context while it runs.
class RunningMd5 {
 public:
  static constexpr size_t kInlineBytes = 256 << 10;

  RunningMd5();
  ~RunningMd5();
  RunningMd5(const RunningMd5&) = delete;
  RunningMd5& operator=(const RunningMd5&) = delete;

  // length bytes of data were written at offset through fd (already on it).
  void Wrote(int fd, const char* data, size_t length, uint64_t offset);
  // The file's size was set to length.
  void Resized(uint64_t length);
  // The digest in GetFileMd5's spelling when the bytes seen are the whole
  // file of file_size bytes; false otherwise. Waits for the reader.
  bool Finish(uint64_t file_size, std::string& md5);

 private:
  enum class State { kRunning, kFinishing, kStopped, kUnusable };
  struct Context;
  void Read();
  bool StartReader(int fd);
  void StopReader();

  std::unique_ptr<Context> context_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t end_ = 0;       // bytes written in order so far; guarded by mutex_
  uint64_t digested_ = 0;  // the reader's (the owner's before it starts)
  State state_ = State::kRunning;  // guarded by mutex_
  UniqueFd fd_;                    // the reader's own descriptor
  std::thread reader_;
};

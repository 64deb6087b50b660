#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The MD5 digest of a file taken from its bytes as they are written, so that
// a file written in order needs no second read at its close. Any write that
// does not continue where the last one ended, and any other size change,
// leaves it unusable; the caller then reads the file (GetFileMd5).
// Thread contract: one thread at a time; the owner's own lock, if any.
class RunningMd5 {
 public:
  RunningMd5();
  ~RunningMd5();
  RunningMd5(const RunningMd5&) = delete;
  RunningMd5& operator=(const RunningMd5&) = delete;

  // length bytes written at offset.
  void Wrote(const char* data, size_t length, uint64_t offset);
  // The file's size was set to length.
  void Resized(uint64_t length);
  // The digest in GetFileMd5's spelling when the bytes seen are the whole
  // file of file_size bytes; false otherwise.
  bool Finish(uint64_t file_size, std::string& md5);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  uint64_t digested_ = 0;
  bool usable_ = true;
};

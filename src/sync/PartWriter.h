#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sync/SyncResult.h"

class RunningMd5;

// Puts downloaded bytes into a file's cached copy: made when missing, sized
// to the file's whole length (the rest stays a hole until its bytes come).
// Thread contract: stateless; any thread. Callers keep two writers off one
// range of one copy.
class PartWriter {
 public:
  // digest, when given, is told of the bytes written (the file's digest
  // taken as it is written, in order).
  static SyncResult Write(const std::string& path, int64_t total_size, int64_t offset,
                          const char* data, size_t n, RunningMd5* digest = nullptr);
};

#pragma once

#include <cstdint>
#include <string>

// One child of a folder as the drive reports it. A plain value; no shared
// state. The time words hold seconds since 1970 as the sync engine recorded
// them; for a folder the size words stay 0.
struct DriveEntry {
  static constexpr int32_t kFile = 1;
  static constexpr int32_t kFolder = 2;

  std::string name;
  int32_t kind = 0;
  uint32_t size_low = 0;
  uint32_t size_high = 0;
  uint32_t time_low = 0;
  uint32_t time_high = 0;
  uint32_t reserved = 0;  // copied by the callbacks, never read

  uint64_t Size() const { return (static_cast<uint64_t>(size_high) << 32) | size_low; }
  void SetSize(uint64_t size) {
    size_low = static_cast<uint32_t>(size);
    size_high = static_cast<uint32_t>(size >> 32);
  }
  uint64_t Time() const { return (static_cast<uint64_t>(time_high) << 32) | time_low; }
  void SetTime(uint64_t time) {
    time_low = static_cast<uint32_t>(time);
    time_high = static_cast<uint32_t>(time >> 32);
  }
};

#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// The process-wide record of the transfer running now in each direction,
// turned into the tray's status text.
// Thread contract: guarded by mutex_ (a leaf lock: nothing else is taken while
// it is held). The task thread writes the upload half, the refresh thread the
// download half, the user-interface timer reads StatusText.
class TransferProgress {
 public:
  // Milliseconds of a monotonic clock; wraps like a 32-bit tick count.
  using TickSource = std::function<uint32_t()>;

  // Created on first use, never destroyed.
  static TransferProgress* Instance();

  explicit TransferProgress(TickSource ticks = SteadyTicks);
  TransferProgress(const TransferProgress&) = delete;
  TransferProgress& operator=(const TransferProgress&) = delete;

  void BeginUpload(const std::string& name, uint32_t total);
  void BeginDownload(const std::string& name, uint32_t total);
  void AddUploaded(uint32_t n);
  void AddDownloaded(uint32_t n);
  void ClearUpload();
  void ClearDownload();

  std::string StatusText() const;

  // A copy of one half, for tests and diagnostics.
  struct Half {
    std::string name;
    uint32_t total = 0;
    uint32_t done = 0;
    uint32_t speed = 0;  // bytes per millisecond, shown as k/s
    uint32_t window = 0;
    uint32_t window_start = 0;
  };
  Half Upload() const;
  Half Download() const;

  static constexpr uint32_t kSpeedWindowMs = 20000;
  static constexpr size_t kLineBuffer = 1024;

  static uint32_t SteadyTicks();

 private:
  void Begin(Half& half, const std::string& name, uint32_t total);
  void Add(Half& half, uint32_t n);
  static void AppendLine(std::string& text, const char* format, const Half& half);

  TickSource ticks_;
  mutable std::mutex mutex_;
  Half upload_;    // guarded by mutex_
  Half download_;  // guarded by mutex_
};

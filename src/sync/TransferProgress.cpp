#include "sync/TransferProgress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

TransferProgress* TransferProgress::Instance() {
  static TransferProgress* instance = new TransferProgress();
  return instance;
}

uint32_t TransferProgress::SteadyTicks() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

TransferProgress::TransferProgress(TickSource ticks) : ticks_(std::move(ticks)) {
  uint32_t now = ticks_();
  upload_.window_start = now;
  download_.window_start = now;
}

void TransferProgress::Begin(Half& half, const std::string& name, uint32_t total) {
  std::lock_guard<std::mutex> lock(mutex_);
  half.name = name;
  half.total = total;
  half.done = half.speed = half.window = 0;
  half.window_start = ticks_();
}

void TransferProgress::Add(Half& half, uint32_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  half.done += n;
  if (half.done >= half.total) half.name.clear();
  half.window += n;
  uint32_t now = ticks_();
  uint32_t elapsed = now - half.window_start;
  if (elapsed == 0) {
    half.speed = half.window / 1000;
  } else {
    half.speed = half.window / elapsed;
    if (elapsed >= kSpeedWindowMs) {
      half.window = 0;
      half.window_start = now;
    }
  }
}

void TransferProgress::BeginUpload(const std::string& name, uint32_t total) {
  Begin(upload_, name, total);
}
void TransferProgress::BeginDownload(const std::string& name, uint32_t total) {
  Begin(download_, name, total);
}
void TransferProgress::AddUploaded(uint32_t n) { Add(upload_, n); }
void TransferProgress::AddDownloaded(uint32_t n) { Add(download_, n); }

void TransferProgress::ClearUpload() {
  std::lock_guard<std::mutex> lock(mutex_);
  upload_.name.clear();
}
void TransferProgress::ClearDownload() {
  std::lock_guard<std::mutex> lock(mutex_);
  download_.name.clear();
}

void TransferProgress::AppendLine(std::string& text, const char* format, const Half& half) {
  uint32_t total = half.total == 0 ? 1 : half.total;
  // 64-bit product: a 32-bit one overflows for transfers above 42 MB.
  uint64_t percent = static_cast<uint64_t>(half.done) * 100 / total;
  char line[kLineBuffer];
  int n = std::snprintf(line, sizeof line, format, half.name.c_str(), static_cast<int>(percent),
                        static_cast<int>(half.speed));
  if (n < 0) return;
  text.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

std::string TransferProgress::StatusText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  if (!download_.name.empty()) AppendLine(text, "正在下载 %s, %d%% %dk/s\r\n", download_);
  if (!upload_.name.empty()) AppendLine(text, "正在上传 %s, %d%% %dk/s", upload_);
  return text;
}

TransferProgress::Half TransferProgress::Upload() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return upload_;
}
TransferProgress::Half TransferProgress::Download() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return download_;
}

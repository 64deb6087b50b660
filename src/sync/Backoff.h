#pragma once

#include <atomic>
#include <chrono>

// A wait that doubles after each failure, up to a ceiling, and ends at the
// next success: the pace of uploads, remote deletes and openings.
// Thread contract: Fail, Reset and Ready on the owner's thread (or under the
// owner's lock); Ms may be read from any thread.
class Backoff {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  Backoff(int first_ms, int max_ms) : first_ms_(first_ms), max_ms_(max_ms) {}

  // One more failure at now: the wait grows within [first_ms, max_ms]
  // (the owner's own range unless given) and runs from now.
  void Fail(TimePoint now) { Fail(now, first_ms_, max_ms_); }
  void Fail(TimePoint now, int first_ms, int max_ms);
  // A success: no wait.
  void Reset();
  // Whether the wait is over at now (always, after a Reset).
  bool Ready(TimePoint now) const { return ms_ == 0 || now >= retry_at_; }
  // Milliseconds of the wait now; 0: none.
  int Ms() const { return ms_; }

 private:
  const int first_ms_;
  const int max_ms_;
  std::atomic<int> ms_{0};
  TimePoint retry_at_{};
};

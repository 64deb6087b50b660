#include "sync/Backoff.h"

#include <algorithm>

void Backoff::Fail(TimePoint now, int first_ms, int max_ms) {
  int was = ms_;
  int next = std::max(first_ms, was == 0 ? first_ms : std::min(was * 2, max_ms));
  ms_ = next;
  retry_at_ = now + std::chrono::milliseconds(next);
}

void Backoff::Reset() {
  ms_ = 0;
  retry_at_ = {};
}

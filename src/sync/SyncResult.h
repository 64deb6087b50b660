#pragma once

#include <string>
#include <utility>

// How a piece of sync work ended: done; to be tried again later (the server
// unreachable or busy, the disk in trouble, a stop, a moment that passed);
// or failed for good (what was asked cannot be done as it stands). A reason
// in words goes with all but done: the server's own text where it gave one.
// Thread contract: a value; copied between threads, never shared.
class SyncResult {
 public:
  enum class Kind { kDone, kRetryLater, kFailed };

  static SyncResult Done() { return SyncResult(Kind::kDone, ""); }
  static SyncResult RetryLater(std::string reason) {
    return SyncResult(Kind::kRetryLater, std::move(reason));
  }
  static SyncResult Failed(std::string reason) {
    return SyncResult(Kind::kFailed, std::move(reason));
  }

  Kind kind() const { return kind_; }
  bool done() const { return kind_ == Kind::kDone; }
  bool retry_later() const { return kind_ == Kind::kRetryLater; }
  bool failed() const { return kind_ == Kind::kFailed; }
  const std::string& reason() const { return reason_; }

 private:
  SyncResult(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}

  Kind kind_;
  std::string reason_;
};

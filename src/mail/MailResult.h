#pragma once

#include <string>
#include <utility>

// How a command to the server ended: its status (ok, NO, BAD, a goodbye, the
// connection lost, or a local error before or while sending), the response
// code when there was one ("OVERQUOTA", without brackets, as the server
// wrote it) and the server's own text ("NO [OVERQUOTA] Quota exceeded"). The
// predicates say what a refusal means, so that callers need not read codes.
// Thread contract: a value; copied between threads, never shared.
class MailResult {
 public:
  enum class Status { kOk, kNo, kBad, kBye, kConnectionLost, kLocalError };

  MailResult() = default;  // ok, nothing said
  MailResult(Status status, std::string code, std::string text)
      : status_(status), code_(std::move(code)), text_(std::move(text)) {}

  static MailResult Ok(std::string code = "", std::string text = "") {
    return MailResult(Status::kOk, std::move(code), std::move(text));
  }
  // A line that ends a command without success: a tagged NO, an untagged
  // BYE; anything else (BAD, or an answer out of place) counts as BAD.
  static MailResult Refusal(const std::string& line);
  static MailResult ConnectionLost(std::string text) {
    return MailResult(Status::kConnectionLost, "", std::move(text));
  }
  static MailResult Local(std::string code, std::string text) {
    return MailResult(Status::kLocalError, std::move(code), std::move(text));
  }

  Status status() const { return status_; }
  const std::string& code() const { return code_; }
  const std::string& text() const { return text_; }
  bool ok() const { return status_ == Status::kOk; }
  // NO or BAD: the session stays usable.
  bool Refused() const { return status_ == Status::kNo || status_ == Status::kBad; }
  // BYE or a broken connection: the session is gone.
  bool ConnectionEnded() const {
    return status_ == Status::kBye || status_ == Status::kConnectionLost;
  }

  // [OVERQUOTA], or a NO without another code that names the quota.
  bool OverQuota() const;
  // [THROTTLED], [LIMIT], [UNAVAILABLE]: try again later.
  bool Throttled() const;
  // [TOOBIG]; also a local result when the message is larger than the
  // server's APPENDLIMIT (nothing sent).
  bool TooBig() const;

 private:
  // The code's first word, compared without regard to case.
  bool CodeIs(const char* word) const;

  Status status_ = Status::kOk;
  std::string code_;
  std::string text_;
};

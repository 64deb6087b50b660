#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "mail/ImapParser.h"

class ImapClient;
class SyncStatus;

// How full the mailbox is, as the server tells it (GETQUOTAROOT on the
// folder): asked when the task session opens and at most once a period
// after, handed to SyncStatus (which the drive's df reads). It also keeps the
// usage seen when an append was refused as over quota, so that room coming
// back (files deleted anywhere, a larger plan) can be told apart.
// Thread contract: the task thread only (the task worker owns it). No lock;
// the status sink guards itself.
class QuotaWatch {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr int kPeriodMs = 60000;

  explicit QuotaWatch(SyncStatus& status) : status_(status) {}

  // A question is due: never asked yet, or a period has passed.
  bool Due(TimePoint now) const;
  // Asks when forced (a session just opened) or due. False when it did not
  // ask, or the server keeps no storage quota.
  bool Check(ImapClient& session, const std::string& folder, TimePoint now, bool forced);
  // The next question waits a period from now (a session that could not
  // be opened for it).
  void Postpone(TimePoint now) {
    asked_ = true;
    asked_at_ = now;
  }
  // An append was refused as over quota; the last answer is the mark.
  void NoteFull();
  // An append of about bytes went through: the usage the next question
  // would show, so that the room is not overrated until then.
  void NoteRoom(uint64_t bytes) {
    full_ = false;
    if (last_.has_storage) last_.used_bytes += bytes;
  }
  bool Full() const { return full_; }
  // Bytes free at the last answer; nullopt without a storage quota.
  std::optional<uint64_t> Room() const;
  bool Asked() const { return asked_; }
  // Whether the last answer shows less used, or a higher limit, than the
  // mark. Without a quota from the server there is no such sign.
  bool RoomSinceFull() const;

 private:
  SyncStatus& status_;
  bool asked_ = false;
  TimePoint asked_at_{};
  ImapParser::Quota last_{};
  bool full_ = false;
  ImapParser::Quota at_full_{};
};

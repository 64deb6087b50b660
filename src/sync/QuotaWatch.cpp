#include "sync/QuotaWatch.h"

#include <cstdint>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "sync/SyncStatus.h"

bool QuotaWatch::Due(TimePoint now) const {
  return !asked_ || now - asked_at_ >= std::chrono::milliseconds(kPeriodMs);
}

bool QuotaWatch::Check(ImapClient& session, const std::string& folder, TimePoint now, bool forced) {
  if (!forced && !Due(now)) return false;
  asked_ = true;
  asked_at_ = now;
  ImapParser::Quota quota;
  // A server without QUOTA, or without a storage limit, keeps the status's
  // "unknown" (df then shows the fixed size).
  if (!session.GetQuota(folder, quota) || !quota.has_storage) return false;
  last_ = quota;
  status_.SetQuota(static_cast<int64_t>(quota.used_bytes),
                   static_cast<int64_t>(quota.limit_bytes));
  CLog::Instance()->Write(LOG_DEBUG, "quota %llu of %llu bytes used",
                          static_cast<unsigned long long>(quota.used_bytes),
                          static_cast<unsigned long long>(quota.limit_bytes));
  return true;
}

void QuotaWatch::NoteFull() {
  full_ = true;
  at_full_ = last_;
}

bool QuotaWatch::RoomSinceFull() const {
  if (!full_ || !at_full_.has_storage || !last_.has_storage) return false;
  return last_.used_bytes < at_full_.used_bytes || last_.limit_bytes > at_full_.limit_bytes;
}

std::optional<uint64_t> QuotaWatch::Room() const {
  if (!last_.has_storage) return std::nullopt;
  return last_.limit_bytes > last_.used_bytes ? last_.limit_bytes - last_.used_bytes : 0;
}

#include "store/CachePolicy.h"

#include <cctype>
#include <limits>

#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/PartState.h"
#include "store/StoreFiles.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

bool HasTables(CppSQLite3DB& db) {
  StoreStatement q(db, "select count(*) as n from sqlite_master where name='cache_policy'");
  return q.executeStep() && q.getInt("n") != 0;
}

}  // namespace

CachePolicy::CachePolicy(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty() || !FileExists(path)) return;
  RunStoreBody(
      db_, "CachePolicy open error", [&] { db_.OpenDb(path); }, false);
}

void CachePolicy::Migrate(CppSQLite3DB& db) {
  db.RunStatement("CREATE TABLE IF NOT EXISTS cache_policy(limit_bytes int)");
  db.RunStatement("CREATE TABLE IF NOT EXISTS pinned(path text PRIMARY KEY)");
}

bool CachePolicy::ParseSize(const std::string& text, int64_t& bytes) {
  if (text == "off") {
    bytes = 0;
    return true;
  }
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 15 || text.size() > digits + 1) return false;
  int shift = 0;
  if (digits < text.size()) {
    switch (std::toupper(static_cast<unsigned char>(text[digits]))) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      case 'T': shift = 40; break;
      default: return false;
    }
  }
  int64_t value = std::stoll(text.substr(0, digits));
  if (value > (std::numeric_limits<int64_t>::max() >> shift)) return false;
  bytes = value << shift;
  return true;
}

bool CachePolicy::Covers(const std::vector<std::string>& pins, const std::string& path) {
  for (const std::string& pin : pins) {
    if (pin == "\\" || path == pin) return true;
    if (path.size() > pin.size() && path.compare(0, pin.size(), pin) == 0 &&
        path[pin.size()] == '\\') {
      return true;
    }
  }
  return false;
}

bool CachePolicy::Run(const char* failure, const std::function<void()>& body, bool transaction) {
  if (!db_.IsOpen()) return false;
  return RunStoreBody(db_, failure, body, transaction);
}

std::string CachePolicy::SizeText(int64_t bytes) {
  if (bytes <= 0) return "off";
  static constexpr const char kUnits[] = "KMGT";
  int unit = -1;
  while (unit < 3 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + (unit < 0 ? std::string() : std::string(1, kUnits[unit]));
}

bool CachePolicy::ReadLimit(int64_t& bytes) {
  bytes = 0;
  return Run(
      "ReadCacheLimit error",
      [&] {
        if (!HasTables(db_)) return;
        StoreStatement q(db_, "select limit_bytes from cache_policy");
        if (q.executeStep()) bytes = q.getInt64("limit_bytes");
      },
      false);
}

bool CachePolicy::SetLimit(int64_t bytes) {
  return Run(
      "SetCacheLimit error",
      [&] {
        Migrate(db_);
        db_.RunStatement("delete from cache_policy");
        StoreStatement q(db_, "insert into cache_policy(limit_bytes) values(?)");
        q.bind(1, bytes);
        q.exec();
      },
      true);
}

bool CachePolicy::Pins(std::vector<std::string>& paths) {
  paths.clear();
  return Run(
      "ReadPins error",
      [&] {
        if (!HasTables(db_)) return;
        StoreStatement q(db_, "select path from pinned order by path");
        while (q.executeStep()) paths.push_back(q.getText("path"));
      },
      false);
}

bool CachePolicy::Pin(const std::string& path) {
  return Run(
      "Pin error",
      [&] {
        Migrate(db_);
        StoreStatement q(db_, "insert or ignore into pinned(path) values(?)");
        q.bind(1, path);
        q.exec();
      },
      true);
}

bool CachePolicy::Unpin(const std::string& path) {
  return Run(
      "Unpin error",
      [&] {
        if (!HasTables(db_)) return;
        StoreStatement q(db_, "delete from pinned where path=?");
        q.bind(1, path);
        q.exec();
      },
      true);
}

bool CachePolicy::CachedBytes(int64_t& bytes) {
  bytes = 0;
  return Run(
      "CachedBytes error",
      [&] {
        StoreStatement q(db_, "select coalesce(sum(size), 0) as n from mail where stat in (?,?,?)");
        q.bind(1, StoredState(PartState::kCached));
        q.bind(2, StoredState(PartState::kAwaitingUpload));
        q.bind(3, StoredState(PartState::kAppended));
        if (q.executeStep()) bytes = q.getInt64("n");
      },
      false);
}

bool CachePolicy::EvictableFiles(std::vector<Evictable>& files) {
  files.clear();
  return Run(
      "EvictableFiles error",
      [&] {
        // Every part at stat 0: a part still waiting either way keeps the
        // whole file here.
        StoreStatement q(db_,
                         "select f.file_id as id, f.folder_id as folder, f.file_name as name, "
                         "sum(m.size) as bytes from mail m, ftable f where m.file_id=f.file_id "
                         "group by f.file_id having min(m.stat)=? and max(m.stat)=?");
        q.bind(1, StoredState(PartState::kCached));
        q.bind(2, StoredState(PartState::kCached));
        while (q.executeStep()) {
          Evictable e;
          e.file_id = q.getInt("id");
          e.folder_id = q.getInt("folder");
          e.name = q.getText("name");
          e.bytes = q.getInt64("bytes");
          files.push_back(std::move(e));
        }
      },
      false);
}

bool CachePolicy::PinnedBytes(const std::vector<std::string>& pins, int64_t& bytes) {
  bytes = 0;
  if (pins.empty()) return true;
  return Run(
      "PinnedBytes error",
      [&] {
        StoreStatement q(db_,
                         "select d.full_name || f.file_name as path, sum(m.size) as bytes "
                         "from mail m, ftable f, folder d where m.file_id=f.file_id and "
                         "d.id=f.folder_id and m.stat!=? group by f.file_id");
        q.bind(1, StoredState(PartState::kDeleted));
        while (q.executeStep()) {
          if (Covers(pins, q.getText("path"))) bytes += q.getInt64("bytes");
        }
      },
      false);
}

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/CppSQLite3DB.h"

// How much of the drive this machine keeps: the cache limit (0: every file
// is downloaded, as without the option) and the pinned paths, whose files
// stay here whatever the limit. Also the figures the limit is kept by: the
// bytes the cache holds and the files that may give theirs back. Two tables
// the start-up migration adds (cache_policy, pinned); a database without
// them reads as no limit and no pins.
// Thread contract: one thread only, like MetaStore: each caller (the engine's
// threads, tandrel-cli from another process) makes its own short-lived
// object. Failures are logged and reported as false.
class CachePolicy {
 public:
  // A file whose every part is here and in the mailbox: its cached copy may go.
  struct Evictable {
    int file_id = 0;
    int folder_id = 0;
    std::string name;
    int64_t bytes = 0;
  };

  CachePolicy(const std::string& data_dir, const std::string& user);
  CachePolicy(const CachePolicy&) = delete;
  CachePolicy& operator=(const CachePolicy&) = delete;

  // Throws the SQL layer's exception; the caller runs it in its transaction.
  static void Migrate(CppSQLite3DB& db);
  // "512M", "2G", "100K", "1T" or plain bytes; "off" and "0" read as 0.
  // False for anything else.
  static bool ParseSize(const std::string& text, int64_t& bytes);
  // The size as ParseSize reads it back, in the largest unit it fills
  // exactly ("20G", "1536M"); "off" for 0.
  static std::string SizeText(int64_t bytes);
  // Whether the drive path lies at or below one of pins.
  static bool Covers(const std::vector<std::string>& pins, const std::string& path);

  bool ReadLimit(int64_t& bytes);
  bool SetLimit(int64_t bytes);
  // Drive paths ("\docs" or "\docs\a.txt").
  bool Pins(std::vector<std::string>& paths);
  bool Pin(const std::string& path);
  bool Unpin(const std::string& path);
  // Bytes whose content is in the cache: downloaded, or waiting to go up.
  bool CachedBytes(int64_t& bytes);
  bool EvictableFiles(std::vector<Evictable>& files);
  // Bytes of the files at or below pins, cached or not.
  bool PinnedBytes(const std::vector<std::string>& pins, int64_t& bytes);

 private:
  bool Run(const char* failure, const std::function<void()>& body, bool transaction);

  CppSQLite3DB db_;
};

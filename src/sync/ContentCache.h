#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mail/ImapClient.h"
#include "message/AgeReader.h"
#include "store/FileRecord.h"
#include "store/SyncQueries.h"
#include "sync/PartAhead.h"

class MetaStore;
class SyncContext;

// Content on demand within a limit. With a limit set, every file is listed
// at once and its bytes come when they are read: the covering range of a
// part (its fixed base64 lines make offsets computable), a window that
// grows while a reader goes on in order. Before anything lands the limit is
// made room for: the least recently read files whose every part is in the
// mailbox give their cached bytes back (they stay listed). Files open,
// waiting for upload, being written or pinned are never evicted; when they
// alone fill the limit, nothing more is fetched (kNoRoom).
//
// Thread contract: Ensure on the drive's threads; MakeRoom, Reload and the
// readers from any thread. lookup_mutex_ guards the store handles that
// find bytes already here, so that such reads never wait for a fetch;
// fetch_mutex_ serialises the fetches (one extra connection, session_, with
// its store handles, and the read-ahead of the next part on a second one);
// mutex_ guards the pins, the open paths, the read
// order, the ranges and the streams. Lock order: lookup_mutex_ or
// fetch_mutex_ (never both), then mutex_, then the context's
// namespace_mutex, then forget_mutex_ (a leaf, which Forget alone takes);
// only fetch_mutex_ is held during network traffic.
class ContentCache {
 public:
  enum class Fetch { kReady, kOffline, kNoRoom, kGone };
  // A read that does not go on from the last one fetches what it asks (at
  // least this); each read that goes on in order doubles the window.
  static constexpr int64_t kFirstWindow = 64 * 1024;
  static constexpr int64_t kMaxWindow = 10 * 1024 * 1024;  // a whole part

  explicit ContentCache(SyncContext& context);
  ~ContentCache();
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  // Reads the limit and the pins again from the store.
  void Reload();
  bool OnDemand() const { return limit_.load() > 0; }
  // Whether the drive path lies at or below a pinned path.
  bool Pinned(const std::string& path);

  // Makes bytes [offset, offset + length) of the file at path readable in
  // its cached copy; complete tells whether the whole file is here now, and
  // ready_to (when asked) how far from offset its bytes are here: a reader
  // may read up to it without asking again while Evictions() stays as it was
  // before the call.
  Fetch Ensure(const std::string& path, int64_t offset, int64_t length, bool& complete,
               int64_t* ready_to = nullptr);
  // Counts the evictions so far.
  uint64_t Evictions() const { return evictions_.load(); }
  // A handle opened or closed the file at path for reading.
  void Opened(const std::string& path);
  void Closed(const std::string& path);
  // Evicts until incoming more bytes fit the limit; false when they cannot.
  // A reader's fetch (reading: the part it reads) may also give back the
  // other parts of its own file, and may pass the limit by up to one part
  // when nothing else can go: a file larger than the limit still reads.
  bool MakeRoom(int64_t incoming, const FileRecord* reading = nullptr);
  // Bytes cached now, whole parts and ranges of parts.
  int64_t CachedBytes();
  // The file left the tree (deleted, replaced, merged away): what is known
  // of its ranges goes, so that its content, should it come back from the
  // trash or as a version, is fetched again. Any thread, under any lock.
  void Forget(int file_id);
  // Sessions of the fetches, for a stop to cut and a start to reset.
  void CutSession();
  void ResetSession();

 private:
  using Ranges = std::map<int64_t, int64_t>;  // start -> end, disjoint
  using PartKey = std::pair<int, int>;        // file id, part
  struct Stream {
    int64_t next = -1;
    int64_t window = kFirstWindow;
  };

  // The file at path and its part rows; false when it is not (whole) here.
  static bool Plan(MetaStore& store, SyncQueries& queries, const std::string& path,
                   FileRecord& file, std::vector<SyncQueries::PartRow>& rows);
  // Whether [offset, end) is here; then complete and ready_to as Ensure
  // tells them, and the file counts as read now.
  bool AllHere(const FileRecord& file, const std::vector<SyncQueries::PartRow>& rows,
               int64_t offset, int64_t end, bool& complete, int64_t* ready_to);
  // fetch_mutex_ held: one part's bytes [from, to) (relative to the part).
  // next: the mail id of the following part when it is not here either.
  Fetch EnsurePart(const FileRecord& part, const std::string& copy, int64_t from, int64_t to,
                   const std::string& next);
  // The window to fetch for a read of [from, to) of part, clipped to it.
  std::pair<int64_t, int64_t> Window(const FileRecord& part, int64_t from, int64_t to);
  // Fetches content [from, to) of part (whole lines of it) into its copy.
  Fetch FetchRange(const FileRecord& part, const std::string& copy, int64_t from, int64_t to);
  // The same on an encrypted drive: the age chunks holding [from, to),
  // decrypted once they authenticated.
  Fetch FetchSealedRange(const FileRecord& part, const std::string& copy, int64_t from, int64_t to);
  // Decoded bytes [from, to) of the part's attachment (size bytes long),
  // from whole lines; at: where bytes start (a line's start, <= from).
  Fetch FetchDecoded(const FileRecord& part, int64_t from, int64_t to, int64_t size,
                     std::string& bytes, int64_t& at);
  // The unlocked header of a sealed part, bound to it; nullptr when it
  // cannot be read (offline: kOffline in failed, else kGone).
  const AgeReader* SealedHeader(const FileRecord& part, Fetch& failed);
  // ahead: the message to fetch ahead meanwhile (empty: none).
  Fetch FetchWhole(const FileRecord& part, const std::string& copy, const std::string& ahead);
  // Records part as downloaded once its ranges cover it.
  void Landed(const FileRecord& part, int64_t from, int64_t to);
  bool Covered(const PartKey& key, int64_t from, int64_t to);
  // The end of the cached range of the part holding at (at itself when none).
  int64_t CoveredTo(const PartKey& key, int64_t at);
  bool OpenStores();
  // mutex_ held: drops the ranges of the files forgotten since.
  void ApplyForgets();
  // mutex_ held: gives back one file's cached bytes; false when none may go.
  bool EvictOne(int64_t& freed);
  // mutex_ held: bytes of the file's ranges (of one part, when not 0).
  int64_t RangeBytes(int file_id, int part = 0);
  // mutex_ held: gives back one other part of the file being read.
  bool EvictOtherPart(const FileRecord& reading, int64_t& freed);

  SyncContext& context_;
  std::atomic<int64_t> limit_{0};
  std::atomic<uint64_t> evictions_{0};

  std::mutex lookup_mutex_;
  std::unique_ptr<MetaStore> lookup_store_;      // guarded by lookup_mutex_
  std::unique_ptr<SyncQueries> lookup_queries_;  // guarded by lookup_mutex_

  std::mutex fetch_mutex_;
  ImapClient session_;                   // guarded by fetch_mutex_
  std::unique_ptr<MetaStore> store_;     // guarded by fetch_mutex_
  std::unique_ptr<SyncQueries> queries_; // guarded by fetch_mutex_
  PartAhead ahead_;                      // used under fetch_mutex_
  int64_t read_from_ = 0, read_to_ = 0;  // the read being served; fetch_mutex_
  struct SealedPart {
    std::string mail_id;
    AgeReader reader;
  };
  std::map<PartKey, std::unique_ptr<SealedPart>> sealed_;  // guarded by fetch_mutex_

  std::mutex mutex_;
  std::vector<std::string> pins_;             // guarded by mutex_
  std::map<std::string, int> open_;           // guarded by mutex_
  std::map<int, uint64_t> last_read_;         // file id -> tick; guarded by mutex_
  uint64_t tick_ = 0;                         // guarded by mutex_
  std::map<PartKey, Ranges> ranges_;          // guarded by mutex_
  std::map<int, Stream> streams_;             // guarded by mutex_
  // A leaf lock: nothing else is taken while it is held.
  std::mutex forget_mutex_;
  std::vector<int> forgotten_;  // guarded by forget_mutex_
};

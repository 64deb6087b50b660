#include "sync/ContentCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "log/CLog.h"
#include "message/Base64.h"
#include "message/DriveKey.h"
#include "platform/FileHelpers.h"
#include "platform/UniqueFd.h"
#include "store/CachePolicy.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/FolderCache.h"
#include "sync/PartWriter.h"
#include "sync/SyncContext.h"
#include "sync/SyncNames.h"
#include "sync/SyncStatus.h"

namespace {

CLog* Log() { return CLog::Instance(); }

// The writer folds base64 at 72 characters: 54 bytes of content per line of
// 74 bytes with its CR LF.
constexpr int64_t kLineBytes = 54;
constexpr int64_t kLineText = 74;

// The folded text of whole lines, decoded; false when a line is not one of
// the writer's (then the range cannot be trusted).
bool DecodeLines(const std::string& text, std::string& out) {
  constexpr size_t kChars = kLineText - 2;
  std::string joined(text.size(), '\0');
  size_t pos = 0, used = 0;
  while (pos < text.size()) {
    size_t end = pos + kChars;
    if (end + 2 > text.size() || text[end] != '\r' || text[end + 1] != '\n') {
      // Only the last line may be shorter.
      end = text.find("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      if (end + 2 < text.size()) return false;
    }
    size_t len = end - pos;
    if (len == 0 || len % 4 != 0) return false;
    std::memcpy(joined.data() + used, text.data() + pos, len);
    used += len;
    pos = end + 2;
  }
  joined.resize(used);
  out = Base64Decode(joined);
  return true;
}

// A file already listed coming into the cache is no change of its folder's
// entries, whose time the drive shows: tar would see the folder change under
// it. A new copy leaves the folder's times as they were.
SyncResult WriteCopy(const std::string& copy, int64_t total_size, int64_t offset,
                     const std::string& bytes) {
  std::string folder, name;
  struct stat before {};
  bool fresh = !FileExists(copy) && SplitPath(copy, folder, name) &&
               ::stat(NativePath(folder).c_str(), &before) == 0;
  SyncResult written = PartWriter::Write(copy, total_size, offset, bytes.data(), bytes.size());
  if (fresh) {
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ::utimensat(AT_FDCWD, NativePath(folder).c_str(), times, 0);
  }
  return written;
}

}  // namespace

ContentCache::ContentCache(SyncContext& context)
    : context_(context),
      ahead_([this](ImapClient& session) { return context_.EnsureOpen(session); },
             [this] { return context_.Key(); }) {}

ContentCache::~ContentCache() = default;

void ContentCache::Reload() {
  CachePolicy policy(context_.data_dir, context_.account.user);
  int64_t limit = 0;
  std::vector<std::string> pins;
  if (!policy.ReadLimit(limit) || !policy.Pins(pins)) return;
  limit_ = limit;
  std::lock_guard<std::mutex> lock(mutex_);
  pins_ = std::move(pins);
}

bool ContentCache::Pinned(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CachePolicy::Covers(pins_, path);
}

void ContentCache::Opened(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++open_[path];
}

void ContentCache::Closed(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(path);
  if (it != open_.end() && --it->second <= 0) open_.erase(it);
}

void ContentCache::CutSession() {
  session_.Abort();
  ahead_.Cut();
}

void ContentCache::ResetSession() {
  session_.Reset();
  ahead_.Reset();
}

bool ContentCache::OpenStores() {
  if (!store_) store_ = std::make_unique<MetaStore>(context_.data_dir);
  if (!queries_) queries_ = std::make_unique<SyncQueries>(context_.data_dir, context_.account.user);
  return queries_->IsOpen();
}

bool ContentCache::Plan(MetaStore& store, SyncQueries& queries, const std::string& path,
                        FileRecord& file, std::vector<SyncQueries::PartRow>& rows) {
  return store.GetFileInfo(path, file) && queries.GetParts(file.file_id, rows) &&
         static_cast<int>(rows.size()) == file.total_part;
}

bool ContentCache::AllHere(const FileRecord& file, const std::vector<SyncQueries::PartRow>& rows,
                           int64_t offset, int64_t end, bool& complete, int64_t* ready_to) {
  complete = true;
  int64_t ready = end;
  for (const SyncQueries::PartRow& row : rows) {
    int64_t start = static_cast<int64_t>(row.part - 1) * MetaStore::kPartSize;
    bool cached = row.stat != PartState::kAwaitingDownload;
    complete = complete && cached;
    int64_t from = std::max(offset, start), to = std::min(end, start + row.size);
    if (from < to && !cached && !Covered({file.file_id, row.part}, from - start, to - start)) {
      return false;
    }
    // The part the read ends in: as far as it is here.
    if (start < end && end <= start + row.size) {
      ready = cached ? start + row.size : start + CoveredTo({file.file_id, row.part}, end - start);
    }
  }
  if (ready_to != nullptr) *ready_to = std::max(ready, end);
  std::lock_guard<std::mutex> lock(mutex_);
  last_read_[file.file_id] = ++tick_;
  return true;
}

ContentCache::Fetch ContentCache::Ensure(const std::string& path, int64_t offset, int64_t length,
                                         bool& complete, int64_t* ready_to) {
  complete = false;
  FileRecord file;
  std::vector<SyncQueries::PartRow> rows;
  {
    // Bytes already here never wait behind another file's fetch.
    std::lock_guard<std::mutex> looking(lookup_mutex_);
    if (!lookup_store_) lookup_store_ = std::make_unique<MetaStore>(context_.data_dir);
    if (!lookup_queries_)
      lookup_queries_ = std::make_unique<SyncQueries>(context_.data_dir, context_.account.user);
    if (Plan(*lookup_store_, *lookup_queries_, path, file, rows) &&
        AllHere(file, rows, offset, std::min<int64_t>(offset + length, file.total_size), complete,
                ready_to)) {
      return Fetch::kReady;
    }
  }
  std::lock_guard<std::mutex> fetching(fetch_mutex_);
  if (!OpenStores()) return Fetch::kOffline;
  if (!Plan(*store_, *queries_, path, file, rows)) return Fetch::kGone;
  int64_t end = std::min<int64_t>(offset + length, file.total_size);
  read_from_ = offset;
  read_to_ = end;
  std::string cache;  // looked up for the first fetch only
  for (size_t i = 0; i < rows.size(); ++i) {
    const SyncQueries::PartRow& row = rows[i];
    int64_t start = static_cast<int64_t>(row.part - 1) * MetaStore::kPartSize;
    int64_t from = std::max(offset, start), to = std::min(end, start + row.size);
    if (row.stat != PartState::kAwaitingDownload || from >= to) continue;
    bool next_awaits = i + 1 < rows.size() && rows[i + 1].stat == PartState::kAwaitingDownload;
    FileRecord p = file;
    p.drive_path = path;
    p.part = row.part;
    p.size = row.size;
    p.mail_id = row.mail_id;
    if (cache.empty()) cache = context_.CacheRoot(*store_);
    if (cache.empty()) return Fetch::kOffline;
    Fetch got = EnsurePart(p, cache + path, from - start, to - start,
                           next_awaits ? rows[i + 1].mail_id : std::string());
    if (got != Fetch::kReady) return got;
  }
  // Read again: what landed is recorded now.
  if (!Plan(*store_, *queries_, path, file, rows)) return Fetch::kGone;
  return AllHere(file, rows, offset, end, complete, ready_to) ? Fetch::kReady : Fetch::kGone;
}

ContentCache::Fetch ContentCache::EnsurePart(const FileRecord& part, const std::string& copy,
                                             int64_t from, int64_t to, const std::string& next) {
  if (Covered({part.file_id, part.part}, from, to)) return Fetch::kReady;
  auto [want_from, want_to] = Window(part, from, to);
  bool sealed = context_.Key() != nullptr;
  if (sealed) {  // whole age chunks
    const int64_t chunk = AgeWriter::kChunkSize;
    want_from = want_from / chunk * chunk;
    want_to = std::min<int64_t>(part.size, (want_to + chunk - 1) / chunk * chunk);
  }
  if (!MakeRoom(want_to - want_from, &part)) {
    context_.status.NoteError("the cache is full: pinned files and files waiting for upload "
                              "fill its limit");
    return Fetch::kNoRoom;
  }
  if (!context_.EnsureOpen(session_)) return Fetch::kOffline;
  bool whole = want_from == 0 && want_to == part.size;
  // A whole part larger than a first window: the reader goes on in order.
  std::string ahead = whole && part.size > kFirstWindow ? next : std::string();
  Fetch got = whole    ? FetchWhole(part, copy, ahead)
              : sealed ? FetchSealedRange(part, copy, want_from, want_to)
                       : FetchRange(part, copy, want_from, want_to);
  // A range the server would not give as the writer laid it out, or that
  // does not authenticate, comes whole (and is checked whole).
  if (got == Fetch::kGone && !whole) got = FetchWhole(part, copy, "");
  return got;
}

std::pair<int64_t, int64_t> ContentCache::Window(const FileRecord& part, int64_t from, int64_t to) {
  std::lock_guard<std::mutex> lock(mutex_);
  Stream& stream = streams_[part.file_id];
  const int64_t base = SyncNames::PartOffset(part);
  int64_t at = base + from;
  // The kernel's read-ahead comes on several threads: a read a little past
  // the end of the last window goes on in order too, and its window starts
  // where the last one ended, leaving no gap.
  bool goes_on = stream.next >= 0 && at >= stream.next && at <= stream.next + stream.window;
  stream.window = goes_on ? std::min(stream.window * 2, kMaxWindow) : kFirstWindow;
  if (goes_on && stream.next >= base) from = stream.next - base;
  int64_t end = std::min<int64_t>(part.size, std::max(to, from + stream.window));
  stream.next = base + end;
  return {from, end};
}

ContentCache::Fetch ContentCache::FetchDecoded(const FileRecord& part, int64_t from, int64_t to,
                                               int64_t size, std::string& bytes, int64_t& at) {
  int64_t first = from / kLineBytes, last = (to - 1) / kLineBytes;
  std::string text;
  if (!session_.FetchSectionRange(part.mail_id, "1", static_cast<size_t>(first * kLineText),
                                  static_cast<size_t>((last - first + 1) * kLineText), text)) {
    session_.Close();
    return Fetch::kOffline;
  }
  int64_t want = std::min<int64_t>((last + 1) * kLineBytes, size) - first * kLineBytes;
  if (!DecodeLines(text, bytes) || static_cast<int64_t>(bytes.size()) != want) return Fetch::kGone;
  at = first * kLineBytes;
  return Fetch::kReady;
}

ContentCache::Fetch ContentCache::FetchRange(const FileRecord& part, const std::string& copy,
                                             int64_t from, int64_t to) {
  Log()->Write(LOG_DEBUG, "fetching bytes %lld-%lld of part %d of %s", static_cast<long long>(from),
               static_cast<long long>(to), part.part, part.drive_path.c_str());
  std::string bytes;
  int64_t at = 0;
  Fetch got = FetchDecoded(part, from, to, part.size, bytes, at);
  if (got != Fetch::kReady) return got;
  SyncResult written = WriteCopy(copy, part.total_size, SyncNames::PartOffset(part) + at, bytes);
  if (!written.done()) return Fetch::kOffline;
  Landed(part, at, at + static_cast<int64_t>(bytes.size()));
  return Fetch::kReady;
}

const AgeReader* ContentCache::SealedHeader(const FileRecord& part, Fetch& failed) {
  PartKey key{part.file_id, part.part};
  auto it = sealed_.find(key);
  if (it != sealed_.end() && it->second->mail_id == part.mail_id) return &it->second->reader;
  if (sealed_.size() >= 256) sealed_.clear();  // a header is cheap to fetch again
  auto sealed = std::make_unique<SealedPart>();
  sealed->mail_id = part.mail_id;
  // Two stanzas and the MAC fit the first lines; a larger header is read
  // whole by the caller instead.
  std::string bytes;
  int64_t at = 0;
  failed = FetchDecoded(part, 0, 16 * kLineBytes, part.size, bytes, at);
  if (failed != Fetch::kReady) return nullptr;
  failed = Fetch::kGone;
  AgeResult result = sealed->reader.ParseHeader(bytes);
  if (result.ok()) result = sealed->reader.Unlock(context_.Key()->identity());
  if (!result.ok()) return nullptr;
  std::string tag = context_.Key()->BindingTag(part.file_id, part.part);
  bool bound = false;
  for (const AgeStanza& stanza : sealed->reader.ExtraStanzas())
    bound = bound || (stanza.type == DriveKey::kBindingStanza && stanza.args.size() == 1 &&
                      stanza.args[0] == tag);
  if (!bound) return nullptr;
  failed = Fetch::kReady;
  return &(sealed_[key] = std::move(sealed))->reader;
}

ContentCache::Fetch ContentCache::FetchSealedRange(const FileRecord& part, const std::string& copy,
                                                   int64_t from, int64_t to) {
  Fetch got = Fetch::kGone;
  const AgeReader* reader = SealedHeader(part, got);
  if (reader == nullptr) return got;
  const int64_t chunk = AgeWriter::kChunkSize;
  int64_t chunks = std::max<int64_t>(1, (part.size + chunk - 1) / chunk);
  auto file_size = static_cast<uint64_t>(reader->payload_offset() + part.size +
                                         chunks * static_cast<int64_t>(AgeWriter::kTagSize));
  from = from / chunk * chunk;
  to = std::min<int64_t>(part.size, (to + chunk - 1) / chunk * chunk);
  AgeRange range;
  std::string bytes, plain;
  int64_t at = 0;
  auto length = static_cast<uint64_t>(to - from);
  if (!reader->CiphertextRange(file_size, static_cast<uint64_t>(from), length, range).ok())
    return Fetch::kGone;
  auto begin = static_cast<int64_t>(range.offset), end = begin + static_cast<int64_t>(range.length);
  got = FetchDecoded(part, begin, end, static_cast<int64_t>(file_size), bytes, at);
  if (got != Fetch::kReady) return got;
  std::string_view sealed = std::string_view(bytes).substr(static_cast<size_t>(begin - at));
  sealed = sealed.substr(0, range.length);
  AgeResult opened =
      reader->DecryptRange(file_size, static_cast<uint64_t>(from), length, sealed, plain);
  if (!opened.ok() || plain.size() != length) {
    Log()->Write(LOG_WARNING, "bytes %lld-%lld of part %d of %s do not authenticate: %s",
                 static_cast<long long>(from), static_cast<long long>(to), part.part,
                 part.drive_path.c_str(), opened.message.c_str());
    sealed_.erase({part.file_id, part.part});
    return Fetch::kGone;
  }
  SyncResult written = WriteCopy(copy, part.total_size, SyncNames::PartOffset(part) + from, plain);
  if (!written.done()) return Fetch::kOffline;
  Landed(part, from, to);
  return Fetch::kReady;
}

ContentCache::Fetch ContentCache::FetchWhole(const FileRecord& part, const std::string& copy,
                                             const std::string& ahead) {
  std::string content, message;
  PartHeader info;
  bool found = ahead_.Take(part.mail_id, content, info);
  if (!found && !session_.FetchMessage({part.mail_id}, message)) {
    session_.Close();
    return Fetch::kOffline;
  }
  if (!ahead.empty()) ahead_.Start(ahead);  // while this part is decoded and written
  if (!found) found = PartAhead::Content(message, content, context_.Key(), info);
  // On an encrypted drive the sealed header must name this very part: a
  // server could hand another one's whole message under this UID.
  bool placed =
      context_.Key() == nullptr || (info.file_id == part.file_id && info.part == part.part);
  if (!found || !placed || content.size() != static_cast<size_t>(part.size)) {
    Log()->Write(LOG_ERROR, "part %d of %s cannot be read from mail_id:%s", part.part,
                 part.name.c_str(), part.mail_id.c_str());
    if (context_.Key() != nullptr) {
      context_.status.NoteError("part " + std::to_string(part.part) + " of " + part.name +
                                " failed its authentication");
    }
    return Fetch::kGone;
  }
  SyncResult written = WriteCopy(copy, part.total_size, SyncNames::PartOffset(part), content);
  if (!written.done()) return Fetch::kOffline;
  Landed(part, 0, part.size);
  return Fetch::kReady;
}

void ContentCache::Landed(const FileRecord& part, int64_t from, int64_t to) {
  PartKey key{part.file_id, part.part};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ApplyForgets();
    Ranges& ranges = ranges_[key];
    auto it = ranges.upper_bound(from);
    if (it != ranges.begin() && std::prev(it)->second >= from) --it;
    while (it != ranges.end() && it->first <= to) {
      from = std::min(from, it->first);
      to = std::max(to, it->second);
      it = ranges.erase(it);
    }
    ranges[from] = to;
    if (!(from == 0 && to >= part.size)) return;
  }
  FileRecord done = part;
  done.stat = PartState::kCached;
  bool marked = false;
  {
    std::lock_guard<std::mutex> names(context_.namespace_mutex);
    marked = queries_->MarkDownloaded({done});
  }
  if (!marked) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ranges_.erase(key);
}

void ContentCache::Forget(int file_id) {
  std::lock_guard<std::mutex> lock(forget_mutex_);
  forgotten_.push_back(file_id);
}

void ContentCache::ApplyForgets() {
  std::vector<int> ids;
  {
    std::lock_guard<std::mutex> lock(forget_mutex_);
    ids.swap(forgotten_);
  }
  for (int id : ids) {
    ranges_.erase(ranges_.lower_bound({id, 0}), ranges_.lower_bound({id + 1, 0}));
    streams_.erase(id);
  }
}

bool ContentCache::Covered(const PartKey& key, int64_t from, int64_t to) {
  std::lock_guard<std::mutex> lock(mutex_);
  ApplyForgets();
  auto part = ranges_.find(key);
  if (part == ranges_.end()) return false;
  auto it = part->second.upper_bound(from);
  if (it == part->second.begin()) return false;
  --it;
  return it->first <= from && it->second >= to;
}

int64_t ContentCache::CoveredTo(const PartKey& key, int64_t at) {
  std::lock_guard<std::mutex> lock(mutex_);
  ApplyForgets();
  auto part = ranges_.find(key);
  if (part == ranges_.end()) return at;
  auto it = part->second.upper_bound(at);
  if (it == part->second.begin()) return at;
  --it;
  return it->first <= at && it->second >= at ? it->second : at;
}

int64_t ContentCache::CachedBytes() {
  int64_t bytes = 0;
  CachePolicy(context_.data_dir, context_.account.user).CachedBytes(bytes);
  std::lock_guard<std::mutex> lock(mutex_);
  ApplyForgets();
  for (const auto& [key, ranges] : ranges_) {
    for (const auto& [from, to] : ranges) bytes += to - from;
  }
  return bytes;
}

bool ContentCache::MakeRoom(int64_t incoming, const FileRecord* reading) {
  int64_t limit = limit_.load();
  if (limit <= 0) return true;
  int64_t used = CachedBytes();
  std::lock_guard<std::mutex> lock(mutex_);
  while (used + incoming > limit) {
    int64_t freed = 0;
    if (EvictOne(freed) || (reading != nullptr && EvictOtherPart(*reading, freed))) {
      used -= freed;
      continue;
    }
    return reading != nullptr && used + incoming <= limit + MetaStore::kPartSize;
  }
  return true;
}

bool ContentCache::EvictOtherPart(const FileRecord& reading, int64_t& freed) {
  MetaStore store(context_.data_dir);
  std::string cache = context_.CacheRoot(store);
  const std::string& path = reading.drive_path;
  if (cache.empty() || path.empty()) return false;
  if (CachePolicy::Covers(pins_, path) || context_.open_writes.Contains(path)) return false;
  SyncQueries queries(context_.data_dir, context_.account.user);
  for (int part = 1; part <= reading.total_part; ++part) {
    int64_t start = static_cast<int64_t>(part - 1) * MetaStore::kPartSize;
    // The read under way needs every part it covers.
    if (part == reading.part || (start < read_to_ && start + MetaStore::kPartSize > read_from_)) {
      continue;
    }
    SyncQueries::PartRow row;
    bool found = false;
    if (!queries.GetPart(reading.file_id, part, row, found) || !found) return false;
    int64_t bytes = RangeBytes(reading.file_id, part);
    if (row.stat == PartState::kCached) {
      std::lock_guard<std::mutex> names(context_.namespace_mutex);
      if (!queries.MarkForDownload(reading.file_id, part)) return false;
      bytes = row.size;
    }
    if (bytes == 0) continue;
    ranges_.erase(PartKey{reading.file_id, part});
    UniqueFd fd(::open(NativePath(cache + path).c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.ok() || ::fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, start,
                                row.size) != 0) {
      Log()->Write(LOG_WARNING, "part %d of %s cannot be emptied in the cache", part, path.c_str());
    }
    freed = bytes;
    ++evictions_;
    return true;
  }
  return false;
}

bool ContentCache::EvictOne(int64_t& freed) {
  std::vector<CachePolicy::Evictable> files;
  if (!CachePolicy(context_.data_dir, context_.account.user).EvictableFiles(files)) return false;
  auto read_at = [this](int file_id) {
    auto it = last_read_.find(file_id);
    return it == last_read_.end() ? uint64_t{0} : it->second;
  };
  std::stable_sort(files.begin(), files.end(), [&](const auto& a, const auto& b) {
    return read_at(a.file_id) < read_at(b.file_id);
  });
  MetaStore store(context_.data_dir);
  std::string cache = context_.CacheRoot(store);
  if (cache.empty()) return false;
  for (const auto& f : files) {
    int64_t bytes = f.bytes + RangeBytes(f.file_id);
    FolderRecord folder;
    if (bytes == 0 || !store.GetFolder(f.folder_id, folder)) continue;
    std::string path = folder.full_name + f.name;
    if (open_.count(path) != 0 || CachePolicy::Covers(pins_, path) ||
        context_.open_writes.Contains(path)) {
      continue;
    }
    {
      std::lock_guard<std::mutex> names(context_.namespace_mutex);
      if (!SyncQueries(context_.data_dir, context_.account.user).MarkForDownload(f.file_id)) {
        return false;
      }
    }
    ranges_.erase(ranges_.lower_bound({f.file_id, 0}), ranges_.lower_bound({f.file_id + 1, 0}));
    // The copy keeps its length as a hole: what was read from it is gone.
    std::string local = NativePath(cache + path);
    struct stat st {};
    if (::stat(local.c_str(), &st) == 0 &&
        (::truncate(local.c_str(), 0) != 0 || ::truncate(local.c_str(), st.st_size) != 0)) {
      Log()->Write(LOG_WARNING, "the cached copy of %s cannot be emptied", path.c_str());
    }
    Log()->Write(LOG_INFO, "evicted %s from the cache (%lld bytes)", path.c_str(),
                 static_cast<long long>(bytes));
    freed = bytes;
    ++evictions_;
    return true;
  }
  return false;
}

int64_t ContentCache::RangeBytes(int file_id, int part) {
  int64_t bytes = 0;
  for (auto it = ranges_.lower_bound({file_id, part}); it != ranges_.end() &&
                                                       it->first.first == file_id &&
                                                       (part == 0 || it->first.second == part);
       ++it) {
    for (const auto& [from, to] : it->second) bytes += to - from;
  }
  return bytes;
}

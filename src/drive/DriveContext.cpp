#include "drive/DriveContext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <utility>
#include <vector>

#include "drive/DispatchGate.h"
#include "drive/DriveErrors.h"
#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"
#include "sync/TreeMerge.h"

namespace {

std::atomic<DriveContext*> g_current{nullptr};

// Paths of entries deleted while still open; "|" never occurs in a name.
constexpr const char* kForgottenPrefix = "|gone|";

bool FullWrite(int fd, const char* buffer, size_t length, off_t offset) {
  while (length > 0) {
    ssize_t n = ::pwrite(fd, buffer, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// The drive's code for a failed local call; fallback when none fits better.
int LocalError(int error, int fallback) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return DRIVE_DISK_FULL;
    case ENAMETOOLONG:
      return DRIVE_NAME_TOO_LONG;
    case EFBIG:  // past what the cache's file system holds
      return DRIVE_FILE_TOO_LARGE;
    case EACCES:
    case EPERM:
      return DRIVE_ACCESS_DENIED;
    default:
      return fallback;
  }
}

bool FullRead(int fd, char* buffer, uint32_t length, off_t offset, uint32_t& got) {
  got = 0;
  while (got < length) {
    ssize_t n = ::pread(fd, buffer + got, length - got, offset + got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  return true;
}

}  // namespace

DriveContext::DriveContext(SyncEngine& engine, FolderCache& cache, const AccountRecord& account)
    : engine_(engine),
      cache_(cache),
      account_(account),
      cache_root_(account.user.empty() ? "" : engine.CacheRoot()),
      table_(&engine.Writing()),
      mounted_at_(static_cast<uint64_t>(::time(nullptr))) {}

DriveContext::~DriveContext() = default;

DriveContext* DriveContext::Current() { return g_current.load(); }

void DriveContext::Bind(DriveContext* context) { g_current.store(context); }

std::string DriveContext::LocalPath(const std::string& path) const {
  return NativePath(cache_root_ + path);
}

int DriveContext::Lookup(const std::string& path) {
  if (table_.Has(path)) return kFile;
  DriveEntry entry;
  if (!Find(path, entry)) return kMissing;
  return entry.kind == DriveEntry::kFolder ? kFolder : kFile;
}

bool DriveContext::Find(const std::string& path, DriveEntry& out) {
  if (path == "\\") {
    out = DriveEntry();
    out.name.assign(1, '\\');
    out.kind = DriveEntry::kFolder;
    return true;
  }
  std::string folder, name;
  if (!SplitPath(path, folder, name)) return false;
  if (WriteTable::Entry* entry = table_.Find(path)) {
    // The size while writing is what the local copy holds now: a reader of
    // the file being written must see its bytes.
    struct stat st {};
    out = DriveEntry();
    out.name = name;
    out.kind = DriveEntry::kFile;
    if (::fstat(entry->fd.get(), &st) == 0) {
      out.SetSize(static_cast<uint64_t>(st.st_size));
      out.SetTime(static_cast<uint64_t>(st.st_mtime));
    }
    return true;
  }
  return cache_.GetEntry(folder, name, out);
}

bool DriveContext::Stat(const std::string& path, DriveEntry& out) {
  if (!Find(path, out)) return false;
  if (out.kind == DriveEntry::kFolder) out.SetTime(FolderTime(path));
  return true;
}

uint64_t DriveContext::FolderTime(const std::string& path) const {
  // The local folder's time: its creation, the last change of its entries
  // or a time set through the drive, and it stays across mounts.
  struct stat st {};
  if (!cache_root_.empty() && ::stat(LocalPath(path).c_str(), &st) == 0 && st.st_mtime > 0) {
    return static_cast<uint64_t>(st.st_mtime);
  }
  return mounted_at_;
}

bool DriveContext::StatHandle(const void* handle, DriveEntry& out) {
  int fd = -1;
  if (WriteTable::Entry* entry = table_.FindByWriter(handle)) {
    fd = entry->fd.get();
  } else if (auto it = readers_.find(handle); it != readers_.end()) {
    fd = it->second.fd.get();
  }
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  out = DriveEntry();
  out.kind = DriveEntry::kFile;
  out.SetSize(static_cast<uint64_t>(st.st_size));
  out.SetTime(static_cast<uint64_t>(st.st_mtime));
  return true;
}

int DriveContext::CountSubfolders(const std::string& path) const {
  return cache_.CountSubfolders(path == "\\" ? path : path + "\\");
}

int DriveContext::CheckNewName(const std::string& path) {
  std::string folder, name;
  if (!SplitPath(path, folder, name) || name.empty()) return DRIVE_INVALID_PARAMETER;
  if (name.size() > kMaxNameBytes) return DRIVE_NAME_TOO_LONG;
  // The folder index is a line format with "|" between fields.
  for (char c : name) {
    if (c == '\\' || c == '|' || c == '\r' || c == '\n' || c == '\0')
      return DRIVE_INVALID_PARAMETER;
  }
  if (name == "." || name == "..") return DRIVE_INVALID_PARAMETER;
  return 0;
}

int DriveContext::CheckLocalDepth(const std::string& path, size_t below) const {
  // The cached copy lies deeper than the drive path by the cache folder's
  // own path; past PATH_MAX no call can reach it.
  if (cache_root_.empty()) return 0;
  return LocalPath(path).size() + below >= PATH_MAX ? DRIVE_NAME_TOO_LONG : 0;
}

size_t DriveContext::DeepestBelow(const std::string& path) const {
  std::string prefix = path + "\\";
  size_t deepest = 0;
  FolderCache::Tree tree = cache_.Snapshot();
  for (auto it = tree.lower_bound(prefix); it != tree.end() && it->first.rfind(prefix, 0) == 0;
       ++it) {
    for (const auto& [name, entry] : it->second) {
      deepest = std::max(deepest, it->first.size() + name.size() - path.size());
    }
  }
  return deepest;
}

bool DriveContext::ParentExists(const std::string& path) {
  std::string folder, name;
  if (!SplitPath(path, folder, name)) return false;
  return folder == "\\" || cache_.HasFolder(folder);
}

int DriveContext::CreateForWriting(const std::string& path, const void* handle) {
  if (table_.Has(path)) {
    table_.AddWriter(path, handle);
    return 0;
  }
  if (cache_root_.empty()) return DRIVE_CANNOT_MAKE;
  // A name whose content is still downloading looks free, but its cached
  // copy is the download's: the new file is kept beside it under a conflict
  // name instead of truncating it.
  std::string local = path;
  if (engine_.NameTaken(path)) local = FreeConflictPath(path);
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | (local == path ? O_TRUNC : O_EXCL);
  UniqueFd fd(::open(LocalPath(local).c_str(), flags, 0644));
  if (!fd.ok()) return LocalError(errno, DRIVE_CANNOT_MAKE);
  table_.Add(path, std::move(fd), true);
  if (local != path) {
    CLog::Instance()->Write(LOG_INFO, "%s is still downloading: the new file is kept as %s",
                            path.c_str(), local.c_str());
    table_.SetRecordAs(path, local);
  }
  table_.AddWriter(path, handle);
  return 0;
}

std::string DriveContext::FreeConflictPath(const std::string& path) {
  std::string folder, name;
  SplitPath(path, folder, name);
  time_t now = ::time(nullptr);
  std::string candidate;
  for (int attempt = 1;; ++attempt) {
    candidate = folder + TreeMerge::ConflictName(name, now, attempt);
    if (Lookup(candidate) == kMissing && !engine_.NameTaken(candidate) &&
        !FileExists(LocalPath(candidate))) {
      return candidate;
    }
  }
}

bool DriveContext::ContentCached(const std::string& path) { return engine_.ContentCached(path); }

int DriveContext::OpenForEdit(const std::string& path, bool truncate, const void* handle) {
  WriteTable::Entry* entry = table_.Find(path);
  if (entry == nullptr) {
    if (cache_root_.empty()) return DRIVE_BUSY;
    if (!ContentCached(path)) {
      if (!engine_.Content().OnDemand()) return DRIVE_BUSY;
      // A whole rewrite needs nothing of the old bytes.
      DriveEntry current;
      bool complete = false;
      if (!Find(path, current)) return DRIVE_FILE_NOT_FOUND;
      if (!truncate) {
        if (int rc = Fetch(path, 0, static_cast<int64_t>(current.Size()), complete); rc != 0) return rc;
        if (!Find(path, current)) return DRIVE_FILE_NOT_FOUND;  // removed meanwhile
      }
    }
    entry = table_.Find(path);  // another handle may edit it since the fetch
  }
  if (entry == nullptr) {
    UniqueFd fd(::open(LocalPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.ok()) return DRIVE_BUSY;
    entry = &table_.Add(path, std::move(fd), false);
  }
  if (truncate) {
    if (::ftruncate(entry->fd.get(), 0) != 0) return DRIVE_GENERAL_FAILURE;
    entry->modified = true;
  }
  table_.AddWriter(path, handle);
  return 0;
}

uint64_t DriveContext::HeldBytes(const std::string& path) {
  if (!engine_.Content().OnDemand() || cache_root_.empty()) return UINT64_MAX;
  struct stat st {};
  if (::stat(LocalPath(path).c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

void DriveContext::OpenForRead(const std::string& path, const void* handle) {
  if (reading_.emplace(handle, path).second) engine_.Content().Opened(path);
  if (cache_root_.empty() || readers_.count(handle) != 0) return;
  UniqueFd fd(::open(LocalPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.ok()) readers_.emplace(handle, Reader{path, std::move(fd)});
}

WriteTable::Entry* DriveContext::Written(const std::string& path, const void* handle) {
  if (WriteTable::Entry* entry = table_.FindByWriter(handle)) return entry;
  return path.empty() ? nullptr : table_.Find(path);
}

int DriveContext::Write(const std::string& path, const void* handle, const char* buffer,
                        uint32_t length, int64_t offset, bool to_end, uint32_t& written) {
  written = 0;
  WriteTable::Entry* entry = Written(path, handle);
  if (entry == nullptr) return DRIVE_GENERAL_FAILURE;
  if (to_end) {
    struct stat st {};
    if (::fstat(entry->fd.get(), &st) != 0) return DRIVE_GENERAL_FAILURE;
    offset = st.st_size;
  }
  if (offset < 0) return DRIVE_INVALID_PARAMETER;
  if (offset + static_cast<int64_t>(length) > kMaxFileSize) {
    entry->too_large = true;
    return DRIVE_FILE_TOO_LARGE;
  }
  if (!FullWrite(entry->fd.get(), buffer, length, static_cast<off_t>(offset))) {
    int error = errno;
    entry->digest->Resized(UINT64_MAX);  // what landed is unknown
    if (error == EFBIG) entry->too_large = true;
    return LocalError(error, DRIVE_GENERAL_FAILURE);
  }
  entry->digest->Wrote(entry->fd.get(), buffer, length, static_cast<uint64_t>(offset));
  entry->modified = true;
  written = length;
  return 0;
}

int DriveContext::Read(const std::string& path, const void* handle, char* buffer, uint32_t length,
                       int64_t offset, uint32_t& read) {
  read = 0;
  if (offset < 0) return DRIVE_INVALID_PARAMETER;
  auto full_read = [&](int fd) {
    return FullRead(fd, buffer, length, static_cast<off_t>(offset), read) ? 0
                                                                            : DRIVE_GENERAL_FAILURE;
  };
  if (WriteTable::Entry* entry = table_.FindByWriter(handle)) return full_read(entry->fd.get());
  auto it = readers_.find(handle);
  if (it != readers_.end() && !path.empty() && it->second.path != path) {
    readers_.erase(it);
    it = readers_.end();
  }
  ContentCache& content = engine_.Content();
  bool complete = it != readers_.end() && it->second.complete;
  bool ready = it != readers_.end() && it->second.evictions == content.Evictions() &&
               offset >= it->second.ready_from && offset + length <= it->second.ready_to;
  int64_t ready_to = 0;
  uint64_t evictions = content.Evictions();
  bool fetched = false;
  if (!complete && !ready && !path.empty() && content.OnDemand() && table_.Find(path) == nullptr) {
    if (int rc = Fetch(path, offset, length, complete, &ready_to); rc != 0) return rc;
    it = readers_.find(handle);
    fetched = true;
  }
  if (it == readers_.end()) {
    if (path.empty()) return DRIVE_GENERAL_FAILURE;
    if (WriteTable::Entry* entry = table_.Find(path)) return full_read(entry->fd.get());
    if (cache_root_.empty()) return DRIVE_GENERAL_FAILURE;
    UniqueFd fd(::open(LocalPath(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return DRIVE_GENERAL_FAILURE;
    it = readers_.emplace(handle, Reader{path, std::move(fd)}).first;
  }
  it->second.complete = it->second.complete || complete;
  if (fetched) {
    it->second.ready_from = offset;
    it->second.ready_to = ready_to;
    it->second.evictions = evictions;
  }
  return full_read(it->second.fd.get());
}

int DriveContext::Fetch(const std::string& path, int64_t offset, int64_t length, bool& complete,
                        int64_t* ready_to) {
  ContentCache::Fetch result;
  {
    DispatchGate::Released open;  // other requests go on while the mailbox answers
    result = engine_.Content().Ensure(path, offset, length, complete, ready_to);
  }
  switch (result) {
    case ContentCache::Fetch::kReady:
      return 0;
    case ContentCache::Fetch::kNoRoom:
      return DRIVE_DISK_FULL;
    case ContentCache::Fetch::kGone:
    case ContentCache::Fetch::kOffline:
      break;
  }
  return DRIVE_GENERAL_FAILURE;
}

void DriveContext::ReleaseHandle(const void* handle) {
  readers_.erase(handle);
  auto it = reading_.find(handle);
  if (it == reading_.end()) return;
  engine_.Content().Closed(it->second);
  reading_.erase(it);
}

int DriveContext::Truncate(const std::string& path, const void* handle, int64_t length) {
  if (length < 0) return DRIVE_INVALID_PARAMETER;
  if (length > kMaxFileSize) return DRIVE_FILE_TOO_LARGE;
  if (WriteTable::Entry* entry = Written(path, handle)) {
    entry->digest->Resized(static_cast<uint64_t>(length));
    if (::ftruncate(entry->fd.get(), static_cast<off_t>(length)) != 0) return DRIVE_GENERAL_FAILURE;
    entry->modified = true;
    return 0;
  }
  int kind = Lookup(path);
  if (kind == kMissing) return DRIVE_FILE_NOT_FOUND;
  if (kind == kFolder) return DRIVE_IS_A_FOLDER;
  DriveEntry current;
  if (Stat(path, current) && current.Size() == static_cast<uint64_t>(length)) return 0;
  if (cache_root_.empty()) return DRIVE_BUSY;
  if (!ContentCached(path)) {
    bool complete = false;
    if (!engine_.Content().OnDemand()) return DRIVE_BUSY;
    if (length > 0) {
      if (int rc = Fetch(path, 0, static_cast<int64_t>(current.Size()), complete); rc != 0) return rc;
      // Opened for writing since the fetch: the writer's copy takes the size.
      if (table_.Find(path) != nullptr) return Truncate(path, handle, length);
    } else {
      UniqueFd made(::open(LocalPath(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      if (!made.ok()) return LocalError(errno, DRIVE_GENERAL_FAILURE);
    }
  }
  if (::truncate(LocalPath(path).c_str(), static_cast<off_t>(length)) != 0) {
    return LocalError(errno, DRIVE_GENERAL_FAILURE);
  }
  return engine_.SyncReplaceFile(path) ? 0 : DRIVE_GENERAL_FAILURE;
}

bool DriveContext::SyncToDisk(const std::string& path, const void* handle) {
  WriteTable::Entry* entry = Written(path, handle);
  return entry == nullptr || ::fdatasync(entry->fd.get()) == 0;
}

int DriveContext::SetTime(const std::string& path, const void* handle, uint64_t time) {
  if (time == 0) return 0;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(std::min(time, kMaxTime));
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (WriteTable::Entry* entry = Written(path, handle)) {
    // The copy's time is what the close records (a later write moves it on).
    if (::futimens(entry->fd.get(), times) != 0) return LocalError(errno, DRIVE_GENERAL_FAILURE);
    entry->time_set = true;
    return 0;
  }
  if (path.empty()) return 0;  // unlinked, open for reading only: nothing left to keep
  int kind = Lookup(path);
  if (kind == kMissing) return DRIVE_FILE_NOT_FOUND;
  if (kind == kFolder) {
    if (cache_root_.empty()) return 0;
    return ::utimensat(AT_FDCWD, LocalPath(path).c_str(), times, 0) == 0
               ? 0
               : LocalError(errno, DRIVE_GENERAL_FAILURE);
  }
  return engine_.SyncSetFileTime(path, static_cast<int>(times[1].tv_sec)) ? 0
                                                                         : DRIVE_GENERAL_FAILURE;
}

bool DriveContext::CloseForUpload(const void* handle) {
  std::string path;
  if (!table_.RemoveWriter(handle, path)) return true;
  WriteTable::Entry done = table_.Take(path);
  done.fd.Close();  // the local file is closed before it is recorded
  return Finish(path, done);
}

bool DriveContext::FlushForUpload(const void* handle) {
  std::string path;
  WriteTable::Entry* entry = table_.FindByWriter(handle);
  if (entry == nullptr || !table_.FindWriter(handle, path)) return true;
  // An oversized new file is dropped by the release; a deleted one has
  // nothing to record.
  if (entry->unlinked || entry->too_large || (!entry->created && !entry->modified)) return true;
  bool ok = Finish(path, *entry);
  // The digest was spent on the bytes recorded; later writes start a new one
  // (one not from the start leaves it unusable, so the copy is read again).
  entry->digest = std::make_unique<RunningMd5>();
  if (ok) entry->created = entry->modified = entry->time_set = false;
  return ok;
}

bool DriveContext::Finish(const std::string& drive_path, const WriteTable::Entry& entry) {
  if (entry.unlinked) return true;
  const std::string& path = entry.record_as.empty() ? drive_path : entry.record_as;
  if (entry.too_large && entry.created) {
    // Nothing of a file that cannot be recorded stays behind.
    ::unlink(LocalPath(path).c_str());
    return false;
  }
  // The records take the copy's time: that of its last write, or the one
  // set through the drive after it. A copy written in order brings its
  // digest; any other is read again.
  std::string md5;
  struct stat copy {};
  if ((entry.created || entry.modified) && ::stat(LocalPath(path).c_str(), &copy) == 0 &&
      !entry.digest->Finish(static_cast<uint64_t>(copy.st_size), md5)) {
    md5.clear();
  }
  if (entry.created) return engine_.SyncAddFile(path, md5);
  if (entry.modified) return engine_.SyncReplaceFile(path, md5);
  if (entry.time_set) {
    struct stat st {};
    if (::stat(LocalPath(path).c_str(), &st) != 0) return false;
    return engine_.SyncSetFileTime(path, static_cast<int>(std::min<uint64_t>(st.st_mtime, kMaxTime)));
  }
  return true;
}

void DriveContext::ForgetWritten(const std::string& path) {
  WriteTable::Entry* entry = table_.Find(path);
  if (entry == nullptr) return;
  entry->unlinked = true;
  table_.Rename(path, kForgottenPrefix + std::to_string(++forgotten_));
}

void DriveContext::FinishAll() {
  std::vector<std::pair<std::string, WriteTable::Entry>> open;
  for (auto& [path, entry] : table_.entries()) {
    entry.fd.Close();  // every local file is closed before anything is recorded
    open.emplace_back(path, std::move(entry));
  }
  table_.Clear();
  for (auto& [path, entry] : open) {
    if (path.rfind(kForgottenPrefix, 0) == 0) continue;
    if (!Finish(path, entry)) {
      CLog::Instance()->Write(LOG_ERROR, "CloseFile %s err at unmount", path.c_str());
    }
  }
}

#include "drive/DriveContext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <vector>

#include "log/CLog.h"
#include "platform/DriveErrors.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"

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
      mounted_at_(static_cast<uint64_t>(::time(nullptr))) {}

DriveContext::~DriveContext() {
  for (auto& [handle, reader] : readers_) ::close(reader.second);
}

DriveContext* DriveContext::Current() { return g_current.load(); }

void DriveContext::Bind(DriveContext* context) { g_current.store(context); }

std::string DriveContext::LocalPath(const std::string& path) const {
  return NativePath(cache_root_ + path);
}

int DriveContext::Lookup(const std::string& path) {
  if (table_.Has(path)) return kFile;
  DriveEntry entry;
  if (!Stat(path, entry)) return kMissing;
  return entry.kind == DriveEntry::kFolder ? kFolder : kFile;
}

bool DriveContext::Stat(const std::string& path, DriveEntry& out) {
  if (path == "\\") {
    out = DriveEntry();
    out.name.assign(1, '\\');
    out.kind = DriveEntry::kFolder;
    out.SetTime(mounted_at_);
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
    if (::fstat(entry->fd, &st) == 0) {
      out.SetSize(static_cast<uint64_t>(st.st_size));
      out.SetTime(static_cast<uint64_t>(st.st_mtime));
    }
    return true;
  }
  return cache_.GetEntry(folder, name, out);
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

bool DriveContext::ParentExists(const std::string& path) {
  std::string folder, name;
  if (!SplitPath(path, folder, name)) return false;
  return folder == "\\" || cache_.HasFolder(folder);
}

bool DriveContext::CreateForWriting(const std::string& path, const void* handle) {
  if (WriteTable::Entry* entry = table_.Find(path)) {
    entry->writers.insert(handle);
    return true;
  }
  if (cache_root_.empty()) return false;
  int fd = ::open(LocalPath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  table_.Add(path, fd, true).writers.insert(handle);
  return true;
}

bool DriveContext::ContentCached(const std::string& path) { return engine_.ContentCached(path); }

int DriveContext::OpenForEdit(const std::string& path, bool truncate, const void* handle) {
  WriteTable::Entry* entry = table_.Find(path);
  if (entry == nullptr) {
    if (cache_root_.empty() || !ContentCached(path)) return DRIVE_BUSY;
    int fd = ::open(LocalPath(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return DRIVE_BUSY;
    entry = &table_.Add(path, fd, false);
  }
  if (truncate) {
    if (::ftruncate(entry->fd, 0) != 0) return DRIVE_GENERAL_FAILURE;
    entry->modified = true;
  }
  entry->writers.insert(handle);
  return 0;
}

int DriveContext::Write(const std::string& path, const char* buffer, uint32_t length,
                        int64_t offset, bool to_end, uint32_t& written) {
  written = 0;
  WriteTable::Entry* entry = table_.Find(path);
  if (entry == nullptr) return DRIVE_GENERAL_FAILURE;
  if (to_end) {
    struct stat st {};
    if (::fstat(entry->fd, &st) != 0) return DRIVE_GENERAL_FAILURE;
    offset = st.st_size;
  }
  if (offset < 0) return DRIVE_INVALID_PARAMETER;
  if (offset + static_cast<int64_t>(length) > kMaxFileSize) {
    entry->too_large = true;
    return DRIVE_FILE_TOO_LARGE;
  }
  if (!FullWrite(entry->fd, buffer, length, static_cast<off_t>(offset))) {
    return errno == ENOSPC ? DRIVE_DISK_FULL : DRIVE_GENERAL_FAILURE;
  }
  entry->modified = true;
  written = length;
  return 0;
}

bool DriveContext::Read(const std::string& path, const void* handle, char* buffer, uint32_t length,
                        int64_t offset, uint32_t& read) {
  read = 0;
  if (offset < 0) return false;
  if (WriteTable::Entry* entry = table_.Find(path)) {
    return FullRead(entry->fd, buffer, length, static_cast<off_t>(offset), read);
  }
  if (cache_root_.empty()) return false;
  auto it = readers_.find(handle);
  if (it != readers_.end() && it->second.first != path) {
    ::close(it->second.second);
    readers_.erase(it);
    it = readers_.end();
  }
  if (it == readers_.end()) {
    int fd = ::open(LocalPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    it = readers_.emplace(handle, std::make_pair(path, fd)).first;
  }
  return FullRead(it->second.second, buffer, length, static_cast<off_t>(offset), read);
}

void DriveContext::ReleaseHandle(const void* handle) {
  auto it = readers_.find(handle);
  if (it == readers_.end()) return;
  ::close(it->second.second);
  readers_.erase(it);
}

int DriveContext::Truncate(const std::string& path, int64_t length) {
  if (length < 0) return DRIVE_INVALID_PARAMETER;
  if (length > kMaxFileSize) return DRIVE_FILE_TOO_LARGE;
  if (WriteTable::Entry* entry = table_.Find(path)) {
    if (::ftruncate(entry->fd, static_cast<off_t>(length)) != 0) return DRIVE_GENERAL_FAILURE;
    entry->modified = true;
    return 0;
  }
  int kind = Lookup(path);
  if (kind == kMissing) return DRIVE_FILE_NOT_FOUND;
  if (kind == kFolder) return DRIVE_INVALID_PARAMETER;
  DriveEntry current;
  if (Stat(path, current) && current.Size() == static_cast<uint64_t>(length)) return 0;
  if (cache_root_.empty() || !ContentCached(path)) return DRIVE_BUSY;
  if (::truncate(LocalPath(path).c_str(), static_cast<off_t>(length)) != 0) {
    return DRIVE_GENERAL_FAILURE;
  }
  return engine_.SyncReplaceFile(path) ? 0 : DRIVE_GENERAL_FAILURE;
}

bool DriveContext::SyncToDisk(const std::string& path) {
  WriteTable::Entry* entry = table_.Find(path);
  return entry == nullptr || ::fdatasync(entry->fd) == 0;
}

bool DriveContext::CloseForUpload(const void* handle) {
  std::string path;
  if (!table_.FindWriter(handle, path)) return true;
  WriteTable::Entry* entry = table_.Find(path);
  entry->writers.erase(handle);
  if (!entry->writers.empty()) return true;
  WriteTable::Entry done = *entry;
  done.fd = -1;
  table_.Remove(path);  // closes the local file
  return Finish(path, done);
}

bool DriveContext::Finish(const std::string& path, const WriteTable::Entry& entry) {
  if (entry.unlinked) return true;
  if (entry.too_large && entry.created) {
    // Nothing of a file that cannot be recorded stays behind.
    ::unlink(LocalPath(path).c_str());
    return false;
  }
  if (entry.created) return engine_.SyncAddFile(path);
  if (entry.modified) return engine_.SyncReplaceFile(path);
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
  for (auto& [path, entry] : table_.entries()) open.emplace_back(path, entry);
  table_.Clear();
  for (auto& [path, entry] : open) {
    if (path.rfind(kForgottenPrefix, 0) == 0) continue;
    if (!Finish(path, entry)) {
      CLog::Instance()->Write(LOG_ERROR, "CloseFile %s err at unmount", path.c_str());
    }
  }
}

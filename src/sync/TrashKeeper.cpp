#include "sync/TrashKeeper.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/ContentCache.h"
#include "sync/FolderCache.h"
#include "sync/SyncContext.h"
#include "sync/SyncNamespace.h"
#include "sync/SyncStatus.h"
#include "sync/TreeMerge.h"

namespace {

CLog* Log() { return CLog::Instance(); }

// At or below path (a file's own path, or a folder's).
bool Under(const std::string& entry, const std::string& path) {
  return entry == path || (entry.size() > path.size() && entry.compare(0, path.size(), path) == 0 &&
                           (path == "\\" || entry[path.size()] == '\\'));
}

}  // namespace

TrashKeeper::TrashKeeper(SyncContext& context, SyncNamespace& names)
    : context_(context), names_(names) {}

std::vector<KeptRecord> TrashKeeper::VersionsOf(const std::vector<KeptRecord>& kept, int origin) {
  std::vector<KeptRecord> versions;
  for (const KeptRecord& k : kept)
    if (k.kind == KeptKind::kVersion && k.origin == origin) versions.push_back(k);
  std::stable_sort(versions.begin(), versions.end(),
                   [](const KeptRecord& a, const KeptRecord& b) { return a.at > b.at; });
  return versions;
}

bool TrashKeeper::VersionsAt(const std::string& data_dir, const std::string& user,
                             const std::string& path, std::vector<KeptRecord>& versions) {
  FileRecord live;
  int origin = 0;
  std::vector<KeptRecord> kept;
  if (!MetaStore(data_dir).GetFileInfo(path, live) ||
      !SyncQueries(data_dir, user).OriginOf(live.file_id, origin) ||
      !KeptFiles(data_dir, user).List(kept))
    return false;
  versions = VersionsOf(kept, origin);
  return true;
}

std::string TrashKeeper::TimeText(int64_t at_ms) {
  time_t t = static_cast<time_t>(at_ms / 1000);
  struct tm local {};
  localtime_r(&t, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

std::vector<int> TrashKeeper::Expired(const std::vector<KeptRecord>& kept, int64_t now,
                                      int retention_days) {
  const int64_t oldest = now - retention_days * kDay;
  std::vector<int> expired;
  std::set<int> origins;
  for (const KeptRecord& k : kept) {
    if (k.kind == KeptKind::kTrash && k.at < oldest) expired.push_back(k.file_id);
    if (k.kind == KeptKind::kVersion) origins.insert(k.origin);
  }
  for (int origin : origins) {
    // Slots of the clock, not of the age: a version kept stays kept as
    // time goes on, until it leaves the day for the daily slots.
    std::set<int64_t> slots;
    int kept_versions = 0;
    for (const KeptRecord& v : VersionsOf(kept, origin)) {
      int64_t slot = now - v.at < kDay ? v.at / kHour : -(v.at / kDay) - 1;
      bool keep =
          v.at >= oldest && (kept_versions == 0 ||
                             (slots.count(slot) == 0 && kept_versions < KeptFiles::kMaxVersions));
      slots.insert(slot);
      if (keep) {
        ++kept_versions;
      } else {
        expired.push_back(v.file_id);
      }
    }
  }
  return expired;
}

void TrashKeeper::Step() {
  KeptFiles files(context_.data_dir, context_.account.user);
  std::vector<KeptFiles::Request> requests;
  std::vector<KeptRecord> kept;
  if (!files.TakeRequests(requests) || !files.List(kept)) return;
  for (const KeptFiles::Request& request : requests) {
    if (!Carry(request, kept)) files.Ask(request);
    if (!files.List(kept)) return;
  }
  int days = KeptFiles::kDefaultRetentionDays;
  files.RetentionDays(days);
  struct timespec now = context_.wall_clock();
  LetGo(Expired(kept, now.tv_sec * 1000 + now.tv_nsec / 1000000, days), "past the retention");
}

bool TrashKeeper::MakeRoom(int64_t needed) {
  std::vector<KeptRecord> kept;
  return needed > 0 && KeptFiles(context_.data_dir, context_.account.user).List(kept) &&
         LetGoOldest(std::move(kept), needed);
}

bool TrashKeeper::Carry(const KeptFiles::Request& request, const std::vector<KeptRecord>& kept) {
  if (request.action == KeptFiles::Action::kTrash) return CarryToTrash(request.path);
  if (request.action == KeptFiles::Action::kEmpty) {
    std::vector<int> ids;
    // Without a path everything goes, the versions too: the room comes back.
    for (const KeptRecord& k : kept)
      if (request.path.empty() || (k.kind == KeptKind::kTrash && Under(k.path, request.path)))
        ids.push_back(k.file_id);
    LetGo(ids, "the trash was emptied");
    return true;
  }
  if (request.action == KeptFiles::Action::kRestoreVersion) {
    FileRecord live;
    int origin = 0;
    bool up = false;
    SyncQueries queries(context_.data_dir, context_.account.user);
    if (!MetaStore(context_.data_dir).GetFileInfo(request.path, live) ||
        !queries.OriginOf(live.file_id, origin) || !queries.ContentUp(live.file_id, up))
      return true;
    // The content it replaces becomes a version: only once it is up, and
    // never from under a writer.
    if (!up || context_.open_writes.Contains(request.path)) return false;
    std::vector<KeptRecord> versions = VersionsOf(kept, origin);
    if (request.number < 1 || request.number > static_cast<int>(versions.size())) return true;
    KeptRecord chosen = versions[static_cast<size_t>(request.number - 1)];
    chosen.path = request.path;  // the file may have moved since
    Restore(chosen, true);
    return true;
  }
  // The newest entry of each path at or below the one asked (kept is
  // newest first).
  std::map<std::string, const KeptRecord*> newest;
  for (const KeptRecord& k : kept)
    if (k.kind == KeptKind::kTrash && Under(k.path, request.path) && newest.count(k.path) == 0)
      newest[k.path] = &k;
  for (const auto& [path, entry] : newest) Restore(*entry, false);
  return true;
}

bool TrashKeeper::EnsureFolders(const std::string& folder) {
  // folder ends with "\"; each missing one on the way is made.
  MetaStore store(context_.data_dir);
  for (size_t at = folder.find('\\', 1); at != std::string::npos; at = folder.find('\\', at + 1)) {
    std::string path = folder.substr(0, at);
    int id = 0;
    if (!store.GetFolderId(path + "\\", id) && !names_.AddFolder(path)) return false;
  }
  return true;
}

bool TrashKeeper::Restore(const KeptRecord& entry, bool as_version) {
  std::string folder, name;
  if (!SplitPath(entry.path, folder, name) || !EnsureFolders(folder)) return false;
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  MetaStore store(context_.data_dir);
  SyncQueries queries(context_.data_dir, context_.account.user);
  int folder_id = 0, file_id = 0, sub = 0;
  if (!store.GetFolderId(folder, folder_id)) return false;
  FileRecord live;
  KeptRecord replaced;
  if (as_version && store.GetFileInfo(entry.path, live))
    replaced = context_.KeepAs(KeptKind::kVersion, live, entry.path);
  // Never over another file: a conflict name, as a merge gives one.
  std::string place = name;
  for (int attempt = 1; !as_version && (store.GetFileId(folder_id, place, file_id) ||
                                        store.GetFolderId(folder + place + "\\", sub));
       ++attempt)
    place = TreeMerge::ConflictName(name, context_.wall_clock().tv_sec, attempt);
  if (!queries.RestoreKept(entry, folder_id, place, as_version ? &replaced : nullptr)) return false;
  if (as_version) context_.content->Forget(live.file_id);
  std::string cache = context_.CacheRoot(store);
  // The copy held the content replaced; the restored one is downloaded.
  if (as_version && !cache.empty()) ::unlink(NativePath(cache + entry.path).c_str());
  Log()->Write(LOG_INFO, "restored %s%s", (folder + place).c_str(),
               as_version ? " (an earlier version)" : " from the trash");
  names_.RebuildLocked();
  return true;
}

void TrashKeeper::LetGo(const std::vector<int>& ids, const char* why) {
  if (ids.empty()) return;
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  if (SyncQueries(context_.data_dir, context_.account.user).LetGoKept(ids))
    Log()->Write(LOG_INFO, "%zu kept files let go: %s", ids.size(), why);
}

bool TrashKeeper::CarryToTrash(const std::string& path) {
  FileRecord live;
  bool up = false;
  if (!MetaStore(context_.data_dir).GetFileInfo(path, live)) return true;  // gone already
  // Its messages vanished: the trash can keep it once they are up again.
  if (!SyncQueries(context_.data_dir, context_.account.user).ContentUp(live.file_id, up) || !up)
    return false;
  Log()->Write(LOG_INFO, "%s moved to the trash, as the deletions applied asked", path.c_str());
  return names_.DeleteFile(path);
}

bool TrashKeeper::LetGoOldest(std::vector<KeptRecord> kept, int64_t needed) {
  std::stable_sort(kept.begin(), kept.end(),
                   [](const KeptRecord& a, const KeptRecord& b) { return a.at < b.at; });
  std::vector<int> ids;
  int64_t freed = 0;
  // Base64 and the message around it: about 4/3 of the content.
  for (size_t i = 0; i < kept.size() && freed < needed; ++i) {
    ids.push_back(kept[i].file_id);
    freed += kept[i].size / 3 * 4;
  }
  if (ids.empty()) return false;
  LetGo(ids, "the mailbox is full");
  context_.status.NoteError("mailbox full: " + std::to_string(ids.size()) +
                            (ids.size() == 1 ? " file" : " files") +
                            " removed from the trash and versions (" +
                            SyncStatus::BytesText(freed * 3 / 4) + ") to make room");
  return true;
}

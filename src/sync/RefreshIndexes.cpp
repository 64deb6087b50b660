// The refresh thread's folder indexes: reading them, finding the heads (the
// indexes no other listed one has merged), merging each head into the local
// tree three-way, and deleting what another index has merged.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <set>

#include "log/CLog.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/WireCodePage.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/ContentCache.h"
#include "sync/FolderIndex.h"
#include "sync/PartHeaders.h"
#include "sync/RefreshWorker.h"
#include "sync/SyncContext.h"
#include "sync/SyncNames.h"
#include "sync/SyncStatus.h"

namespace {

CLog* Log() { return CLog::Instance(); }

std::string ParentDir(const std::string& path) {
  std::string folder, name;
  return SplitPath(path, folder, name) ? folder : std::string();
}

// Moves the cached copies of moved files (back, when !forward) through a
// staging folder, so that swapped names cannot collide.
void MoveCached(const std::string& cache, const std::vector<TreeMerge::Move>& moves,
                bool forward) {
  if (cache.empty() || moves.empty()) return;
  std::string staging = cache + "\\.tandrel-staging\\";
  MakeDir(staging);
  for (const auto& m : moves) {
    std::string from = cache + (forward ? m.from : m.to);
    std::string stage = staging + std::to_string(m.file_id);
    if (FileExists(from)) ::rename(NativePath(from).c_str(), NativePath(stage).c_str());
  }
  for (const auto& m : moves) {
    std::string to = cache + (forward ? m.to : m.from);
    std::string stage = staging + std::to_string(m.file_id);
    if (!FileExists(stage)) continue;
    MakeDir(cache + ParentDir(forward ? m.to : m.from));
    ::rename(NativePath(stage).c_str(), NativePath(to).c_str());
  }
  ::rmdir(NativePath(staging).c_str());
}

// Makes the directories of the adopted tree; those of folders gone from it
// go when empty, deepest first.
void TidyCacheFolders(const std::string& cache, const std::vector<FolderRecord>& folders,
                      const std::map<std::string, FolderRecord>& local_folders) {
  std::set<std::string> now;
  for (const auto& f : folders) {
    now.insert(f.full_name);
    MakeDir(cache + f.full_name);
  }
  for (auto it = local_folders.rbegin(); it != local_folders.rend(); ++it) {
    if (now.count(it->first) == 0) ::rmdir(NativePath(cache + it->first).c_str());
  }
}

const char kDropped[] = "\\.tandrel-dropped\\";

// The cached copies of local files the merge removes (deleted elsewhere, or
// replaced by another machine's edit) are set aside with the moves, so they
// leave the places other copies move into and come back if the tree cannot
// be written.
void SetAsideDropped(const std::map<std::string, FolderRecord>& folders,
                     const std::map<int, FileRecord>& local_files,
                     const std::vector<FileRecord>& merged_files,
                     std::vector<TreeMerge::Move>& moves) {
  std::set<int> kept;
  for (const auto& r : merged_files) kept.insert(r.file_id);
  for (const auto& [id, path] : SyncNames::FilePaths(folders, local_files)) {
    if (kept.count(id) == 0) moves.push_back({id, path, kDropped + std::to_string(id)});
  }
}

void RemoveDropped(const std::string& cache, const std::vector<TreeMerge::Move>& moves) {
  if (cache.empty()) return;
  for (const auto& m : moves) {
    if (m.to.rfind(kDropped, 0) == 0) ::unlink(NativePath(cache + m.to).c_str());
  }
  ::rmdir(NativePath(cache + kDropped).c_str());
}

TreeMerge::Tree TreeOf(const std::map<std::string, FolderRecord>& folders,
                       const std::map<int, FileRecord>& files, std::vector<KeptRecord> kept) {
  TreeMerge::Tree tree;
  tree.kept = std::move(kept);
  for (const auto& [full, f] : folders) tree.folders.push_back(f);
  for (const auto& [id, r] : files) tree.files.push_back(r);
  return tree;
}

bool TreeFromText(const std::string& text, TreeMerge::Tree& tree) {
  std::vector<std::string> rejected;
  return FolderIndex::ParseText(text, tree.folders, tree.files, nullptr, &tree.kept) &&
         FolderIndex::Validate(tree.folders, tree.files, rejected);
}

}  // namespace

bool RefreshWorker::ParseFolderIndex(const std::string& message, const DriveKey* key,
                                     std::vector<FolderRecord>& folders,
                                     std::vector<FileRecord>& files, FileRecord& info,
                                     FolderIndex::History* history, std::vector<KeptRecord>* kept) {
  MailParser parser;
  parser.SetKey(key);
  parser.Parse(message);
  info = PartHeaders::FromMessage(parser.info);
  if (parser.attachments.empty()) return false;
  std::string text = WireCodePage::ToUtf8(parser.attachments.begin()->second);
  Log()->Write(LOG_INFO, "Download Folder:%s", text.c_str());
  return FolderIndex::ParseText(text, folders, files, history, kept);
}

SyncResult RefreshWorker::ReadIndex(const std::string& uid) {
  std::string message;
  if (!EnsureOpen() || !session_.FetchMessage({uid}, message)) {
    session_.Close();
    return SyncResult::RetryLater("fetch of the index failed");
  }
  IndexInfo info;
  FileRecord header;
  if (message.empty() || !ParseFolderIndex(message, context_.Key(), info.tree.folders,
                                           info.tree.files, header, &info.history, &info.tree.kept))
    return SyncResult::Failed("not a folder index");
  std::vector<std::string> rejected;
  bool usable = FolderIndex::Validate(info.tree.folders, info.tree.files, rejected);
  for (const auto& line : rejected) {
    Log()->Write(LOG_WARNING, "folder index %s: skip unsafe line %s", uid.c_str(), line.c_str());
  }
  if (!usable) return SyncResult::Failed("no usable tree");
  // An index from before tokens is known by its message.
  if (info.history.token.empty()) info.history.token = "mail-" + uid;
  info.version = header.file_id;
  info.text = FolderIndex::ComposeTree(info.tree.folders, info.tree.files, info.tree.kept);
  indexes_[uid] = std::move(info);
  return SyncResult::Done();
}

std::vector<std::string> RefreshWorker::Heads() {
  std::set<std::string> covered;
  for (const auto& [uid, info] : indexes_) {
    covered.insert(info.history.merged.begin(), info.history.merged.end());
  }
  std::vector<std::string> uids;
  for (const auto& [uid, info] : indexes_) uids.push_back(uid);
  std::sort(uids.begin(), uids.end(), FolderIndex::UidLess);
  std::map<std::string, std::string> by_token;  // the largest UID of each token
  for (const auto& uid : uids) by_token[indexes_[uid].history.token] = uid;
  std::vector<std::string> heads;
  for (const auto& uid : uids) {
    const std::string& token = indexes_[uid].history.token;
    // Merged by an index that is there: that one carries its tree on. A
    // second copy of one index (an append repeated) goes the same way.
    if (covered.count(token) != 0 || by_token[token] != uid) {
      DeleteIndex(uid);
    } else {
      heads.push_back(uid);
    }
  }
  return heads;
}

void RefreshWorker::DeleteIndex(const std::string& uid) {
  Log()->Write(LOG_DEBUG, "delete merged folderinfo,mail_id:%s", uid.c_str());
  if (DeleteMessage(uid)) indexes_.erase(uid);
}

bool RefreshWorker::MergeIndexes(Listing& listing) {
  for (const auto& uid : listing.new_indexes) {
    SyncResult read = ReadIndex(uid);
    if (read.failed()) {
      Log()->Write(LOG_WARNING, "folder index %s passed over: %s", uid.c_str(),
                   read.reason().c_str());
      ignored_uids_.insert(uid);
    } else if (!read.done()) {
      return false;
    }
  }
  listing.new_indexes.clear();
  for (auto it = indexes_.begin(); it != indexes_.end();) {
    it = listing.remote.listed.count(it->first) != 0 ? std::next(it) : indexes_.erase(it);
  }
  std::vector<std::string> heads = Heads();
  std::vector<std::string> merged;
  if (!listing.queries.MergedTokens(merged)) return false;
  std::set<std::string> known(merged.begin(), merged.end());
  for (const auto& uid : heads) {
    const IndexInfo& info = indexes_[uid];
    if (known.count(info.history.token) != 0) continue;
    SyncResult done = MergeIndex(uid, info, merged);
    if (!done.done()) {
      Log()->Write(LOG_INFO, "folder index %s not merged yet: %s", uid.c_str(),
                   done.reason().c_str());
      return false;
    }
    listing.changed = true;
  }
  SettleHeads(heads);
  return true;
}

TreeMerge::Tree RefreshWorker::BaseOf(SyncQueries& queries, const IndexInfo& info,
                                      const std::vector<std::string>& ours) {
  // The index both sides merged that this machine merged last: two machines
  // that merged the same pair in opposite orders still agree on a base that
  // both contain whole.
  std::set<std::string> theirs(info.history.merged.begin(), info.history.merged.end());
  theirs.insert(info.history.token);
  for (const auto& token : ours) {
    std::string text;
    TreeMerge::Tree base;
    if (theirs.count(token) == 0 || !queries.MergedTree(token, text) || text.empty()) continue;
    if (TreeFromText(text, base)) {
      Log()->Write(LOG_DEBUG, "merge of index %s on the tree of %s", info.history.token.c_str(),
                   token.c_str());
      return base;
    }
  }
  Log()->Write(LOG_INFO, "merge of index %s on no known tree", info.history.token.c_str());
  return TreeMerge::Tree();
}

SyncResult RefreshWorker::MergeIndex(const std::string& uid, const IndexInfo& info,
                                     const std::vector<std::string>& merged_here) {
  std::string cache = context_.CacheRoot();
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  MetaStore store(context_.data_dir);
  SyncQueries queries(context_.data_dir, context_.account.user);
  TaskFolderRecord task;
  std::map<std::string, FolderRecord> local_folders;
  std::map<int, FileRecord> local_files;
  TreeMerge::Tree local;
  if (!store.GetFolderTask(task) || !store.GetAllFolders(local_folders) ||
      !store.GetAllFiles(local_files) || !queries.ReadKept(local.kept)) {
    return SyncResult::RetryLater("store");
  }
  local = TreeOf(local_folders, local_files, std::move(local.kept));
  TreeMerge::Result merged =
      TreeMerge::Merge(BaseOf(queries, info, merged_here), local, info.tree, time(nullptr));
  // Cached files move to their new places before the tree changes, so no
  // download of the new tree can land on a file that still lives there.
  SetAsideDropped(local_folders, local_files, merged.tree.files, merged.moves);
  std::vector<std::string> touched;
  for (const auto& m : merged.moves) touched.push_back(m.from);
  if (context_.open_writes.AnyOf(touched)) {
    // A writer's copy is never pulled from under it: after its last close
    // its bytes are an edit of their own, and the merge keeps both.
    return SyncResult::RetryLater("a file it changes is open for writing here");
  }
  MoveCached(cache, merged.moves, true);
  bool differs = FolderIndex::ComposeTree(merged.tree.folders, merged.tree.files,
                                          merged.tree.kept) != info.text;
  SyncQueries::Adopt adopted = queries.AdoptTree(task, merged.tree.folders, merged.tree.files, uid,
                                                 std::max(task.file_id, info.version), differs,
                                                 info.history.token, info.text, &merged.tree.kept);
  if (adopted != SyncQueries::Adopt::kDone) {
    MoveCached(cache, merged.moves, false);
    return SyncResult::RetryLater(adopted == SyncQueries::Adopt::kStale ? "the tree changed"
                                                                        : "store");
  }
  RemoveDropped(cache, merged.moves);
  std::set<int> kept_here;
  for (const FileRecord& f : merged.tree.files) kept_here.insert(f.file_id);
  for (const auto& [id, f] : local_files)
    if (kept_here.count(id) == 0) context_.content->Forget(id);
  Log()->Write(LOG_INFO, "folder index %s merged%s, %d conflicts", uid.c_str(),
               differs ? " with local changes" : "", merged.conflicts);
  if (merged.conflicts > 0) context_.status.NoteConflictCopies(merged.conflicts);
  if (!cache.empty()) TidyCacheFolders(cache, merged.tree.folders, local_folders);
  return SyncResult::Done();
}

void RefreshWorker::SettleHeads(const std::vector<std::string>& heads) {
  if (heads.size() < 2) return;
  MetaStore store(context_.data_dir);
  TaskFolderRecord task;
  std::map<std::string, FolderRecord> folders;
  std::map<int, FileRecord> files;
  std::vector<KeptRecord> kept;
  if (!store.GetFolderTask(task) || task.up_count != 0 || !store.GetAllFolders(folders) ||
      !store.GetAllFiles(files) ||
      !SyncQueries(context_.data_dir, context_.account.user).ReadKept(kept)) {
    return;  // changes of ours go up anyway, naming every head merged
  }
  std::string local = FolderIndex::Compose(folders, files, kept);
  bool same = true;
  for (const auto& uid : heads) same = same && indexes_[uid].text == local;
  if (!same) {
    // Heads merged here into a tree none of them has: it goes up.
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    store.AddUpFolderCount();
    return;
  }
  // Every machine that merged them keeps the same one.
  for (size_t i = 0; i + 1 < heads.size(); ++i) DeleteIndex(heads[i]);
}

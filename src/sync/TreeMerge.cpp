#include "sync/TreeMerge.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace {

constexpr int kRootId = 1;

// Where an entry is: its folder's (or parent's) id and its name.
using Place = std::pair<int, std::string>;

Place PlaceOf(const FolderRecord& f) { return {f.parent_id, f.name}; }
Place PlaceOf(const FileRecord& f) { return {f.folder_id, f.name}; }

// A change on one side against the base wins; two changes keep the smaller
// place, which every machine picks alike.
Place PickPlace(const Place* base, const Place& local, const Place& remote) {
  if (local == remote) return local;
  if (base != nullptr && *base == local) return remote;
  if (base != nullptr && *base == remote) return local;
  return std::min(local, remote);
}

// One side's tree by folder id and by file origin. A second file claiming
// an origin already taken is known by its own file id instead.
struct Side {
  explicit Side(const TreeMerge::Tree& tree) {
    for (const auto& f : tree.folders) folders.emplace(f.id, &f);
    for (const auto& r : tree.files) {
      if (!files.emplace(r.Origin(), &r).second) files.emplace(r.file_id, &r);
    }
    for (const auto& k : tree.kept)
      if (k.kind == KeptKind::kVersion) replaced.insert(k.file_id);
  }
  template <typename Map>
  static const typename Map::mapped_type Find(const Map& map, int key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
  }
  std::map<int, const FolderRecord*> folders;
  std::map<int, const FileRecord*> files;
  std::set<int> replaced;  // contents this side kept as versions: it edited past them
};

class Merger {
 public:
  Merger(const TreeMerge::Tree& base, const TreeMerge::Tree& local, const TreeMerge::Tree& remote,
         time_t now)
      : base_(base), local_(local), remote_(remote), now_(now) {}

  TreeMerge::Result Run();

 private:
  void MergeFolders();
  void MergeFiles();
  void MergeFile(const FileRecord* b, const FileRecord* l, const FileRecord* r);
  void KeepBoth(const FileRecord& l, const FileRecord& r);
  // Folders that a surviving entry needs come back, from whichever side
  // still has them.
  void RestoreNeeded();
  bool Restore(int id);
  void BreakCycles();
  void UniteSameNames();
  void SeparateNames();
  std::string FullName(int id, std::set<int>& seen) const;
  std::vector<TreeMerge::Move> Moves() const;
  const FolderRecord* AnyFolder(int id) const;

  Side base_, local_, remote_;
  time_t now_;
  std::map<int, FolderRecord> folders_;
  std::vector<FileRecord> files_;
  int conflicts_ = 0;
};

void Merger::MergeFolders() {
  std::set<int> ids;
  for (const auto& [id, f] : local_.folders) ids.insert(id);
  for (const auto& [id, f] : remote_.folders) ids.insert(id);
  for (int id : ids) {
    const FolderRecord* b = Side::Find(base_.folders, id);
    const FolderRecord* l = Side::Find(local_.folders, id);
    const FolderRecord* r = Side::Find(remote_.folders, id);
    if (id == kRootId) {
      FolderRecord root = l != nullptr ? *l : *r;
      root.parent_id = 0;
      folders_[id] = root;
    } else if (l != nullptr && r != nullptr) {
      Place bp = b != nullptr ? PlaceOf(*b) : Place();
      Place p = PickPlace(b != nullptr ? &bp : nullptr, PlaceOf(*l), PlaceOf(*r));
      FolderRecord f = *l;
      f.parent_id = p.first;
      f.name = p.second;
      folders_[id] = f;
    } else if (b == nullptr) {
      folders_[id] = l != nullptr ? *l : *r;  // new on one side
    }
    // Otherwise deleted on one side: back only if something needs it.
  }
  if (folders_.count(kRootId) == 0) {
    FolderRecord root;
    root.id = kRootId;
    root.name = root.full_name = "\\";
    folders_[kRootId] = root;
  }
}

void Merger::MergeFiles() {
  std::set<int> origins;
  for (const auto& [origin, r] : local_.files) origins.insert(origin);
  for (const auto& [origin, r] : remote_.files) origins.insert(origin);
  for (int origin : origins) {
    MergeFile(Side::Find(base_.files, origin), Side::Find(local_.files, origin),
              Side::Find(remote_.files, origin));
  }
}

void Merger::MergeFile(const FileRecord* b, const FileRecord* l, const FileRecord* r) {
  if (l == nullptr || r == nullptr) {
    const FileRecord* only = l != nullptr ? l : r;
    // New on that side, or edited there while the other deleted it: kept.
    // Unchanged there (or only moved) and deleted on the other: gone.
    if (b == nullptr || only->file_id != b->file_id) files_.push_back(*only);
    return;
  }
  Place bp = b != nullptr ? PlaceOf(*b) : Place();
  Place place = PickPlace(b != nullptr ? &bp : nullptr, PlaceOf(*l), PlaceOf(*r));
  const FileRecord* content = nullptr;
  if (l->file_id == r->file_id || (b != nullptr && r->file_id == b->file_id)) {
    content = l;
  } else if (b != nullptr && l->file_id == b->file_id) {
    content = r;
  } else if (local_.replaced.count(r->file_id) != 0) {
    // Both changed, but that side only caught up with content this one
    // went past (it keeps it as a version): no conflict.
    content = l;
  } else if (remote_.replaced.count(l->file_id) != 0) {
    content = r;
  }
  if (content == nullptr) {
    FileRecord ml = *l, mr = *r;
    ml.folder_id = mr.folder_id = place.first;
    ml.name = mr.name = place.second;
    KeepBoth(ml, mr);
    return;
  }
  FileRecord merged = *content;
  merged.folder_id = place.first;
  merged.name = place.second;
  files_.push_back(merged);
}

void Merger::KeepBoth(const FileRecord& l, const FileRecord& r) {
  // Both edited: the larger file id keeps the name and the identity, the
  // other is a file of its own under a conflict name.
  const FileRecord& winner = l.file_id > r.file_id ? l : r;
  FileRecord loser = l.file_id > r.file_id ? r : l;
  files_.push_back(winner);
  loser.origin = loser.file_id;
  loser.name = TreeMerge::ConflictName(loser.name, now_, 1);
  files_.push_back(loser);
  ++conflicts_;
}

const FolderRecord* Merger::AnyFolder(int id) const {
  for (const Side* side : {&local_, &remote_, &base_}) {
    const FolderRecord* f = Side::Find(side->folders, id);
    if (f != nullptr) return f;
  }
  return nullptr;
}

bool Merger::Restore(int id) {
  if (folders_.count(id) != 0) return true;
  const FolderRecord* f = AnyFolder(id);
  if (f == nullptr) return false;
  folders_[id] = *f;
  if (!Restore(f->parent_id)) folders_[id].parent_id = kRootId;
  return true;
}

void Merger::RestoreNeeded() {
  for (auto& r : files_) {
    if (!Restore(r.folder_id)) r.folder_id = kRootId;
  }
  std::vector<int> ids;
  for (const auto& [id, f] : folders_) ids.push_back(id);
  for (int id : ids) {
    if (id != kRootId && !Restore(folders_[id].parent_id)) folders_[id].parent_id = kRootId;
  }
}

void Merger::BreakCycles() {
  // Two folders moved into each other on the two sides: the one found in
  // the loop goes to the root.
  for (auto& [id, f] : folders_) {
    std::set<int> seen{id};
    for (int at = f.parent_id; at != kRootId && at != 0;) {
      if (!seen.insert(at).second || folders_.count(at) == 0) {
        f.parent_id = kRootId;
        break;
      }
      at = folders_[at].parent_id;
    }
  }
}

void Merger::UniteSameNames() {
  // The same folder made on both sides is one folder: the smaller id stays.
  for (bool changed = true; changed;) {
    changed = false;
    std::map<Place, int> first;
    for (const auto& [id, f] : folders_) {
      if (id == kRootId) continue;
      auto [it, fresh] = first.emplace(PlaceOf(f), id);
      if (fresh) continue;
      int keep = it->second;
      for (auto& [child_id, child] : folders_) {
        if (child.parent_id == id) child.parent_id = keep;
      }
      for (auto& r : files_) {
        if (r.folder_id == id) r.folder_id = keep;
      }
      folders_.erase(id);
      changed = true;
      break;
    }
  }
}

void Merger::SeparateNames() {
  std::set<Place> taken;
  for (const auto& [id, f] : folders_) {
    if (id != kRootId) taken.insert(PlaceOf(f));
  }
  // The larger file id keeps a name that two files claim.
  std::vector<FileRecord*> order;
  for (auto& r : files_) order.push_back(&r);
  std::sort(order.begin(), order.end(),
            [](const FileRecord* a, const FileRecord* b) { return a->file_id > b->file_id; });
  for (FileRecord* r : order) {
    std::string name = r->name;
    for (int attempt = 1; taken.count({r->folder_id, r->name}) != 0; ++attempt) {
      r->name = TreeMerge::ConflictName(name, now_, attempt);
    }
    if (r->name != name) ++conflicts_;
    taken.insert(PlaceOf(*r));
  }
}

std::string Merger::FullName(int id, std::set<int>& seen) const {
  auto it = folders_.find(id);
  if (id == kRootId || it == folders_.end() || !seen.insert(id).second) return "\\";
  return FullName(it->second.parent_id, seen) + it->second.name + "\\";
}

std::vector<TreeMerge::Move> Merger::Moves() const {
  std::map<int, const FileRecord*> local_by_id;
  for (const auto& [origin, r] : local_.files) local_by_id[r->file_id] = r;
  std::map<int, std::string> local_full;
  for (const auto& [id, f] : local_.folders) local_full[id] = f->full_name;
  std::vector<TreeMerge::Move> moves;
  for (const auto& r : files_) {
    auto old = local_by_id.find(r.file_id);
    if (old == local_by_id.end() || local_full.count(old->second->folder_id) == 0) continue;
    std::string from = local_full[old->second->folder_id] + old->second->name;
    std::string to = folders_.at(r.folder_id).full_name + r.name;
    if (from != to) moves.push_back({r.file_id, from, to});
  }
  return moves;
}

TreeMerge::Result Merger::Run() {
  MergeFolders();
  MergeFiles();
  RestoreNeeded();
  BreakCycles();
  UniteSameNames();
  SeparateNames();
  for (auto& [id, f] : folders_) {
    std::set<int> seen;
    f.full_name = FullName(id, seen);
  }
  TreeMerge::Result result;
  result.moves = Moves();
  for (const auto& [id, f] : folders_) result.tree.folders.push_back(f);
  result.tree.files = files_;
  result.conflicts = conflicts_;
  return result;
}

using KeptMap = std::map<int, KeptRecord>;

KeptMap KeptById(const std::vector<KeptRecord>& kept) {
  KeptMap by_id;
  for (const KeptRecord& k : kept) by_id[k.file_id] = k;
  return by_id;
}

// Of two entries for one content, the one every machine picks: a version
// (its file lives on) before the trash, then the later one.
const KeptRecord& Preferred(const KeptRecord& a, const KeptRecord& b) {
  if (a.kind != b.kind) return a.kind == KeptKind::kVersion ? a : b;
  if (a.at != b.at) return a.at > b.at ? a : b;
  return a.machine >= b.machine ? a : b;
}

std::vector<KeptRecord> MergeKept(const TreeMerge::Tree& base, const TreeMerge::Tree& local,
                                  const TreeMerge::Tree& remote,
                                  const std::vector<FileRecord>& live) {
  KeptMap b = KeptById(base.kept), l = KeptById(local.kept), r = KeptById(remote.kept);
  std::set<int> in_tree;
  for (const FileRecord& f : live) in_tree.insert(f.file_id);
  std::vector<KeptRecord> merged;
  for (const auto& [id, entry] : l) {
    auto other = r.find(id);
    if (other == r.end() && b.count(id) != 0) continue;  // let go remotely
    if (in_tree.count(id) == 0)
      merged.push_back(other == r.end() ? entry : Preferred(entry, other->second));
  }
  for (const auto& [id, entry] : r) {
    if (l.count(id) != 0 || b.count(id) != 0 || in_tree.count(id) != 0) continue;
    merged.push_back(entry);
  }
  return merged;
}

}  // namespace

TreeMerge::Result TreeMerge::Merge(const Tree& base, const Tree& local, const Tree& remote,
                                   time_t now) {
  Result result = Merger(base, local, remote, now).Run();
  result.tree.kept = MergeKept(base, local, remote, result.tree.files);
  return result;
}

std::string TreeMerge::ConflictName(const std::string& name, time_t now, int attempt) {
  struct tm local {};
  localtime_r(&now, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
  std::string tag = std::string(" (conflict ") + stamp;
  if (attempt > 1) {
    tag += ' ';
    tag += std::to_string(attempt);
  }
  tag += ")";
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + tag;
  return name.substr(0, dot) + tag + name.substr(dot);
}

#include "EngineMachine.h"

#include <algorithm>
#include <fstream>

#include "TempDir.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "store/SyncQueries.h"

EngineMachine::EngineMachine(const std::string& root, const std::string& user,
                             const std::string& password, int server_port)
    : root_(root),
      data_dir_(root + "/data"),
      proxy_(server_port),
      engine_(status_, progress_, data_dir_) {
  account_.user = user;
  account_.pwd = password;
  account_.down_server = "127.0.0.1";
  account_.ssl_flag = 0;
  account_.is_default = 1;
  auto clock = [this] {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(offset_ms_.load());
  };
  engine_.SetClockForTest(clock);
  engine_.SetOpenClockForTest(clock);
}

EngineMachine::~EngineMachine() { engine_.Stop(); }

bool EngineMachine::SetUp() {
  MakeDir(root_);
  if (!proxy_.Start() || !PrepareDataDir(data_dir_, root_ + "/bin/", root_ + "/documents"))
    return false;
  account_.port = proxy_.Port();
  MetaStore store(data_dir_);
  if (!store.AddAccount(account_) || !store.SetCurAccount(account_.user)) return false;
  engine_.SetMachineName(root_.substr(root_.find_last_of('/') + 1));
  engine_.Attach(account_, cache_);
  cache_root_ = engine_.CacheRoot(store);
  return !cache_root_.empty() && engine_.RebuildFolderCache();
}

bool EngineMachine::Write(const std::string& path, const std::string& bytes) {
  std::string local = cache_root_ + path;
  bool existed = FileExists(local);
  std::string folder, name;
  if (SplitPath(local, folder, name)) MakeDir(folder);
  WriteFileBytes(NativePath(local), bytes);
  return existed ? engine_.SyncReplaceFile(path) : engine_.SyncAddFile(path);
}

std::string EngineMachine::Read(const std::string& path) const {
  return ReadFileBytes(NativePath(cache_root_ + path));
}

std::string EngineMachine::ReadAt(const std::string& path, int64_t offset, size_t n) const {
  std::ifstream in(NativePath(cache_root_ + path), std::ios::binary);
  std::string bytes(n, '\0');
  in.seekg(offset);
  in.read(bytes.data(), static_cast<std::streamsize>(n));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
  return bytes;
}

bool EngineMachine::Start(int task_ms, int refresh_ms) {
  engine_.SetPeriodsForTest(task_ms, refresh_ms);
  return engine_.Start(account_, cache_);
}

EngineMachine::Listing EngineMachine::List(bool digests) const {
  Listing listing;
  for (const auto& [folder, entries] : cache_.Snapshot()) {
    for (const auto& [name, entry] : entries) {
      Entry& out = listing[folder + name];
      if (entry.kind == DriveEntry::kFolder) continue;
      int64_t size = 0;
      int time = 0;
      out.size = static_cast<long long>(entry.Size());
      if (digests && !GetFileMd5(cache_root_ + folder + name, size, time, out.md5)) out.md5 = "unreadable";
    }
  }
  return listing;
}

int EngineMachine::Pending() const {
  SyncQueries queries(data_dir_, account_.user);
  SyncQueries::Parts parts;
  std::map<int, FileRecord> files;
  int up = 0;
  MetaStore store(data_dir_);
  if (!queries.GetAllParts(parts) || !store.GetUpFolderCount(up) || !store.GetAllFiles(files))
    return -1;
  int pending = up;
  // Parts of kept content (the trash, the versions) wait for nothing.
  for (const auto& [key, row] : parts)
    pending += row.stat != PartState::kCached &&
                       (files.count(key.first) != 0 || row.stat != PartState::kAwaitingDownload)
                   ? 1
                   : 0;
  return pending;
}

std::string EngineMachine::CacheDir() const {
  std::string native = NativePath(cache_root_), once;
  for (char c : native)
    if (c != '/' || once.empty() || once.back() != '/') once += c;
  return once;
}

bool EngineMachine::Converge(const std::vector<EngineMachine*>& machines, int max_rounds) {
  for (int round = 0; round < max_rounds; ++round) {
    for (EngineMachine* m : machines) {
      if (!m->Step()) return false;
      m->Pass();
    }
    bool settled = true;
    for (EngineMachine* m : machines)
      settled = settled && m->Pending() == 0 && m->List(false) == machines[0]->List(false);
    if (!settled) continue;
    for (int extra = 0; extra < 2; ++extra) {
      for (EngineMachine* m : machines) {
        m->Step();
        m->Pass();
      }
    }
    for (EngineMachine* m : machines)
      if (m->List() != machines[0]->List()) return false;
    return true;
  }
  return false;
}

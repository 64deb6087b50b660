#define FUSE_USE_VERSION 35
#include "drive/FuseHost.h"

#include <fuse3/fuse.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "drive/DriveErrors.h"
#include "platform/MountPoint.h"

namespace {

FuseHost* Host() { return static_cast<FuseHost*>(fuse_get_context()->private_data); }
const DriveOps& Ops() { return Host()->ops(); }

// FUSE's "/a/b" as the drive's "\a\b": 0, or the errno refusing it. A null
// path (an open file that was unlinked) gives the empty path: the handle
// alone names the file. A native name holding "\" cannot be told apart from
// a separator; a component longer than the volume allows names nothing.
int ToDrivePath(const char* native, std::string& out) {
  out.clear();
  if (native == nullptr) return 0;
  out = native;
  size_t component = 0;
  for (char& c : out) {
    if (c == '\\') return DriveResultToErrno(DRIVE_INVALID_NAME);
    if (c == '/') {
      c = '\\';
      component = 0;
    } else if (++component > Host()->max_component()) {
      return DriveResultToErrno(DRIVE_NAME_TOO_LONG);
    }
  }
  return 0;
}

int Result(int drive_result) { return -DriveResultToErrno(drive_result); }

DriveFileInfo* Record(struct fuse_file_info* fi) {
  return fi != nullptr ? reinterpret_cast<DriveFileInfo*>(fi->fh) : nullptr;
}

void FillStat(const DriveFileInformation& info, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = info.link_count != 0 ? info.link_count : 2;
  } else {
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(info.size);
    uint64_t held = info.held == UINT64_MAX ? info.size : info.held;
    st->st_blocks = static_cast<blkcnt_t>((held + 511) / 512);
  }
  st->st_blksize = 4096;
  st->st_uid = ::getuid();
  st->st_gid = ::getgid();
  uint64_t mtime = info.last_write_time != 0 ? info.last_write_time : info.creation_time;
  st->st_mtim.tv_sec = static_cast<time_t>(mtime);
  st->st_ctim.tv_sec = static_cast<time_t>(mtime);
  st->st_atim.tv_sec =
      static_cast<time_t>(info.last_access_time != 0 ? info.last_access_time : mtime);
}

#define DRIVE_PATH(var, native)                                \
  std::string var;                                             \
  if (int refused = ToDrivePath(native, var); refused != 0) { \
    return -refused;                                           \
  }

// The drive path and record of a request on a file that may be open. A file
// unlinked while open has no drive path any more (the library keeps it under
// a hidden name, or under none): the drive gets the empty path and the
// handle's record alone.
struct Target {
  std::string path;
  DriveFileInfo* record = nullptr;
  DriveFileInfo temp;  // for a request without a handle
};

int Resolve(const char* native, struct fuse_file_info* fi, Target& out) {
  if (int refused = ToDrivePath(native, out.path); refused != 0) return -refused;
  out.record = Record(fi);
  if (FuseHost::IsHiddenName(out.path)) {
    if (out.record == nullptr) out.record = Host()->OpenAt(out.path);
    if (out.record == nullptr) return Result(DRIVE_FILE_NOT_FOUND);
    out.path.clear();
  }
  if (out.record == nullptr) out.record = &out.temp;
  return 0;
}

void* OnInit(struct fuse_conn_info*, struct fuse_config* cfg) {
  // Short caches: files learnt by the refresh thread show up promptly and
  // sizes are right after a close.
  cfg->attr_timeout = 1.0;
  cfg->entry_timeout = 1.0;
  cfg->negative_timeout = 0;
  // An unlinked open file keeps a (hidden) name in the library, so that
  // fstat, which reaches the library without the handle, still finds it.
  cfg->hard_remove = 0;
  cfg->use_ino = 0;
  return fuse_get_context()->private_data;
}

void OnDestroy(void* private_data) { static_cast<FuseHost*>(private_data)->NotifyUnmount(); }

int OnGetattr(const char* native, struct stat* st, struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().GetFileInformation == nullptr) return -ENOSYS;
  DriveFileInformation info;
  int rc = Ops().GetFileInformation(target.path, &info, target.record);
  if (rc != 0) return Result(rc);
  FillStat(info, st);
  return 0;
}

int OnOpendir(const char* native, struct fuse_file_info* fi) {
  DRIVE_PATH(path, native);
  auto record = std::make_unique<DriveFileInfo>();
  record->open_flags = fi->flags;
  if (Ops().OpenDirectory != nullptr) {
    int rc = Ops().OpenDirectory(path, record.get());
    if (rc != 0) return Result(rc);
  }
  Host()->Track(record.get(), path);
  fi->fh = reinterpret_cast<uint64_t>(record.release());
  return 0;
}

int OnReaddir(const char* native, void* buf, fuse_fill_dir_t filler, off_t,
              struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  // Asked for names with attributes (READDIRPLUS), the attributes go with
  // the names: `ls -l` of a large folder then needs no lookup per file.
  const auto plus = static_cast<fuse_fill_dir_flags>(
      (flags & FUSE_READDIR_PLUS) != 0 ? FUSE_FILL_DIR_PLUS : 0);
  DRIVE_PATH(path, native);
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  if (Ops().FindFiles == nullptr) return 0;
  DriveFillFindData fill = [&](const DriveFindData& data, DriveFileInfo*) {
    struct stat st;
    DriveFileInformation info;
    info.attributes = data.attributes;
    info.size = data.size;
    info.creation_time = data.creation_time;
    info.last_access_time = data.last_access_time;
    info.last_write_time = data.last_write_time;
    FillStat(info, &st);
    return filler(buf, data.name.c_str(), &st, 0, plus);
  };
  DriveFileInfo temp;
  DriveFileInfo* record = Record(fi);
  return Result(Ops().FindFiles(path, fill, record != nullptr ? record : &temp));
}

int ReleaseRecord(const std::string& path, struct fuse_file_info* fi) {
  std::unique_ptr<DriveFileInfo> record(Record(fi));
  fi->fh = 0;
  if (!record) return 0;
  Host()->Untrack(record.get());
  if (Ops().Cleanup != nullptr) Ops().Cleanup(path, record.get());
  if (Ops().CloseFile != nullptr) Ops().CloseFile(path, record.get());
  return 0;
}

int OnReleasedir(const char* native, struct fuse_file_info* fi) {
  std::string path;
  ToDrivePath(native, path);  // a refused path is only logged: the handle goes
  return ReleaseRecord(path, fi);
}

uint32_t DesiredAccess(int flags) {
  switch (flags & O_ACCMODE) {
    case O_WRONLY:
      return GENERIC_WRITE;
    case O_RDWR:
      return GENERIC_READ | GENERIC_WRITE;
    default:
      return GENERIC_READ;
  }
}

int OpenWith(const char* native, int disposition, struct fuse_file_info* fi) {
  DRIVE_PATH(path, native);
  // The library's hidden names are its own.
  if (disposition == CREATE_NEW && FuseHost::IsHiddenName(path)) {
    return Result(DRIVE_INVALID_NAME);
  }
  if (Ops().CreateFile == nullptr) return -ENOSYS;
  auto record = std::make_unique<DriveFileInfo>();
  record->open_flags = fi->flags;
  record->write_to_end = (fi->flags & O_APPEND) != 0;
  int rc = Ops().CreateFile(path, DesiredAccess(fi->flags), 0, disposition, 0, record.get());
  if (rc != 0) return Result(rc);
  Host()->Track(record.get(), path);
  fi->fh = reinterpret_cast<uint64_t>(record.release());
  return 0;
}

int OnCreate(const char* native, mode_t, struct fuse_file_info* fi) {
  return OpenWith(native, CREATE_NEW, fi);
}

int OnOpen(const char* native, struct fuse_file_info* fi) {
  return OpenWith(native, OPEN_EXISTING, fi);
}

int OnRead(const char* native, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().ReadFile == nullptr) return -ENOSYS;
  uint32_t got = 0;
  int rc = Ops().ReadFile(target.path, buf, static_cast<uint32_t>(size), &got, offset,
                          target.record);
  if (rc != 0) return Result(rc);
  return static_cast<int>(got);
}

int OnWrite(const char* native, const char* buf, size_t size, off_t offset,
            struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().WriteFile == nullptr) return -ENOSYS;
  uint32_t done = 0;
  int rc = Ops().WriteFile(target.path, buf, static_cast<uint32_t>(size), &done, offset,
                           target.record);
  if (rc != 0) return Result(rc);
  return static_cast<int>(done);
}

int OnFlush(const char* native, struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().FlushFileBuffers == nullptr) return 0;
  return Result(Ops().FlushFileBuffers(target.path, target.record));
}

int OnFsync(const char* native, int, struct fuse_file_info* fi) {
  DriveFileInfo* record = Record(fi);
  if (record != nullptr) record->sync_requested = true;
  int rc = OnFlush(native, fi);
  if (record != nullptr) record->sync_requested = false;
  return rc;
}

int OnRelease(const char* native, struct fuse_file_info* fi) {
  std::string path;
  ToDrivePath(native, path);  // a refused path is only logged: the handle goes
  return ReleaseRecord(FuseHost::IsHiddenName(path) ? std::string() : path, fi);
}

int OnMkdir(const char* native, mode_t) {
  DRIVE_PATH(path, native);
  if (FuseHost::IsHiddenName(path)) return Result(DRIVE_INVALID_NAME);
  if (Ops().CreateDirectory == nullptr) return -ENOSYS;
  DriveFileInfo record;
  int rc = Ops().CreateDirectory(path, &record);
  return Result(rc > 0 ? DRIVE_ALREADY_EXISTS : rc);  // > 0: the root itself
}

int OnRmdir(const char* native) {
  DRIVE_PATH(path, native);
  if (Ops().DeleteDirectory == nullptr) return -ENOSYS;
  DriveFileInfo record;
  record.is_directory = true;
  return Result(Ops().DeleteDirectory(path, &record));
}

int OnUnlink(const char* native) {
  DRIVE_PATH(path, native);
  // The last close of a hidden file: the drive dropped it when it was hidden.
  if (FuseHost::IsHiddenName(path)) return 0;
  if (Ops().DeleteFile == nullptr) return -ENOSYS;
  DriveFileInfo record;
  return Result(Ops().DeleteFile(path, &record));
}

int OnRename(const char* from_native, const char* to_native, unsigned int flags) {
  DRIVE_PATH(from, from_native);
  DRIVE_PATH(to, to_native);
  if (flags & RENAME_EXCHANGE) return Result(DRIVE_INVALID_PARAMETER);
  DriveFileInfo record;
  int rc = 0;
  if (FuseHost::IsHiddenName(to)) {
    // The library hides a file unlinked (or replaced) while open: on the
    // drive that is the unlink itself.
    if (Ops().DeleteFile == nullptr) return -ENOSYS;
    rc = Ops().DeleteFile(from, &record);
  } else {
    if (Ops().MoveFile == nullptr) return -ENOSYS;
    rc = Ops().MoveFile(from, to, (flags & RENAME_NOREPLACE) == 0, &record);
  }
  if (rc == 0) Host()->Retarget(from, to);
  return Result(rc);
}

int OnTruncate(const char* native, off_t size, struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().SetEndOfFile == nullptr) return 0;
  return Result(Ops().SetEndOfFile(target.path, size, target.record));
}

// Seconds for the drive's SetFileTime: 0 leaves the time as it is. The
// drive keeps whole seconds after 1970, so earlier times become its first.
uint64_t DriveTime(const struct timespec* tv, int which) {
  if (tv == nullptr || tv[which].tv_nsec == UTIME_NOW) return static_cast<uint64_t>(::time(nullptr));
  if (tv[which].tv_nsec == UTIME_OMIT) return 0;
  return tv[which].tv_sec < 1 ? 1 : static_cast<uint64_t>(tv[which].tv_sec);
}

int OnUtimens(const char* native, const struct timespec tv[2], struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().SetFileTime == nullptr) return 0;
  return Result(
      Ops().SetFileTime(target.path, 0, DriveTime(tv, 0), DriveTime(tv, 1), target.record));
}

int SetAttributes(const char* native, struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (Ops().SetFileAttributes == nullptr) return 0;
  return Result(Ops().SetFileAttributes(target.path, 0, target.record));
}

int OnChmod(const char* native, mode_t, struct fuse_file_info* fi) {
  return SetAttributes(native, fi);
}

int OnChown(const char* native, uid_t, gid_t, struct fuse_file_info* fi) {
  return SetAttributes(native, fi);
}

int OnFallocate(const char* native, int mode, off_t offset, off_t length,
                struct fuse_file_info* fi) {
  Target target;
  if (int rc = Resolve(native, fi, target); rc != 0) return rc;
  if (mode != 0) return Result(DRIVE_NOT_SUPPORTED);
  if (Ops().SetAllocationSize == nullptr) return 0;
  return Result(Ops().SetAllocationSize(target.path, offset + length, target.record));
}

int OnStatfs(const char*, struct statvfs* st) {
  std::memset(st, 0, sizeof *st);
  uint64_t free_available = 0, total = 0, total_free = 0;
  DriveFileInfo record;
  if (Ops().GetDiskFreeSpace != nullptr) {
    int rc = Ops().GetDiskFreeSpace(&free_available, &total, &total_free, &record);
    if (rc != 0) return Result(rc);
  }
  std::string volume, fs_name;
  uint32_t serial = 0, max_component = 255, fs_flags = 0;
  if (Ops().GetVolumeInformation != nullptr)
    Ops().GetVolumeInformation(&volume, &serial, &max_component, &fs_flags, &fs_name, &record);
  const uint64_t block = 4096;
  st->f_bsize = block;
  st->f_frsize = block;
  st->f_blocks = total / block;
  st->f_bfree = total_free / block;
  st->f_bavail = free_available / block;
  st->f_fsid = serial;
  st->f_namemax = max_component;
  return 0;
}

// A callback run with the gate held.
template <auto F>
struct Gated;
template <typename R, typename... A, R (*F)(A...)>
struct Gated<F> {
  static R Call(A... args) {
    DispatchGate::Hold hold(Host()->gate());
    return F(args...);
  }
};

struct fuse_operations MakeOperations() {
  struct fuse_operations ops {};
  ops.init = OnInit;
  ops.destroy = OnDestroy;
  ops.getattr = Gated<OnGetattr>::Call;
  ops.opendir = Gated<OnOpendir>::Call;
  ops.readdir = Gated<OnReaddir>::Call;
  ops.releasedir = Gated<OnReleasedir>::Call;
  ops.create = Gated<OnCreate>::Call;
  ops.open = Gated<OnOpen>::Call;
  ops.read = Gated<OnRead>::Call;
  ops.write = Gated<OnWrite>::Call;
  ops.flush = Gated<OnFlush>::Call;
  ops.fsync = Gated<OnFsync>::Call;
  ops.release = Gated<OnRelease>::Call;
  ops.mkdir = Gated<OnMkdir>::Call;
  ops.rmdir = Gated<OnRmdir>::Call;
  ops.unlink = Gated<OnUnlink>::Call;
  ops.rename = Gated<OnRename>::Call;
  ops.truncate = Gated<OnTruncate>::Call;
  ops.utimens = Gated<OnUtimens>::Call;
  ops.chmod = Gated<OnChmod>::Call;
  ops.chown = Gated<OnChown>::Call;
  ops.fallocate = Gated<OnFallocate>::Call;
  ops.statfs = Gated<OnStatfs>::Call;
  return ops;
}

bool RunFusermount(const std::string& mount_point) {
  std::string program = "fusermount3", flag = "-u", point = mount_point;
  char* argv[] = {program.data(), flag.data(), point.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "fusermount3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Text that can stand as a mount option's value.
bool IsOptionText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c == ',' || c == '=' || c == '\\' || static_cast<unsigned char>(c) < 0x21) return false;
  }
  return true;
}

}  // namespace

int DriveResultToErrno(int result) {
  switch (result) {
    case 0:
      return 0;
    case DRIVE_FILE_NOT_FOUND:
    case DRIVE_PATH_NOT_FOUND:
      return ENOENT;
    case DRIVE_FILE_EXISTS:
    case DRIVE_ALREADY_EXISTS:
      return EEXIST;
    case DRIVE_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case DRIVE_INVALID_PARAMETER:
    case DRIVE_INVALID_NAME:
      return EINVAL;
    case DRIVE_ACCESS_DENIED:
      return EACCES;
    case DRIVE_NOT_SUPPORTED:
      return EOPNOTSUPP;
    case DRIVE_DISK_FULL:
      return ENOSPC;
    case DRIVE_BUSY:
      return EBUSY;
    case DRIVE_NAME_TOO_LONG:
      return ENAMETOOLONG;
    case DRIVE_FILE_TOO_LARGE:
      return EFBIG;
    case DRIVE_NOT_A_FOLDER:
      return ENOTDIR;
    case DRIVE_IS_A_FOLDER:
      return EISDIR;
    default:
      return EIO;
  }
}

FuseHost::FuseHost(const DriveOptions& options, const DriveOps& ops)
    : options_(options), ops_(ops) {}

FuseHost::~FuseHost() = default;

std::vector<std::string> FuseHost::MountWords() {
  // The volume's names show in mount, df and findmnt: "Tandrel" as the
  // source, the file system name as the type's subtype (fuse.<name>).
  std::string volume = "Tandrel", fs_name = "tandrel";
  if (ops_.GetVolumeInformation != nullptr) {
    std::string v, f;
    uint32_t serial = 0, max_component = 0, flags = 0;
    DriveFileInfo record;
    ops_.GetVolumeInformation(&v, &serial, &max_component, &flags, &f, &record);
    if (max_component != 0) max_component_ = max_component;
    if (IsOptionText(v)) volume = v;
    if (IsOptionText(f)) fs_name = f;
  }
  return {"tandrel", "-o", "fsname=" + volume + ",subtype=" + fs_name};
}

int FuseHost::Run() {
  if (IsMountPoint(options_.mount_point)) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    ended_ = true;
    state_changed_.notify_all();
    return 1;
  }
  std::vector<std::string> words = MountWords();
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  struct fuse_operations ops = MakeOperations();

  struct fuse* f = fuse_new(&args, &ops, sizeof ops, this);
  fuse_opt_free_args(&args);
  if (f != nullptr && fuse_mount(f, options_.mount_point.c_str()) != 0) {
    fuse_destroy(f);
    f = nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (f == nullptr) {
      ended_ = true;
      state_changed_.notify_all();
      return 1;
    }
    fuse_ = f;
    mounted_ = true;
    state_changed_.notify_all();
  }

  // One thread: a close's release, sent by the kernel without waiting, must
  // still be answered before a rename that follows it (several threads let
  // the rename go first, and the renamed file was lost).
  fuse_loop(f);

  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    fuse_ = nullptr;
    ended_ = true;
  }
  fuse_unmount(f);
  fuse_destroy(f);
  // A loop told to end before it read the kernel's first request never
  // reaches destroy.
  NotifyUnmount();
  // Handles the kernel never released (the loop was ended while busy).
  for (auto& [record, path] : open_records_) delete record;
  open_records_.clear();
  state_changed_.notify_all();
  return 0;
}

void FuseHost::Retarget(const std::string& from, const std::string& to) {
  std::string below = from + "\\";
  for (auto& [record, path] : open_records_) {
    if (path == from || path.rfind(below, 0) == 0) path = to + path.substr(from.size());
  }
}

DriveFileInfo* FuseHost::OpenAt(const std::string& path) const {
  for (const auto& [record, open_path] : open_records_) {
    if (open_path == path) return record;
  }
  return nullptr;
}

bool FuseHost::IsHiddenName(const std::string& drive_path) {
  // The library's own shape: ".fuse_hidden" and sixteen hex digits.
  static constexpr const char kPrefix[] = ".fuse_hidden";
  const size_t prefix = sizeof kPrefix - 1;
  size_t slash = drive_path.rfind('\\');
  if (slash == std::string::npos || drive_path.size() - slash - 1 != prefix + 16) return false;
  if (drive_path.compare(slash + 1, prefix, kPrefix) != 0) return false;
  return std::all_of(drive_path.begin() + static_cast<long>(slash + 1 + prefix), drive_path.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

void FuseHost::NotifyUnmount() {
  if (unmount_notified_.exchange(true)) return;
  if (ops_.Unmount != nullptr) ops_.Unmount(nullptr);
}

void FuseHost::RequestExit() {
  std::string wake;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (fuse_ == nullptr) return;
    if (DispatchGate::Held()) {
      fuse_exit(fuse_);
      return;
    }
  }
  // An ordinary unmount lets the kernel release every open handle before
  // the loop sees the end, as an unmount from outside does.
  if (RunFusermount(options_.mount_point)) return;
  {
    // Busy (a process works inside the mount): end the loop; Run then
    // detaches the mount lazily.
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (fuse_ == nullptr) return;
    fuse_exit(fuse_);
    wake = options_.mount_point + "/.tandrel-wake-" + std::to_string(::getpid()) + "-" +
           std::to_string(wake_counter_++);
  }
  // The loop notices the exit flag only after its next request: one lookup
  // of a name that cannot be cached wakes it.
  struct stat st;
  ::stat(wake.c_str(), &st);
}

bool FuseHost::WaitMounted(int timeout_ms) {
  std::unique_lock<std::mutex> lock(state_mutex_);
  state_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [this] { return mounted_ || ended_; });
  return mounted_;
}

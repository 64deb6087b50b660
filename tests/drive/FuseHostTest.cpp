#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "TempDir.h"
#include "drive/DriveErrors.h"
#include "drive/FuseHost.h"
#include "platform/MountPoint.h"

namespace {

// A drive held in memory: enough to see every request arrive with the
// drive's paths and results.
struct MemoryDrive {
  std::mutex mutex;
  std::map<std::string, std::string> files;
  std::set<std::string> dirs{"\\"};
  int unmounts = 0;
  std::string last_path;
};
MemoryDrive* g_drive = nullptr;

std::string Parent(const std::string& path) {
  size_t pos = path.rfind('\\');
  return pos == 0 ? "\\" : path.substr(0, pos);
}

bool Exists(const std::string& p) { return g_drive->files.count(p) || g_drive->dirs.count(p); }

int MemCreate(const std::string& path, uint32_t, uint32_t, int disposition, uint32_t,
              DriveFileInfo* info) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  g_drive->last_path = path;
  if (disposition == CREATE_NEW) {
    if (Exists(path)) return DRIVE_FILE_EXISTS;
    if (!g_drive->dirs.count(Parent(path))) return DRIVE_PATH_NOT_FOUND;
    g_drive->files[path] = "";
    info->context = 10;
    return 0;
  }
  if (!Exists(path)) return DRIVE_FILE_NOT_FOUND;
  if (info->open_flags & O_TRUNC) g_drive->files[path].clear();
  return 0;
}

int MemInfo(const std::string& path, DriveFileInformation* out, DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  if (g_drive->dirs.count(path)) {
    out->attributes = FILE_ATTRIBUTE_DIRECTORY;
    out->creation_time = 1290000000;
    return 0;
  }
  auto it = g_drive->files.find(path);
  if (it == g_drive->files.end()) return DRIVE_FILE_NOT_FOUND;
  out->attributes = FILE_ATTRIBUTE_ARCHIVE;
  out->size = it->second.size();
  out->creation_time = 1290000000;
  return 0;
}

int MemFind(const std::string& path, const DriveFillFindData& fill, DriveFileInfo* info) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  std::string prefix = path == "\\" ? "\\" : path + "\\";
  auto child = [&](const std::string& p) {
    return p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0 &&
           p.find('\\', prefix.size()) == std::string::npos;
  };
  for (const auto& d : g_drive->dirs) {
    if (!child(d)) continue;
    DriveFindData data;
    data.attributes = FILE_ATTRIBUTE_DIRECTORY;
    data.name = d.substr(prefix.size());
    fill(data, info);
  }
  for (const auto& [p, content] : g_drive->files) {
    if (!child(p)) continue;
    DriveFindData data;
    data.attributes = FILE_ATTRIBUTE_ARCHIVE;
    data.size = content.size();
    data.name = p.substr(prefix.size());
    fill(data, info);
  }
  return 0;
}

int MemRead(const std::string& path, char* buf, uint32_t len, uint32_t* got, int64_t off,
            DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  auto it = g_drive->files.find(path);
  if (it == g_drive->files.end()) return DRIVE_GENERAL_FAILURE;
  *got = 0;
  if (static_cast<size_t>(off) >= it->second.size()) return 0;
  size_t n = std::min<size_t>(len, it->second.size() - static_cast<size_t>(off));
  std::memcpy(buf, it->second.data() + off, n);
  *got = static_cast<uint32_t>(n);
  return 0;
}

int MemWrite(const std::string& path, const char* buf, uint32_t len, uint32_t* done, int64_t off,
             DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  std::string& content = g_drive->files[path];
  if (content.size() < static_cast<size_t>(off) + len)
    content.resize(static_cast<size_t>(off) + len);
  std::memcpy(content.data() + off, buf, len);
  *done = len;
  return 0;
}

int MemMkdir(const std::string& path, DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  if (path == "\\") return 1;
  if (Exists(path)) return DRIVE_FILE_EXISTS;
  g_drive->dirs.insert(path);
  return 0;
}

int MemRmdir(const std::string& path, DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  for (const auto& [p, c] : g_drive->files)
    if (p.compare(0, path.size() + 1, path + "\\") == 0) return DRIVE_DIR_NOT_EMPTY;
  return g_drive->dirs.erase(path) ? 0 : DRIVE_FILE_NOT_FOUND;
}

int MemUnlink(const std::string& path, DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  return g_drive->files.erase(path) ? 0 : DRIVE_FILE_NOT_FOUND;
}

int MemMove(const std::string& from, const std::string& to, bool replace, DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  auto it = g_drive->files.find(from);
  if (it == g_drive->files.end()) return DRIVE_GENERAL_FAILURE;
  if (Exists(to) && !replace) return DRIVE_ALREADY_EXISTS;
  std::string content = it->second;
  g_drive->files.erase(it);
  g_drive->files[to] = content;
  return 0;
}

int MemTruncate(const std::string& path, int64_t length, DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  g_drive->files[path].resize(static_cast<size_t>(length));
  return 0;
}

int MemFree(uint64_t* avail, uint64_t* total, uint64_t* total_free, DriveFileInfo*) {
  *total = 107374182400ULL;
  *avail = *total_free = *total - 1000000;
  return 0;
}

int MemVolume(std::string* name, uint32_t* serial, uint32_t* max_component, uint32_t* flags,
              std::string* fs_name, DriveFileInfo*) {
  *name = "Tandrel";
  *serial = 0x19831116;
  *max_component = 255;
  *flags = 0x10F;
  *fs_name = "Tandrel系统";
  return 0;
}

int MemUnmount(DriveFileInfo*) {
  std::lock_guard<std::mutex> lock(g_drive->mutex);
  ++g_drive->unmounts;
  return 0;
}

DriveOps MemoryOps() {
  DriveOps ops;
  ops.CreateFile = MemCreate;
  ops.GetFileInformation = MemInfo;
  ops.FindFiles = MemFind;
  ops.ReadFile = MemRead;
  ops.WriteFile = MemWrite;
  ops.CreateDirectory = MemMkdir;
  ops.DeleteDirectory = MemRmdir;
  ops.DeleteFile = MemUnlink;
  ops.MoveFile = MemMove;
  ops.SetEndOfFile = MemTruncate;
  ops.GetDiskFreeSpace = MemFree;
  ops.GetVolumeInformation = MemVolume;
  ops.Unmount = MemUnmount;
  return ops;
}

class FuseHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
    g_drive = &drive_;
    mount_ = dir_.Sub("mnt");
    std::filesystem::create_directory(mount_);
    DriveOptions options;
    options.mount_point = mount_;
    host_ = std::make_unique<FuseHost>(options, MemoryOps());
    loop_ = std::thread([this] { rc_ = host_->Run(); });
    ASSERT_TRUE(host_->WaitMounted(10000));
  }

  void TearDown() override {
    if (host_) host_->RequestExit();
    if (loop_.joinable()) loop_.join();
    g_drive = nullptr;
  }

  std::string P(const std::string& rel) const { return mount_ + "/" + rel; }
  // What the drive holds at path; the loop thread writes it under the lock.
  std::string Stored(const std::string& path) {
    std::lock_guard<std::mutex> lock(drive_.mutex);
    auto it = drive_.files.find(path);
    return it == drive_.files.end() ? std::string() : it->second;
  }

  TempDir dir_{"fuse"};
  MemoryDrive drive_;
  std::string mount_;
  std::unique_ptr<FuseHost> host_;
  std::thread loop_;
  int rc_ = -1;
};

TEST_F(FuseHostTest, FilesTravelWithDrivePaths) {
  ASSERT_EQ(::mkdir(P("docs").c_str(), 0755), 0);
  WriteFileBytes(P("docs/a.txt"), "hello world");
  EXPECT_EQ(Stored("\\docs\\a.txt"), "hello world");
  EXPECT_EQ(ReadFileBytes(P("docs/a.txt")), "hello world");

  struct stat st {};
  ASSERT_EQ(::stat(P("docs/a.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(st.st_size, 11);
  EXPECT_EQ(st.st_mtime, 1290000000);
  ASSERT_EQ(::stat(P("docs").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(P("docs")))
    names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"a.txt"}));
}

TEST_F(FuseHostTest, ResultsMapToErrno) {
  ASSERT_EQ(::mkdir(P("d").c_str(), 0755), 0);
  EXPECT_EQ(::mkdir(P("d").c_str(), 0755), -1);
  EXPECT_EQ(errno, EEXIST);
  WriteFileBytes(P("d/f"), "x");
  EXPECT_EQ(::rmdir(P("d").c_str()), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_EQ(::open(P("missing").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(::open(P("d/f").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), -1);
  EXPECT_EQ(errno, EEXIST);
  // A native name holding the drive's separator is refused.
  EXPECT_EQ(::open(P("back\\slash").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EINVAL);
  // A component longer than the volume's maximum names nothing, on any call.
  struct stat st {};
  EXPECT_EQ(::stat(P(std::string(256, 'n')).c_str(), &st), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(::unlink(P("d/" + std::string(300, 'n')).c_str()), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  // The library's hidden names are not for files of the drive.
  EXPECT_EQ(::open(P(".fuse_hidden0000000a00000001").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(FuseHost::IsHiddenName("\\d\\.fuse_hidden0000000a00000001"));
  EXPECT_FALSE(FuseHost::IsHiddenName("\\d\\.fuse_hidden-mine"));

  WriteFileBytes(P("g"), "y");
  EXPECT_EQ(syscall(SYS_renameat2, AT_FDCWD, P("g").c_str(), AT_FDCWD, P("d/f").c_str(),
                    RENAME_NOREPLACE),
            -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(::rename(P("g").c_str(), P("d/f").c_str()), 0);
  EXPECT_EQ(Stored("\\d\\f"), "y");
  EXPECT_EQ(::unlink(P("d/f").c_str()), 0);
  EXPECT_EQ(::rmdir(P("d").c_str()), 0);
}

TEST_F(FuseHostTest, WritesAtOffsetsTruncateAndStatfs) {
  int fd = ::open(P("w").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "BBBB", 4, 4), 4);
  ASSERT_EQ(::pwrite(fd, "AAAA", 4, 0), 4);
  ::close(fd);
  EXPECT_EQ(Stored("\\w"), "AAAABBBB");
  ASSERT_EQ(::truncate(P("w").c_str(), 2), 0);
  EXPECT_EQ(Stored("\\w"), "AA");

  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(mount_.c_str(), &vfs), 0);
  EXPECT_EQ(static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize, 107374182400ULL);
  EXPECT_EQ(static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize,
            (107374182400ULL - 1000000) / 4096 * 4096);
  EXPECT_EQ(vfs.f_namemax, 255u);
  EXPECT_TRUE(IsMountPoint(mount_));
}

TEST_F(FuseHostTest, SecondMountOnTheSameFolderFails) {
  DriveOptions options;
  options.mount_point = mount_;
  FuseHost second(options, MemoryOps());
  EXPECT_NE(second.Run(), 0);
  EXPECT_FALSE(second.WaitMounted(0));
}

TEST_F(FuseHostTest, RequestExitUnmountsAndRunsUnmount) {
  host_->RequestExit();
  loop_.join();
  EXPECT_EQ(rc_, 0);
  EXPECT_EQ(drive_.unmounts, 1);
  EXPECT_FALSE(IsMountPoint(mount_));
}

TEST_F(FuseHostTest, RequestExitEndsEvenWhileAFileIsOpen) {
  WriteFileBytes(P("held"), "x");
  int fd = ::open(P("held").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  host_->RequestExit();
  loop_.join();
  ::close(fd);
  EXPECT_EQ(rc_, 0);
  EXPECT_FALSE(IsMountPoint(mount_));
}

TEST_F(FuseHostTest, OutsideUnmountEndsRunWithZero) {
  pid_t pid = ::fork();
  if (pid == 0) {
    execlp("fusermount3", "fusermount3", "-u", mount_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  loop_.join();
  EXPECT_EQ(rc_, 0);
  EXPECT_FALSE(IsMountPoint(mount_));
}

}  // namespace

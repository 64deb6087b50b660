// A minimal FUSE passthrough for drive_bench: every request goes to the same
// path below a backing folder. Single-threaded, with the drive's mount
// options, so it shows what any FUSE drive can reach on this kernel.
// Usage: drive_passthrough BACKING MOUNTPOINT (runs in the foreground).
#define FUSE_USE_VERSION 35
#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string g_root;

std::string Real(const char* path) { return g_root + path; }
int Err(int rc) { return rc < 0 ? -errno : rc; }

void* Init(struct fuse_conn_info*, struct fuse_config* cfg) {
  cfg->attr_timeout = 1.0;
  cfg->entry_timeout = 1.0;
  cfg->negative_timeout = 0;
  cfg->hard_remove = 1;
  return nullptr;
}

int Getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  return Err(::lstat(Real(path).c_str(), st));
}

int Readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
  DIR* dir = ::opendir(Real(path).c_str());
  if (dir == nullptr) return -errno;
  while (struct dirent* e = ::readdir(dir)) {
    filler(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  ::closedir(dir);
  return 0;
}

int Create(const char* path, mode_t mode, struct fuse_file_info* fi) {
  int fd = ::open(Real(path).c_str(), fi->flags, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Open(const char* path, struct fuse_file_info* fi) {
  int fd = ::open(Real(path).c_str(), fi->flags);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Read(const char*, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  return Err(static_cast<int>(::pread(static_cast<int>(fi->fh), buf, size, off)));
}

int Write(const char*, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  return Err(static_cast<int>(::pwrite(static_cast<int>(fi->fh), buf, size, off)));
}

int Fsync(const char*, int, struct fuse_file_info* fi) {
  return Err(::fsync(static_cast<int>(fi->fh)));
}

int Release(const char*, struct fuse_file_info* fi) {
  return Err(::close(static_cast<int>(fi->fh)));
}
int Unlink(const char* path) { return Err(::unlink(Real(path).c_str())); }
int Mkdir(const char* path, mode_t mode) { return Err(::mkdir(Real(path).c_str(), mode)); }
int Rmdir(const char* path) { return Err(::rmdir(Real(path).c_str())); }
int Rename(const char* from, const char* to, unsigned int) {
  return Err(::rename(Real(from).c_str(), Real(to).c_str()));
}
int Truncate(const char* path, off_t size, struct fuse_file_info* fi) {
  return Err(fi != nullptr ? ::ftruncate(static_cast<int>(fi->fh), size)
                           : ::truncate(Real(path).c_str(), size));
}
int Utimens(const char*, const struct timespec*, struct fuse_file_info*) { return 0; }
int Statfs(const char* path, struct statvfs* st) { return Err(::statvfs(Real(path).c_str(), st)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  struct fuse_operations ops {};
  ops.init = Init;
  ops.getattr = Getattr;
  ops.readdir = Readdir;
  ops.create = Create;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.fsync = Fsync;
  ops.release = Release;
  ops.unlink = Unlink;
  ops.mkdir = Mkdir;
  ops.rmdir = Rmdir;
  ops.rename = Rename;
  ops.truncate = Truncate;
  ops.utimens = Utimens;
  ops.statfs = Statfs;
  std::vector<std::string> words = {argv[0], "-f", "-s", "-o", "fsname=passthrough", argv[2]};
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}

#include "store/StoreFiles.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "platform/FileHelpers.h"
#include "platform/Locations.h"

std::string MainDbPath(const std::string& dir) {
  return dir.empty() ? "" : dir + "\\tandrel.db";
}

std::string MainDbPath() { return MainDbPath(DataDir()); }

std::string AccountDbPath(const std::string& dir, const std::string& user) {
  // A name that is not one path component would put the file elsewhere.
  return dir.empty() || !IsSingleName(user) ? "" : dir + "\\" + user + ".db";
}

std::string AccountDbPath(const std::string& user) { return AccountDbPath(DataDir(), user); }

bool EnsurePrivateFile(const std::string& path) {
  if (path.empty()) return false;
  int fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno == EEXIST;
}

#include "app/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

std::string InstanceLock::Path() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/tandrel.lock";
  return "/tmp/tandrel-" + std::to_string(::getuid()) + ".lock";
}

bool InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  // Close-on-exec: the programs started from here must not hold the lock.
  int fd = ::open(Path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

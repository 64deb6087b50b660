#include "sync/StatusFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/FileHelpers.h"
#include "platform/MountPoint.h"
#include "platform/UniqueFd.h"

namespace {

bool ReadAll(const std::string& path, std::string& text) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return false;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool OwnDir(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

}  // namespace

bool StatusFile::ProcessAlive(long pid) {
  if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  // A process that ended but was not yet reaped by its parent is gone too.
  std::string stat;
  if (!ReadAll("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

std::string StatusFile::Dir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = runtime != nullptr && *runtime != '\0'
                         ? std::string(runtime)
                         : "/tmp/tandrel-runtime-" + std::to_string(::getuid());
  std::string dir = base + "/tandrel";
  ::mkdir(base.c_str(), 0700);
  ::mkdir(dir.c_str(), 0700);
  // Folders that another user made (a name taken in /tmp) are not ours to
  // publish in.
  return OwnDir(base) && OwnDir(dir) ? dir : "";
}

std::string StatusFile::PathFor(const std::string& user) { return Dir() + "/" + user + ".status"; }

bool StatusFile::Publish(const SyncStatus::Snapshot& snapshot) {
  std::string path = PathFor(snapshot.user);
  if (path.empty()) return false;
  std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
  bool ok = false;
  {
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.ok()) return false;
    ok = WriteAll(fd.get(), SyncStatus::Serialize(snapshot));
  }
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

StatusFile::Found StatusFile::Read(const std::string& user, SyncStatus::Snapshot& snapshot) {
  std::string text;
  if (!ReadAll(PathFor(user), text) || !SyncStatus::Parse(text, snapshot)) return Found::kNone;
  if (!ProcessAlive(snapshot.pid) || !IsMountPoint(snapshot.mount_point))
    return Found::kStale;
  return Found::kLive;
}

void StatusFile::Remove(const std::string& user) {
  std::string text;
  SyncStatus::Snapshot snapshot;
  std::string path = PathFor(user);
  if (ReadAll(path, text) && SyncStatus::Parse(text, snapshot) && snapshot.pid == ::getpid())
    ::unlink(path.c_str());
}

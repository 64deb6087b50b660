#include "app/SiblingPrograms.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <QProcess>
#include <QString>
#include <QStringList>
#include <cctype>
#include <memory>

#include "platform/FileHelpers.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

pid_t SiblingPrograms::FindProcess(const std::string& name) {
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return 0;
  while (dirent* entry = ::readdir(proc.get())) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    std::string link = std::string("/proc/") + entry->d_name + "/exe";
    char target[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    if (std::string(target, static_cast<size_t>(n)).find(name) != std::string::npos)
      return static_cast<pid_t>(std::atol(entry->d_name));
  }
  return 0;
}

bool SiblingPrograms::Launch(const std::string& program_dir, const std::string& name,
                             const std::string& args_joined_by_nul) {
  std::string path = NativePath(program_dir + name);
  if (::access(path.c_str(), X_OK) != 0) return false;
  QStringList args;
  size_t start = 0;
  while (start < args_joined_by_nul.size()) {
    size_t end = args_joined_by_nul.find('\0', start);
    if (end == std::string::npos) end = args_joined_by_nul.size();
    args << QString::fromStdString(args_joined_by_nul.substr(start, end - start));
    start = end + 1;
  }
  return QProcess::startDetached(QString::fromStdString(path), args);
}

bool SiblingPrograms::UpdaterPresent(const std::string& program_dir) {
  return ::access(NativePath(program_dir + kUpdater).c_str(), X_OK) == 0;
}

bool SiblingPrograms::LaunchUpdater(const std::string& program_dir, bool monitor) {
  std::string args;
  if (monitor) args += std::string("-m") + '\0';
  args += "-p" + program_dir + '\0';
  args += "-etandrel";
  return Launch(program_dir, kUpdater, args);
}

void SiblingPrograms::StartMounter(const std::string& program_dir) {
  if (FindProcess(kMounter) != 0) return;
  Launch(program_dir, kMounter, "");
}

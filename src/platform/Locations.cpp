#include "platform/Locations.h"

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>

#include "platform/FileHelpers.h"

namespace {

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  struct passwd* pw = ::getpwuid(::getuid());
  if (pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "";
}

std::string EnvDir(const char* name, const std::string& fallback_below_home) {
  const char* value = std::getenv(name);
  if (value != nullptr && value[0] == '/') return value;
  std::string home = HomeDir();
  if (home.empty()) return "";
  return home + "/" + fallback_below_home;
}

}  // namespace

std::string ProgramDir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string DataDir() {
  std::string base = EnvDir("XDG_DATA_HOME", ".local/share");
  return base.empty() ? "" : base + "/tandrel";
}

std::string ConfigDir() {
  std::string base = EnvDir("XDG_CONFIG_HOME", ".config");
  return base.empty() ? "" : base + "/tandrel";
}

std::string DocumentsDir() {
  std::string home = HomeDir();
  std::string config = EnvDir("XDG_CONFIG_HOME", ".config");
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(in, line)) {
      if (line.compare(0, key.size(), key) != 0) continue;
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
      while (value.size() > 1 && value.back() == '/') value.pop_back();
      if (!value.empty() && value[0] == '/' && value != home) return value;
    }
  }
  return home.empty() ? "" : home + "/Documents";
}

std::string CacheDir(const std::string& data_dir, const std::string& user) {
  if (data_dir.empty() || !IsSingleName(user)) return "";
  return data_dir + "\\" + "Tandrel" + "\\" + user + "\\";
}

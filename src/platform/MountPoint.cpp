#include "platform/MountPoint.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

bool IsMountPoint(const std::string& native_path) {
  char resolved[PATH_MAX];
  if (::realpath(native_path.c_str(), resolved) == nullptr) return false;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    // Blanks and other bytes come escaped as octal, e.g. "\040".
    std::string unescaped;
    for (size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        unescaped += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        unescaped += point[i];
      }
    }
    if (unescaped == resolved) return true;
  }
  return false;
}

#include "app/AutoStart.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/FileHelpers.h"

std::string AutoStart::EntryPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && *config == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.config";
  }
  return base + "/autostart/tandrel.desktop";
}

std::string AutoStart::EntryText(const std::string& program_path) {
  // A path with blanks or quoting characters is quoted as the desktop entry
  // format wants, so it stays one word.
  std::string exec = program_path;
  if (exec.find_first_of(" \t\"'\\$`") != std::string::npos) {
    exec = "\"";
    for (char c : program_path) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') exec += "\\\\";
      exec += c;
    }
    exec += "\"";
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Tandrel\n"
         "Exec=" +
         exec +
         " start\n"
         "Icon=tandrel\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool AutoStart::Set(bool on, const std::string& program_path) {
  std::string path = EntryPath();
  if (!on) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  MakeDir(path.substr(0, path.rfind('/')));
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << EntryText(program_path);
    if (!out.flush()) return false;
  }
  return ::rename(temp.c_str(), path.c_str()) == 0;
}

bool AutoStart::IsOn() { return ::access(EntryPath().c_str(), F_OK) == 0; }

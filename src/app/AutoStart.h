#pragma once

#include <string>

// Start with the desktop session: the XDG autostart entry
// ~/.config/autostart/tandrel.desktop (under $XDG_CONFIG_HOME when set),
// which runs "<program> start".
// Thread contract: free of shared state; any thread.
class AutoStart {
 public:
  static std::string EntryPath();
  static std::string EntryText(const std::string& program_path);
  // Writes or removes the entry; removing an absent one is harmless.
  static bool Set(bool on, const std::string& program_path);
  static bool IsOn();
};

#pragma once

#include <string>

// Passwords in the desktop's Secret Service (through libsecret), found by
// three attributes: application "tandrel", the mail address and the server.
// Without a session bus nothing is asked, so a headless machine never waits
// on one.
// Thread contract: free of shared state; any thread (libsecret's synchronous
// calls run their own main context).
class Keyring {
 public:
  static constexpr const char* kApplication = "tandrel";

  // Whether a session bus is named in the environment at all.
  static bool HasBus();
  // False when no Secret Service answered or it refused; reason then tells.
  static bool Store(const std::string& user, const std::string& server, const std::string& password,
                    std::string& reason);
  // False when nothing is stored (or no Secret Service answered).
  static bool Lookup(const std::string& user, const std::string& server, std::string& password);
  // True when nothing is left stored (also when nothing was).
  static bool Clear(const std::string& user, const std::string& server);
};

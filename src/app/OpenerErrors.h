#pragma once

#include <string>

// The reasons shown when an address or folder could not be opened, by the
// exit code of xdg-open.
// Thread contract: free of state; any thread.
class OpenerErrors {
 public:
  static constexpr const char* kPrefix = "Unable to open hyperlink:\n\n";
  static std::string Reason(int exit_code);
  static std::string NotStarted();
};

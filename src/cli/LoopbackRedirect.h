#pragma once

#include <string>

#include "platform/UniqueFd.h"

// The loopback redirect of a desktop program's sign-in (RFC 8252, 7.3): a
// listener on 127.0.0.1 with a port the system picks, where the browser
// comes back with the authorization code.
// Thread contract: one thread; Wait blocks it until the browser comes back
// or the deadline passes.
class LoopbackRedirect {
 public:
  struct Answer {
    std::string code;
    std::string state;
    std::string error;  // the provider's error ("access_denied"), when it sent one
  };
  // What the browser shows once it has come back.
  static constexpr const char* kDoneText =
      "Tandrel: signed in. You can close this page and go back to Tandrel.";

  // False when no port could be had.
  bool Listen();
  std::string RedirectUri() const;
  // Answers requests until one carries a code or an error; false at the
  // deadline (each request gets a few seconds, so a stalled one cannot hold
  // the wait).
  bool Wait(int timeout_ms, Answer& answer);

 private:
  // One request; true when it carried the answer.
  bool Serve(int client, Answer& answer);

  UniqueFd listener_;
  int port_ = 0;
};

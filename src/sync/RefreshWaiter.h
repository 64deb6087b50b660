#pragma once

#include "platform/UniqueFd.h"

class ImapClient;

// The refresh thread's wait between two passes. Where the session's server
// offers IDLE the wait is spent in IDLE, so that a change made elsewhere
// starts the next pass at once; elsewhere it is a plain pause. Wake ends
// either kind of wait at once, and a Wake that comes before the wait ends
// the next one (an eventfd counts it).
// Thread contract: Wait runs on the refresh thread only (it drives that
// thread's session); Wake may be called from any thread and takes no lock.
class RefreshWaiter {
 public:
  enum class Reason {
    kChanged,  // the server told of a change in the folder
    kWoken,    // Wake (a stop, or a caller wanting a pass now)
    kElapsed,  // the time was up (the pause, or IDLE's renewal)
    kDropped,  // the connection went while idling
  };

  RefreshWaiter();
  RefreshWaiter(const RefreshWaiter&) = delete;
  RefreshWaiter& operator=(const RefreshWaiter&) = delete;

  void Wake();
  // In IDLE on session when it is open and its server advertises IDLE, for
  // at most idle_ms (bounded by ImapClient::kIdleRenewMs); otherwise a pause
  // of pause_ms. The session stays in IDLE: its next command ends it.
  Reason Wait(ImapClient& session, int idle_ms, int pause_ms);
  // Whether the last Wait was spent in IDLE.
  bool Idled() const { return idled_; }

 private:
  Reason Pause(int ms);
  void Drain();

  UniqueFd wake_fd_;
  bool idled_ = false;
};

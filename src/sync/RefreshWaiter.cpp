#include "sync/RefreshWaiter.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "log/CLog.h"
#include "mail/ImapClient.h"

RefreshWaiter::RefreshWaiter() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_fd_.ok()) CLog::Instance()->Write(LOG_ERROR, "refresh wake-up: eventfd failed");
}

void RefreshWaiter::Wake() {
  if (!wake_fd_.ok()) return;
  uint64_t one = 1;
  // EAGAIN means the counter is already set: the wake is pending anyway.
  [[maybe_unused]] ssize_t n = ::write(wake_fd_.get(), &one, sizeof one);
}

void RefreshWaiter::Drain() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(wake_fd_.get(), &count, sizeof count);
}

RefreshWaiter::Reason RefreshWaiter::Wait(ImapClient& session, int idle_ms, int pause_ms) {
  idled_ = false;
  if (!session.IsConnected() || !session.HasCapability("IDLE")) return Pause(pause_ms);
  // Renewal: an IDLE older than the limit is ended by the pass that follows.
  auto age = std::chrono::duration_cast<std::chrono::milliseconds>(session.IdleAge()).count();
  int left = static_cast<int>(std::max<int64_t>(0, ImapClient::kIdleRenewMs - age));
  if (!session.Idling() && !session.IdleStart()) {
    if (!session.IsConnected()) return Reason::kDropped;
    return Pause(pause_ms);  // refused: the periodic pass stays
  }
  idled_ = true;
  CLog::Instance()->Write(LOG_DEBUG, "refresh: idling");
  ImapClient::IdleEvent event = session.IdleWait(std::min(left, idle_ms), wake_fd_.get());
  switch (event) {
    case ImapClient::IdleEvent::kChanged:
      return Reason::kChanged;
    case ImapClient::IdleEvent::kWoken:
      Drain();
      return Reason::kWoken;
    case ImapClient::IdleEvent::kConnectionLost:
      return Reason::kDropped;
    case ImapClient::IdleEvent::kTimeout:
      break;
  }
  return Reason::kElapsed;
}

RefreshWaiter::Reason RefreshWaiter::Pause(int ms) {
  pollfd fd = {wake_fd_.get(), POLLIN, 0};
  int n = 0;
  do {
    n = ::poll(&fd, wake_fd_.ok() ? 1 : 0, ms);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return Reason::kElapsed;
  Drain();
  return Reason::kWoken;
}

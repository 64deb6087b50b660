#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Sends the web pings off the user-interface thread, so an unreachable host
// never freezes a dialog; every ping thread is joined before the object goes.
// Thread contract: Post and the destructor on one thread; mutex_ guards
// threads_.
class PingSender {
 public:
  PingSender() = default;
  ~PingSender();
  PingSender(const PingSender&) = delete;
  PingSender& operator=(const PingSender&) = delete;

  void Post(const std::string& path, const std::string& user);
  // Waits for every ping posted so far.
  void Drain();

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;  // guarded by mutex_
};

#pragma once

#include <mutex>

// The drive's one lock over its requests. The host answers on several
// threads, but every request holds the gate while it runs, so the drive's
// state sees one request at a time; a request that waits on the network
// (content fetched on demand) opens the gate for that wait, so listings,
// cached reads and writes go on meanwhile.
// Thread contract: any dispatch thread. The gate a thread holds is recorded
// thread-locally, so that Released opens only the caller's own hold and is
// a no-op on a thread holding none (the callbacks' own tests). The gate is
// the drive's outermost lock: nothing held while waiting for it.
class DispatchGate {
 public:
  // Holds the gate for one request.
  class Hold {
   public:
    explicit Hold(DispatchGate& gate) : lock_(gate.mutex_), outer_(held_) { held_ = &lock_; }
    ~Hold() { held_ = outer_; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    std::unique_lock<std::mutex> lock_;
    std::unique_lock<std::mutex>* outer_;
  };

  // Opens this thread's hold for its scope; whoever runs meanwhile may
  // change anything the request looked at before.
  class Released {
   public:
    Released() : lock_(held_) {
      if (lock_ != nullptr) lock_->unlock();
    }
    ~Released() {
      if (lock_ != nullptr) lock_->lock();
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

   private:
    std::unique_lock<std::mutex>* lock_;
  };

  // Whether this thread is inside a request.
  static bool Held() { return held_ != nullptr; }

 private:
  std::mutex mutex_;
  static inline thread_local std::unique_lock<std::mutex>* held_ = nullptr;
};

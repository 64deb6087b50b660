#pragma once

#include <list>
#include <mutex>

// A queue of finished items, oldest first.
// Thread contract: any thread may Add; TakeAll is called by the one log
// writer. Everything is guarded by mutex_, held only for the list operation.
template <typename T>
class Fifo {
 public:
  Fifo() = default;
  virtual ~Fifo() = default;
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;

  void Add(T item) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
  }

  // Moves every queued item out, oldest first.
  std::list<T> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::list<T> out;
    out.swap(items_);
    return out;
  }

  size_t Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::list<T> items_;
};

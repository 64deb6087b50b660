#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "store/FileRecord.h"

// Fetches the messages of a list of parts, in order, on a thread of its own,
// at most kAhead messages ahead of the consumer: the network does not wait
// for the disk, and memory stays bounded.
//
// Thread contract: the fetch function runs on the fetch thread only (it owns
// whatever session it uses); Next and the destructor are called by one
// consumer thread. queue_, done_ and cancel_ are guarded by mutex_.
template <typename Result>
class PartFetcher {
 public:
  static constexpr size_t kAhead = 3;
  using Fetch = std::function<Result(const FileRecord&)>;
  // A result for which this is true ends the fetching (the session failed).
  using Ends = std::function<bool(const Result&)>;

  PartFetcher(const std::vector<FileRecord>& parts, Fetch fetch, Ends ends)
      : parts_(parts), fetch_(std::move(fetch)), ends_(std::move(ends)) {
    try {
      thread_ = std::thread(&PartFetcher::Run, this);
    } catch (const std::system_error&) {
      inline_ = true;  // fetched in turn by Next instead
    }
  }
  ~PartFetcher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancel_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  PartFetcher(const PartFetcher&) = delete;
  PartFetcher& operator=(const PartFetcher&) = delete;

  // The result for the next part of the list, waiting for it; false once the
  // list is exhausted or the fetching ended.
  bool Next(Result& result) {
    if (inline_) {
      if (next_ >= parts_.size() || ended_inline_) return false;
      result = fetch_(parts_[next_++]);
      ended_inline_ = ends_(result);
      return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !queue_.empty() || done_; });
    if (queue_.empty()) return false;
    result = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();
    return true;
  }

 private:
  void Run() {
    for (size_t i = 0; i < parts_.size(); ++i) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return queue_.size() < kAhead || cancel_; });
        if (cancel_) break;
      }
      Result result = fetch_(parts_[i]);
      bool ends = ends_(result);
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(result));
      changed_.notify_all();
      if (ends) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }

  const std::vector<FileRecord>& parts_;
  Fetch fetch_;
  Ends ends_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Result> queue_;
  bool done_ = false;
  bool cancel_ = false;
  std::thread thread_;
  bool inline_ = false;
  size_t next_ = 0;
  bool ended_inline_ = false;
};

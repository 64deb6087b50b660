#include "sync/StatusPublisher.h"

#include <unistd.h>

#include <chrono>
#include <set>

#include "store/SyncQueries.h"
#include "sync/StatusFile.h"
#include "sync/SyncStatus.h"

namespace {

struct Counts {
  int uploads = 0;
  int downloads = 0;
  int64_t bytes = 0;
};

bool Count(const std::string& user, Counts& counts) {
  SyncQueries queries(user);
  return queries.IsOpen() && queries.PendingCounts(counts.uploads, counts.downloads, counts.bytes);
}

}  // namespace

StatusPublisher::~StatusPublisher() { Stop(); }

void StatusPublisher::Start(const std::string& user, const std::string& mount_point) {
  Stop();
  user_ = user;
  status_.SetOwner(user, mount_point, static_cast<long>(::getpid()));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread(&StatusPublisher::Loop, this);
}

void StatusPublisher::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  StatusFile::Remove(user_);
}

bool StatusPublisher::CountPending(const std::string& user) {
  Counts counts;
  if (!Count(user, counts)) return false;
  status_.SetPending(counts.uploads, counts.downloads, counts.bytes);
  return true;
}

int StatusPublisher::PendingUploads(const std::string& user) {
  Counts counts;
  return Count(user, counts) ? counts.uploads : 0;
}

void StatusPublisher::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    CountPending(user_);
    StatusFile::Publish(status_.Take());
    lock.lock();
    wake_.wait_for(lock, std::chrono::milliseconds(kPeriodMs), [this] { return stop_; });
  }
}

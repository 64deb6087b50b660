#include "sync/StatusPublisher.h"

#include <unistd.h>

#include <chrono>
#include <set>

#include "store/SyncQueries.h"
#include "sync/StatusFile.h"
#include "sync/SyncStatus.h"

namespace {

struct Counts {
  std::set<int> uploads;
  std::set<int> downloads;
  int64_t bytes = 0;
};

bool Count(const std::string& user, Counts& counts) {
  SyncQueries queries(user);
  SyncQueries::Parts parts;
  if (!queries.IsOpen() || !queries.GetAllParts(parts)) return false;
  for (const auto& [key, row] : parts) {
    const bool up = row.stat == PartState::kAwaitingUpload;
    const bool down = row.stat == PartState::kAwaitingDownload;
    if (up) counts.uploads.insert(row.file_id);
    if (down) counts.downloads.insert(row.file_id);
    if (up || down) counts.bytes += row.size;
  }
  return true;
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
  status_.SetPending(static_cast<int>(counts.uploads.size()),
                     static_cast<int>(counts.downloads.size()), counts.bytes);
  return true;
}

int StatusPublisher::PendingUploads(const std::string& user) {
  Counts counts;
  return Count(user, counts) ? static_cast<int>(counts.uploads.size()) : 0;
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

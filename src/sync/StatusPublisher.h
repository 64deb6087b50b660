#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class SyncStatus;

// The mounted process's voice for other processes: once a second it counts
// the files still to move from the account's store into SyncStatus and
// publishes the snapshot as the account's StatusFile; the file goes when the
// publisher stops.
// Thread contract: Start and Stop on one controlling thread; the publisher's
// own thread reads the store through its own handles and writes the status
// it was handed (which guards itself). mutex_ guards stop_.
class StatusPublisher {
 public:
  static constexpr int kPeriodMs = 1000;

  explicit StatusPublisher(SyncStatus& status) : status_(status) {}
  ~StatusPublisher();
  StatusPublisher(const StatusPublisher&) = delete;
  StatusPublisher& operator=(const StatusPublisher&) = delete;

  void Start(const std::string& user, const std::string& mount_point);
  void Stop();

  // The counts of the account's store put into the status; false when the
  // store could not be read.
  bool CountPending(const std::string& user);
  // Files of the account with a part that has not reached the mailbox.
  static int PendingUploads(const std::string& user);

 private:
  void Loop();

  SyncStatus& status_;
  std::string user_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "mail/ImapClient.h"
#include "message/PartHeader.h"

class DriveKey;

// Read-ahead for a reader going through a file in order: the next part's
// message is fetched and decoded on a connection and a thread of its own
// while the reader writes the part it has, so neither the network nor the
// decoding waits for the disk. One part at most, kept in memory until taken.
// Thread contract: Start, Take and the destructor on the reader's side (the
// cache's fetch lock held), Cut from any thread; each fetch runs on a thread
// of its own, joined before the next starts. mutex_ guards mail_id_,
// content_, done_ and ok_; it is a leaf lock.
class PartAhead {
 public:
  // Opens (or checks) the session for a fetch.
  using Open = std::function<bool(ImapClient&)>;
  // The drive's key, null for a plain drive; asked at each fetch.
  using Key = std::function<const DriveKey*()>;

  PartAhead(Open open, Key key) : open_(std::move(open)), key_(std::move(key)) {}
  ~PartAhead();
  PartAhead(const PartAhead&) = delete;
  PartAhead& operator=(const PartAhead&) = delete;

  // Starts fetching the message of mail_id, unless a fetch is under way.
  void Start(const std::string& mail_id);
  // The content of mail_id's part when it is the one fetched ahead, waiting
  // for it to arrive; false for any other, and when its fetch failed. info:
  // the header it carried.
  bool Take(const std::string& mail_id, std::string& content, PartHeader& info);
  // A part message's content (its attachment, opened with key when there is
  // one) and its header; false when it has none.
  static bool Content(const std::string& message, std::string& content, const DriveKey* key,
                      PartHeader& info);
  // Ends a fetch under way and every later one (the engine stops), until
  // Reset (it starts again).
  void Cut();
  void Reset() { session_.Reset(); }

 private:
  void Run(std::string mail_id);

  Open open_;
  Key key_;
  ImapClient session_;  // the fetch thread's
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string mail_id_;  // the message fetched ahead; empty: none
  std::string content_;
  PartHeader info_;
  bool done_ = true;
  bool ok_ = false;
};

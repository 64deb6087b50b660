#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

// The account's sync state as every front end shows it: what the engine is
// doing (up to date, syncing, offline, mailbox full, an error with the
// server's own text), the files still to move, the last error, the quota and
// the capabilities in use. The engine and the status publisher write it; a
// snapshot travels to other processes as a small key=value text.
// Thread contract: every member guarded by mutex_ (a leaf lock); any thread.
class SyncStatus {
 public:
  enum class State { kUpToDate, kSyncing, kOffline, kQuotaFull, kError };
  // The error of an OAuth account whose grant the provider refused.
  static constexpr const char* kSignInAgain = "sign in again";

  struct Snapshot {
    State state = State::kUpToDate;
    int pending_uploads = 0;    // files with a part waiting for upload
    int pending_downloads = 0;  // files with a part not yet downloaded
    int64_t bytes_left = 0;
    std::string last_error;
    std::time_t last_error_at = 0;  // 0: none yet
    int64_t quota_used = -1;        // bytes; -1 unknown
    int64_t quota_limit = -1;
    std::vector<std::string> capabilities;
    // Conflict copies made since the session began; a rise is news.
    int conflict_copies = 0;
    // Deletions from the mailbox that wait for the user (tandrel-cli
    // deletions): what happened; empty when none wait.
    std::string held;
    // Of the publishing process.
    std::string user;
    std::string mount_point;
    long pid = 0;
  };

  // Created on first use, never destroyed.
  static SyncStatus& Instance();

  SyncStatus() = default;
  SyncStatus(const SyncStatus&) = delete;
  SyncStatus& operator=(const SyncStatus&) = delete;

  // The server answered (a session opened) or could not be reached.
  void NoteOnline();
  void NoteOffline(const std::string& reason);
  // A failure the user should see, in the server's own words when it gave any.
  void NoteError(const std::string& text);
  void NoteQuotaFull(bool full);
  // Files kept under a conflict name because the name was taken.
  void NoteConflictCopies(int count);
  // Deletions held for the user, or none (empty).
  void NoteHeld(const std::string& reason);
  void SetPending(int uploads, int downloads, int64_t bytes_left);
  void SetQuota(int64_t used, int64_t limit);
  void SetCapabilities(const std::vector<std::string>& capabilities);
  void SetOwner(const std::string& user, const std::string& mount_point, long pid);
  // Back to a fresh start (a new session).
  void Reset();

  Snapshot Take() const;

  static const char* StateName(State state);
  static bool SignInNeeded(const Snapshot& s) {
    return s.state == State::kError && s.last_error == kSignInAgain;
  }
  // key=value lines, one per field; Parse reads them back (false when the
  // text is not a status).
  static std::string Serialize(const Snapshot& snapshot);
  static bool Parse(const std::string& text, Snapshot& snapshot);
  // The English report of `tandrel-cli status`.
  static std::string Describe(const Snapshot& snapshot);
  // "512 bytes", "1.5 MiB": sizes as the status shows them.
  static std::string BytesText(int64_t bytes);
  // The first line of Describe.
  static std::string StateLine(const Snapshot& snapshot);

 private:
  enum class Link { kUnknown, kOnline, kOffline };

  mutable std::mutex mutex_;
  Snapshot data_;
  Link link_ = Link::kUnknown;
  bool quota_full_ = false;
  bool error_on_ = false;  // the last attempt failed with an error shown
};

#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mail/MailConnection.h"

// The small IMAP4 subset that keeps one mailbox folder as a file store: log
// in, create and select the folder, list UIDs, fetch a header or a whole
// message, append an .eml file, delete by UID. One command at a time, all
// with the tag "tag1".
// Thread contract: one thread at a time per object; no lock of its own.
// Transfer counts go to the sinks its owner hands in (called on this thread).
//
// Arguments that are not plain atoms go out as quoted strings, or as literals
// when they hold CR, LF or 8-bit bytes; fetched bodies are read by the size of
// the literal the server announces.
class ImapClient : public MailConnection {
 public:
  static constexpr const char* kTag = "tag1";
  static constexpr const char* kFolder = "tandrel";
  // Its server ends a header fetch only through a whole-message fetch.
  static constexpr const char* kProviderDomain = "sohu.com";
  static constexpr size_t kFileBlock = 4096;

  ImapClient() = default;
  ~ImapClient() override = default;

  // Receives the bytes of a transfer as they go; an empty sink counts none.
  using ProgressSink = std::function<void(uint32_t bytes)>;
  void SetProgress(ProgressSink uploaded, ProgressSink downloaded) {
    uploaded_ = std::move(uploaded);
    downloaded_ = std::move(downloaded);
  }

  bool Connect(const std::string& server, int port, bool use_ssl);
  bool Login(const std::string& user, const std::string& password);
  bool Create(const std::string& folder);
  bool Select(const std::string& folder);
  // Inserts the UIDs found into uids.
  bool FetchUidList(std::set<std::string>& uids);
  // Appends the header, blank line included, to header.
  bool GetHeader(const std::string& uid, std::string& header);
  // Appends the whole message of the first (smallest) UID to message.
  bool FetchMessage(const std::set<std::string>& uids, std::string& message);
  bool Append(const std::string& folder, const std::string& path);
  // True when every UID was flagged and expunged, and for an empty set.
  bool Delete(const std::set<std::string>& uids);
  // A round trip that changes nothing: a server tells of messages that
  // arrived since the last command only between commands.
  bool Noop();
  // Says goodbye (reading at most a few lines of the answer, so a stop never
  // waits on a chatty server) and closes the connection in every case.
  void Logout();

  // A command split where the server must answer a literal with "+": every
  // piece but the last ends with a literal's size announcement.
  using Pieces = std::vector<std::string>;
  // Appends arg to the command as an atom, a quoted string or a literal;
  // always_quote turns an atom into a quoted string too.
  static void AddArgument(Pieces& pieces, const std::string& arg, bool always_quote = false);

 protected:
  // Reads up to n bytes of the message file: the count, 0 at its end, or -1
  // on a read error. A seam for tests.
  virtual ssize_t ReadFileBlock(int fd, char* buffer, size_t n);

 private:
  enum class Verdict { kOk, kFailed, kMore };
  Verdict Judge(const std::string& line) const;
  // Reads lines until the tagged completion; on_line sees each line first.
  // tagged receives the completing line.
  bool AwaitCompletion(std::string* tagged = nullptr,
                       const std::function<void(const std::string&)>& on_line = nullptr);
  bool SendPieces(const Pieces& pieces);
  bool SimpleCommand(const char* verb, const std::string& folder);
  bool FetchLiteral(const std::string& uid, const char* item, std::string& out,
                    const std::function<void(size_t)>& on_chunk);
  bool GetHeaderFromMessage(const std::string& uid, std::string& header);
  bool SendFile(int fd, size_t length, const std::string& path);
  bool StartsWithTag(const std::string& line, const char* status) const;

  std::string server_;
  int port_ = 0;
  bool use_ssl_ = false;
  std::string user_;
  std::string password_;
  ProgressSink uploaded_;
  ProgressSink downloaded_;
};

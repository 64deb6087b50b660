#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "store/CppSQLite3DB.h"
#include "store/MailboxRecord.h"

// The account's mailbox folder name and the UIDVALIDITY its mail ids belong
// to, and the relearning of every mail id when that changes. The table is
// added by Migrate before any other thread uses the database (a schema change
// under a running statement of another connection fails it); databases made
// before it keep working, and a database without it reads as nothing
// recorded.
// Thread contract: one thread only, like MetaStore: each caller makes its own
// short-lived object. Failures are logged and reported as false.
class MailboxQueries {
 public:
  // Opens the account's database (DataDir + "\" + user + ".db").
  explicit MailboxQueries(const std::string& user);
  // The account's database in data_dir instead of the program's DataDir().
  MailboxQueries(const std::string& data_dir, const std::string& user);
  MailboxQueries(const MailboxQueries&) = delete;
  MailboxQueries& operator=(const MailboxQueries&) = delete;

  // Adds the table (with its one row) and the lookup indexes of the other
  // tables where they are missing.
  bool Migrate();
  bool Read(MailboxRecord& record);
  bool SetFolder(const std::string& folder);
  bool SetUidValidity(uint32_t uidvalidity);

  // The mail ids learnt again under a new UIDVALIDITY, in one transaction:
  // each part row with a mail id takes found[(file_id, part)]; a row whose
  // message was not found keeps a mail id no listing holds (so the vanish
  // rule judges it), except a part waiting for its deletion, which is done.
  // index_mail_id becomes the folder index's mail id; uidvalidity is
  // recorded.
  using Found = std::map<std::pair<int, int>, std::string>;
  bool Relearn(const Found& found, const std::string& index_mail_id, uint32_t uidvalidity);

  // The mail id of a row whose message a new UIDVALIDITY left unknown.
  static std::string LostMailId(const std::string& old_mail_id);

 private:
  bool Run(const char* failure, const std::function<void()>& body, bool transaction);

  CppSQLite3DB db_;
};

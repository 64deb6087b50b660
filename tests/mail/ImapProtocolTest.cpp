// Odd but lawful server answers, played byte for byte by a scripted peer.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "ScriptedPeer.h"
#include "TempDir.h"
#include "mail/ImapClient.h"

namespace {

// A delete is done when the server answered and nothing remains.
bool Done(const MailResult& result, const ImapClient::DeleteOutcome& outcome) {
  return result.ok() && outcome.remaining.empty();
}

class ImapProtocolTest : public ::testing::Test {
 protected:
  // Greets with caps, logs in, selects "tandrel" reporting exists messages.
  static ScriptedPeer& Open(ScriptedPeer& peer, const std::string& caps, int exists) {
    return peer.Say("* OK [CAPABILITY IMAP4rev1 " + caps + "] ready\r\n")
        .Await("login")
        .Say("tag1 OK [CAPABILITY IMAP4rev1 " + caps + "] Logged in\r\n")
        .Await("tag1 select tandrel\r\n")
        .Say("* " + std::to_string(exists) +
             " EXISTS\r\n* OK [UIDVALIDITY 3857529045] ok\r\n* OK [UIDNEXT 40] ok\r\n"
             "tag1 OK [READ-WRITE] Select completed\r\n");
  }
  void Begin(ScriptedPeer& peer, bool select = true) {
    peer.Start();
    client_.SetTimeouts(2000, 3000);
    ASSERT_TRUE(client_.Connect("127.0.0.1", peer.Port(), false));
    ASSERT_TRUE(client_.Login("u@example.com", "pw"));
    if (select) {
      ASSERT_TRUE(client_.Select("tandrel"));
    }
  }
  // Everything the client sent after the select (or the login).
  std::string Finish(ScriptedPeer& peer) {
    client_.Close();
    std::string bytes = peer.Received();
    EXPECT_TRUE(peer.Ok());
    size_t at = bytes.find("tag1 select tandrel\r\n");
    if (at == std::string::npos) at = bytes.find("\r\n");
    return bytes.substr(bytes.find("\r\n", at) + 2);
  }
  std::string Eml(const std::string& bytes) {
    std::string path = dir_.Sub("m.eml");
    WriteFileBytes(path, bytes);
    return path;
  }

  TempDir dir_{"imap"};
  ImapClient client_;
};

TEST_F(ImapProtocolTest, ServerThatRefusesSelectUntilIdIsSent) {
  ScriptedPeer peer;
  peer.Say("* OK Coremail System IMap Server Ready\r\n")
      .Await("login")
      .Say("tag1 OK LOGIN completed\r\n")
      .Await("tag1 select tandrel\r\n")
      .Say("tag1 NO SELECT Unsafe Login. Please contact kefu@188.com for help\r\n")
      .Await("tag1 CAPABILITY\r\n")
      .Say("* CAPABILITY IMAP4rev1 ID UIDPLUS\r\ntag1 OK CAPABILITY completed\r\n")
      .Await("tag1 ID (\"name\" \"tandrel\" \"version\" \"")
      .Say("* ID NIL\r\ntag1 OK ID completed\r\n")
      .Await("tag1 select tandrel\r\n")
      .Say("* 0 EXISTS\r\ntag1 OK [READ-WRITE] SELECT completed\r\n");
  Begin(peer, false);
  EXPECT_FALSE(client_.HasCapability("ID"));
  EXPECT_FALSE(client_.Select("tandrel"));
  EXPECT_EQ(client_.LastServerText(),
            "NO SELECT Unsafe Login. Please contact kefu@188.com for help");
  EXPECT_TRUE(client_.EnsureCapabilities());
  EXPECT_TRUE(client_.HasCapability("uidplus"));
  EXPECT_TRUE(client_.Select("tandrel"));
  EXPECT_TRUE(client_.ExistsKnown());
  Finish(peer);
}

TEST_F(ImapProtocolTest, IdFollowsLoginWhenAdvertisedAndSelectStateIsKept) {
  ScriptedPeer peer;
  peer.Say("* OK [CAPABILITY IMAP4rev1 ID] ready\r\n")
      .Await("login")
      .Say("tag1 OK Logged in\r\n")
      .Await("tag1 ID (\"name\" \"tandrel\" \"version\" \"")
      .Say("tag1 OK ID completed\r\n")
      .Await("tag1 select tandrel\r\n")
      .Say("* 3 EXISTS\r\n* OK [UIDVALIDITY 77] x\r\n* OK [UIDNEXT 9] x\r\ntag1 OK done\r\n")
      .Await("tag1 noop\r\n")
      .Say(
          "* 2 EXPUNGE\r\n* VANISHED 5:6\r\n* 1 FETCH (FLAGS (\\Seen))\r\n* 4 EXISTS\r\n"
          "tag1 OK NOOP\r\n");
  Begin(peer);
  EXPECT_EQ(client_.Exists(), 3u);
  EXPECT_EQ(client_.UidValidity(), 77u);
  EXPECT_EQ(client_.UidNext(), 9u);
  ASSERT_TRUE(client_.Noop());
  EXPECT_EQ(client_.Exists(), 4u);
  ImapClient::Changes changes = client_.TakeChanges();
  EXPECT_EQ(changes.expunged, 1u);
  EXPECT_EQ(changes.vanished, (std::vector<uint32_t>{5, 6}));
  EXPECT_TRUE(changes.flags);
  EXPECT_TRUE(changes.exists);
  EXPECT_FALSE(client_.TakeChanges().Any());
  Finish(peer);
}

TEST_F(ImapProtocolTest, EmptyFolderAndShortListings) {
  ScriptedPeer peer;
  Open(peer, "UIDPLUS", 0)
      // Not a command for the empty folder; then two messages arrive.
      .Await("tag1 noop\r\n")
      .Say("* 2 EXISTS\r\ntag1 OK\r\n")
      // The first one is expunged meanwhile and the other refused: empty.
      .Await("tag1 UID FETCH 1:* (UID)\r\n")
      .Say("* 2 EXPUNGE\r\n* 1 EXPUNGE\r\ntag1 NO Invalid messageset\r\n")
      .Await("tag1 noop\r\n")
      .Say("* 3 EXISTS\r\ntag1 OK\r\n")
      // A listing shorter than the folder is not the whole truth.
      .Await("tag1 UID FETCH 1:* (UID)\r\n")
      .Say("* 1 FETCH (UID 12)\r\n* 3 FETCH (UID 30)\r\ntag1 OK Fetch completed\r\n")
      .Await("tag1 UID FETCH 1:* (UID)\r\n")
      .Say("tag1 NO Server error\r\n");
  Begin(peer);
  ImapClient::UidListing listing;
  ASSERT_TRUE(client_.ListUids(listing));
  EXPECT_TRUE(listing.uids.empty());
  EXPECT_TRUE(listing.complete);
  std::set<std::string> old_style;
  EXPECT_TRUE(client_.FetchUidList(old_style));
  ASSERT_TRUE(client_.Noop());
  ASSERT_TRUE(client_.ListUids(listing));
  EXPECT_TRUE(listing.uids.empty());
  EXPECT_TRUE(listing.complete);
  ASSERT_TRUE(client_.Noop());
  ASSERT_TRUE(client_.ListUids(listing));
  EXPECT_EQ(listing.uids, (std::vector<uint32_t>{12, 30}));
  EXPECT_FALSE(listing.complete);
  // A NO on a folder that has messages is a failure, not an empty folder.
  EXPECT_FALSE(client_.ListUids(listing));
  EXPECT_EQ(client_.LastServerText(), "NO Server error");
  EXPECT_EQ(Finish(peer),
            "tag1 noop\r\ntag1 UID FETCH 1:* (UID)\r\ntag1 noop\r\n"
            "tag1 UID FETCH 1:* (UID)\r\ntag1 UID FETCH 1:* (UID)\r\n");
}

TEST_F(ImapProtocolTest, DeleteRefreshesFirstAndCountsOnlyWhatIsConfirmedGone) {
  ScriptedPeer peer;
  Open(peer, "UIDPLUS", 1)
      // Message 7 came from another session: the NOOP makes it known here.
      .Await("tag1 noop\r\n")
      .Say("* 2 EXISTS\r\ntag1 OK\r\n")
      .Await("tag1 UID STORE 7 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 OK Store completed\r\n")
      .Await("tag1 UID EXPUNGE 7\r\n")
      .Say("* 2 EXPUNGE\r\ntag1 OK Expunge completed\r\n")
      .Await("tag1 UID FETCH 7 (UID)\r\n")
      .Say("tag1 OK Fetch completed\r\n")
      // A store answered OK that did nothing: not done.
      .Await("tag1 noop\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID STORE 3:4 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 OK Store completed\r\n")
      .Await("tag1 UID EXPUNGE 3:4\r\n")
      .Say("tag1 OK Expunge completed\r\n")
      .Await("tag1 UID FETCH 3:4 (UID)\r\n")
      .Say("* 1 FETCH (UID 4)\r\ntag1 OK Fetch completed\r\n");
  Begin(peer);
  ImapClient::DeleteOutcome outcome;
  EXPECT_TRUE(Done(client_.DeleteMessages({7}, outcome), outcome));
  EXPECT_EQ(outcome.method, ImapClient::DeleteMethod::kUidExpunge);
  EXPECT_TRUE(client_.DeleteMessages({4, 3}, outcome).ok());  // yet not confirmed:
  EXPECT_EQ(outcome.remaining, std::vector<uint32_t>{4});
  EXPECT_TRUE(Done(client_.DeleteMessages({}, outcome), outcome));
  Finish(peer);
}

TEST_F(ImapProtocolTest, BadForAUidSetIsDiagnosedNotLoopedOn) {
  ScriptedPeer peer;
  Open(peer, "", 2)  // no UIDPLUS: plain EXPUNGE
      .Await("tag1 noop\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID STORE 5:6 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 BAD Error in IMAP command UID STORE: Invalid uidset\r\n")
      .Await("tag1 UID FETCH 5:6 (UID)\r\n")
      .Say("tag1 OK Fetch completed\r\n")  // both gone already: done
      .Await("tag1 noop\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID STORE 8 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 EXPUNGE\r\n")
      .Say("tag1 NO [EXPUNGEISSUED] Mailbox is read-only\r\n")
      .Await("tag1 UID FETCH 8 (UID)\r\n")
      .Say("* 2 FETCH (UID 8)\r\ntag1 OK\r\n");
  Begin(peer);
  ImapClient::DeleteOutcome outcome;
  EXPECT_TRUE(Done(client_.DeleteMessages({5, 6}, outcome), outcome));
  MailResult refused = client_.DeleteMessages({8}, outcome);
  EXPECT_EQ(refused.status(), MailResult::Status::kNo);
  EXPECT_EQ(outcome.method, ImapClient::DeleteMethod::kExpunge);
  EXPECT_EQ(outcome.remaining, std::vector<uint32_t>{8});
  EXPECT_EQ(refused.code(), "EXPUNGEISSUED");
  EXPECT_EQ(refused.text(), "NO [EXPUNGEISSUED] Mailbox is read-only");
  Finish(peer);
}

TEST_F(ImapProtocolTest, GmailDeleteGoesThroughTheTrash) {
  ScriptedPeer peer;
  Open(peer, "UIDPLUS MOVE SPECIAL-USE X-GM-EXT-1", 1)
      .Await("tag1 noop\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 LIST \"\" \"*\" RETURN (SPECIAL-USE)\r\n")
      .Say(
          "* LIST (\\HasChildren \\Noselect) \"/\" \"[Gmail]\"\r\n"
          "* LIST (\\HasNoChildren \\Trash) \"/\" {15}\r\n[Gmail]/Papierk\r\n"
          "tag1 OK Success\r\n")
      .Await("tag1 UID MOVE 5 \"[Gmail]/Papierk\"\r\n")
      .Say("* OK [COPYUID 9 5 31] moved\r\n* 1 EXPUNGE\r\ntag1 OK Done\r\n")
      .Await("tag1 select [Gmail]/Papierk\r\n")
      .Say("* 1 EXISTS\r\ntag1 OK\r\n")
      .Await("tag1 UID STORE 31 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID EXPUNGE 31\r\n")
      .Say("* 1 EXPUNGE\r\ntag1 OK\r\n")
      .Await("tag1 select tandrel\r\n")
      .Say("* 0 EXISTS\r\ntag1 OK\r\n")
      .Await("tag1 UID FETCH 5 (UID)\r\n")
      .Say("tag1 OK\r\n");
  Begin(peer);
  ImapClient::DeleteOutcome outcome;
  EXPECT_TRUE(Done(client_.DeleteMessages({5}, outcome), outcome));
  EXPECT_EQ(outcome.method, ImapClient::DeleteMethod::kTrashMove);
  EXPECT_TRUE(outcome.trash_expunged);
  EXPECT_EQ(client_.SelectedFolder(), "tandrel");
  Finish(peer);

  // Without MOVE: copy, flag, expunge here, then expunge the copy there.
  ScriptedPeer copy;
  Open(copy, "UIDPLUS X-GM-EXT-1", 1)
      .Await("tag1 noop\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 LIST \"\" \"*\"\r\n")
      .Say("* LIST (\\HasNoChildren \\Trash) \"/\" Bin\r\ntag1 OK\r\n")
      .Await("tag1 UID COPY 5 \"Bin\"\r\n")
      .Say("tag1 OK [COPYUID 9 5 44] Copied\r\n")
      .Await("tag1 UID STORE 5 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID EXPUNGE 5\r\n")
      .Say("* 1 EXPUNGE\r\ntag1 OK\r\n")
      .Await("tag1 select Bin\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID STORE 44 +FLAGS.SILENT (\\Deleted)\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID EXPUNGE 44\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 select tandrel\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 UID FETCH 5 (UID)\r\n")
      .Say("tag1 OK\r\n");
  ImapClient other;
  copy.Start();
  ASSERT_TRUE(other.Connect("127.0.0.1", copy.Port(), false) && other.Login("u", "pw") &&
              other.Select("tandrel"));
  EXPECT_TRUE(Done(other.DeleteMessages({5}, outcome), outcome));
  EXPECT_EQ(outcome.method, ImapClient::DeleteMethod::kTrashCopy);
  EXPECT_TRUE(outcome.trash_expunged);
  other.Close();
  copy.Received();
  EXPECT_TRUE(copy.Ok());
}

TEST_F(ImapProtocolTest, AppendAnswersKeepTheServerText) {
  const std::string eml = Eml("0123456789");
  ScriptedPeer peer;
  Open(peer, "UIDPLUS QUOTA", 0)
      .Await("{10}\r\n")
      .Say("+ OK\r\n")
      .Await("0123456789\r\n")
      .Say("tag1 OK [APPENDUID 38505 3955] APPEND completed\r\n")
      .Await("{10}\r\n")
      .Say("tag1 NO [OVERQUOTA] Quota exceeded (mailbox for user is full)\r\n")
      .Await("{10}\r\n")
      .Say("+ OK\r\n")
      .Await("0123456789\r\n")
      .Say("tag1 NO [THROTTLED] Too fast\r\n")
      .Await("tag1 GETQUOTAROOT \"tandrel\"\r\n")
      .Say(
          "* QUOTAROOT tandrel \"User quota\"\r\n* QUOTA \"User quota\" (STORAGE 10 512)\r\n"
          "tag1 OK\r\n")
      .Await("{10}\r\n")
      .Say("+ OK\r\n")
      .Await("0123456789\r\n")
      .Say("* BYE Daily upload limit reached\r\n")
      .Hangup();
  Begin(peer);
  ImapClient::AppendOutcome outcome;
  EXPECT_TRUE(client_.AppendMessage("tandrel", eml, outcome).ok());
  EXPECT_EQ(outcome.uid, 3955u);
  EXPECT_EQ(outcome.uidvalidity, 38505u);
  MailResult full = client_.AppendMessage("tandrel", eml, outcome);
  EXPECT_TRUE(full.OverQuota());
  EXPECT_EQ(full.text(), "NO [OVERQUOTA] Quota exceeded (mailbox for user is full)");
  MailResult slow = client_.AppendMessage("tandrel", eml, outcome);
  EXPECT_TRUE(slow.Throttled());
  EXPECT_EQ(slow.text(), "NO [THROTTLED] Too fast");
  ImapParser::Quota quota;
  ASSERT_TRUE(client_.GetQuota("tandrel", quota));
  EXPECT_EQ(quota.used_bytes, 10240u);
  EXPECT_EQ(quota.limit_bytes, 524288u);
  MailResult cut = client_.AppendMessage("tandrel", eml, outcome);
  EXPECT_TRUE(cut.ConnectionEnded());
  EXPECT_EQ(cut.text(), "BYE Daily upload limit reached");
  EXPECT_FALSE(client_.IsConnected());
  Finish(peer);
}

TEST_F(ImapProtocolTest, AppendLimitAndNoUidplus) {
  const std::string small = Eml("01234"), big = dir_.Sub("big.eml");
  WriteFileBytes(big, std::string(20, 'x'));
  ScriptedPeer peer;
  Open(peer, "APPENDLIMIT=10", 0)
      .Await("{5}\r\n")
      .Say("+ OK\r\n")
      .Await("01234\r\n")
      .Say("tag1 OK APPEND completed\r\n");
  Begin(peer);
  EXPECT_EQ(client_.AppendLimit(), 10u);
  ImapClient::AppendOutcome outcome;
  MailResult too_big = client_.AppendMessage("tandrel", big, outcome);
  EXPECT_TRUE(too_big.TooBig());
  EXPECT_EQ(too_big.status(), MailResult::Status::kLocalError);  // nothing sent
  EXPECT_NE(too_big.text().find("APPENDLIMIT"), std::string::npos);
  EXPECT_TRUE(client_.AppendMessage("tandrel", small, outcome).ok());
  EXPECT_EQ(outcome.uid, 0u);  // no APPENDUID: learnt by a later listing
  std::string sent = Finish(peer);
  EXPECT_EQ(sent.find("{20}"), std::string::npos);
}

TEST_F(ImapProtocolTest, HeadersOfManyMessagesInBatches) {
  const std::string h3 = "Subject: 3\r\n\r\n", h4 = "X-tdr-info: 4\r\n\r\n", h9 = "A: 9\r\n\r\n";
  auto literal = [](const std::string& s) { return "{" + std::to_string(s.size()) + "}\r\n" + s; };
  ScriptedPeer peer;
  Open(peer, "UIDPLUS", 4)
      .Await("tag1 UID FETCH 3:5 (UID BODY.PEEK[HEADER])\r\n")
      .Say("* 1 FETCH (UID 3 BODY[HEADER] " + literal(h3) + ")\r\n* 2 FETCH (BODY[HEADER] " +
           literal(h4) + " UID 4 FLAGS (\\Recent))\r\n* 9 FETCH (FLAGS (\\Seen))\r\ntag1 OK\r\n")
      .Await("tag1 UID FETCH 9 (UID BODY.PEEK[HEADER])\r\n")
      .Say("* 4 FETCH (UID 9 BODY[HEADER] " + literal(h9) + ")\r\ntag1 OK\r\n");
  Begin(peer);
  std::map<uint32_t, std::string> headers;
  ASSERT_TRUE(client_.FetchHeaders({3, 4, 5, 9}, headers, 3));
  EXPECT_EQ(headers, (std::map<uint32_t, std::string>{{3, h3}, {4, h4}, {9, h9}}));
  Finish(peer);
}

TEST_F(ImapProtocolTest, IdleWaitsForChangesWakesAndEndsBeforeTheNextCommand) {
  int wake = ::eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  ScriptedPeer peer;
  Open(peer, "IDLE", 1)
      .Await("tag1 IDLE\r\n")
      .Say("+ idling\r\n")
      .Say("* OK Still here\r\n* 2 EXISTS\r\n")
      .Await("DONE\r\n")
      .Say("tag1 OK Idle completed\r\n")
      .Await("tag1 noop\r\n")
      .Say("tag1 OK\r\n")
      .Await("tag1 IDLE\r\n")
      .Say("+ idling\r\n")
      .Await("DONE\r\n")
      .Say("tag1 OK Idle completed\r\n");
  Begin(peer);
  ASSERT_TRUE(client_.IdleStart());
  EXPECT_EQ(client_.IdleWait(3000, wake), ImapClient::IdleEvent::kChanged);
  EXPECT_TRUE(client_.TakeChanges().exists);
  EXPECT_EQ(client_.Exists(), 2u);
  EXPECT_TRUE(client_.Noop());  // DONE went first
  EXPECT_FALSE(client_.Idling());
  ASSERT_TRUE(client_.IdleStart());
  EXPECT_EQ(client_.IdleWait(50, wake), ImapClient::IdleEvent::kTimeout);
  uint64_t one = 1;
  ASSERT_EQ(::write(wake, &one, sizeof one), 8);
  EXPECT_EQ(client_.IdleWait(3000, wake), ImapClient::IdleEvent::kWoken);
  EXPECT_TRUE(client_.IdleDone());
  EXPECT_EQ(Finish(peer), "tag1 IDLE\r\nDONE\r\ntag1 noop\r\ntag1 IDLE\r\nDONE\r\n");
  ::close(wake);
}

TEST_F(ImapProtocolTest, IdleEndsAtAbortAndAtADroppedConnection) {
  ScriptedPeer peer;
  Open(peer, "IDLE", 1).Await("tag1 IDLE\r\n").Say("+ idling\r\n").Await("never");
  Begin(peer);
  ASSERT_TRUE(client_.IdleStart());
  // Before or during the wait, the abort ends it alike.
  std::thread stopper([this] { client_.Abort(); });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.IdleWait(10000, -1), ImapClient::IdleEvent::kConnectionLost);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  stopper.join();
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_FALSE(client_.Idling());
  client_.Reset();
  peer.Received();
  // Without IDLE the session says so and the caller keeps its period.
  ScriptedPeer plain;
  Open(plain, "UIDPLUS", 0);
  ImapClient other;
  plain.Start();
  ASSERT_TRUE(other.Connect("127.0.0.1", plain.Port(), false));
  ASSERT_TRUE(other.Login("u@example.com", "pw"));
  ASSERT_TRUE(other.Select("tandrel"));
  EXPECT_FALSE(other.IdleStart());
  other.Close();
  plain.Received();
}

}  // namespace

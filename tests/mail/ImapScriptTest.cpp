#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <set>
#include <string>

#include "MailTestHelpers.h"
#include "ScriptedPeer.h"
#include "TempDir.h"
#include "mail/ImapClient.h"

namespace {

const std::string kGreeting = "* OK IMAP4rev1 ready\r\n";
const std::string kLoginOk = "tag1 OK Logged in\r\n";

class ImapScriptTest : public ::testing::Test {
 protected:
  // Connects and logs in as user/password with the peer's first lines.
  void Begin(ScriptedPeer& peer, const std::string& user = "u@example.com",
             const std::string& password = "pw") {
    peer.Start();
    client_.SetTimeouts(2000, 2000);
    ASSERT_TRUE(client_.Connect("127.0.0.1", peer.Port(), false));
    ASSERT_TRUE(client_.Login(user, password));
  }
  static ScriptedPeer& LoginScript(ScriptedPeer& peer, const std::string& command) {
    return peer.Say(kGreeting).Await(command).Say(kLoginOk);
  }
  // Ends the session and hands back every byte the client sent.
  std::string Finish(ScriptedPeer& peer) {
    client_.Close();
    std::string bytes = peer.Received();
    EXPECT_TRUE(peer.Ok());
    return bytes;
  }

  TempDir dir_{"imap"};
  ImapClient client_;
};

TEST_F(ImapScriptTest, EveryOperationSendsItsExactCommand) {
  std::string eml = dir_.Sub("m.eml");
  WriteFileBytes(eml, "Subject: x\r\n\r\nbody\r\n");
  ScriptedPeer peer;
  LoginScript(peer, "tag1 login u@example.com pw\r\n")
      .Await("tag1 create tandrel\r\n")
      .Say("tag1 OK Create completed\r\n")
      .Await("tag1 select tandrel\r\n")
      .Say("* 1 EXISTS\r\ntag1 OK [READ-WRITE] Select\r\n")
      .Await("tag1 fetch 1:* (uid)\r\n")
      .Say("* 1 FETCH (UID 4)\r\ntag1 OK Fetch\r\n")
      .Await("tag1 uid fetch 4 (BODY.PEEK[HEADER])\r\n")
      .Say("* 1 FETCH (UID 4 RFC822.HEADER {14}\r\nSubject: x\r\n\r\n)\r\ntag1 OK Fetch\r\n")
      .Await("tag1 uid fetch 4 (BODY.PEEK[])\r\n")
      .Say("* 1 FETCH (UID 4 RFC822 {20}\r\nSubject: x\r\n\r\nbody\r\n)\r\ntag1 OK Fetch\r\n")
      .Await("tag1 append \"tandrel\" {20}\r\n")
      .Say("+ OK\r\n")
      .Await("body\r\n\r\n")
      .Say("tag1 OK [APPENDUID 1 5] Append completed\r\n")
      .Await("tag1 UID STORE 4 +FLAGS (\\Deleted)\r\n")
      .Say("tag1 OK Store\r\n")
      .Await("tag1 EXPUNGE\r\n")
      .Say("* 1 EXPUNGE\r\ntag1 OK Expunge\r\n");
  Begin(peer);
  EXPECT_TRUE(client_.Create("tandrel"));
  EXPECT_TRUE(client_.Select("tandrel"));
  std::set<std::string> uids;
  EXPECT_TRUE(client_.FetchUidList(uids));
  EXPECT_EQ(uids, std::set<std::string>{"4"});
  std::string header, message;
  EXPECT_TRUE(client_.GetHeader("4", header));
  EXPECT_EQ(header, "Subject: x\r\n\r\n");
  EXPECT_TRUE(client_.FetchMessage(uids, message));
  EXPECT_EQ(message, "Subject: x\r\n\r\nbody\r\n");
  EXPECT_TRUE(client_.Append("tandrel", eml));
  EXPECT_TRUE(client_.Delete(uids));
  EXPECT_EQ(Finish(peer),
            "tag1 login u@example.com pw\r\n"
            "tag1 create tandrel\r\n"
            "tag1 select tandrel\r\n"
            "tag1 fetch 1:* (uid)\r\n"
            "tag1 uid fetch 4 (BODY.PEEK[HEADER])\r\n"
            "tag1 uid fetch 4 (BODY.PEEK[])\r\n"
            "tag1 append \"tandrel\" {20}\r\nSubject: x\r\n\r\nbody\r\n\r\n"
            "tag1 UID STORE 4 +FLAGS (\\Deleted)\r\n"
            "tag1 EXPUNGE\r\n");
}

TEST_F(ImapScriptTest, LoginRefusedWithNoOrBadLogsTheLine) {
  for (const std::string& refusal :
       {std::string("tag1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"),
        std::string("tag1 BAD Error in IMAP command\r\n")}) {
    LogCapture log;
    ScriptedPeer peer;
    peer.Say(kGreeting + "* OK NOTE untagged lines never decide\r\n").Await("\r\n").Say(refusal);
    peer.Start();
    ImapClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), false));
    EXPECT_FALSE(client.Login("u@example.com", "wrong"));
    EXPECT_TRUE(log.Has("LOG_INFO u@example.com login err,msg:" + refusal));
    client.Close();
    peer.Received();
  }
}

TEST_F(ImapScriptTest, PasswordsThatAreNoAtomsAreQuotedOrSentAsLiterals) {
  ScriptedPeer peer;
  LoginScript(peer, "tag1 login u@example.com \"pa ss\\\"w\\\\d\"\r\n")
      .Await("tag1 login u@example.com {8}\r\n")
      .Say("+ Ready\r\n")
      .Await("line\r\nx1\r\n")
      .Say("tag1 OK Logged in\r\n")
      .Await("tag1 select \"my folder\"\r\n")
      .Say("tag1 NO no such folder\r\n");
  Begin(peer, "u@example.com", "pa ss\"w\\d");
  EXPECT_TRUE(client_.Login("u@example.com", "line\r\nx1"));
  EXPECT_FALSE(client_.Select("my folder"));
  EXPECT_TRUE(client_.IsConnected());
  Finish(peer);
}

TEST_F(ImapScriptTest, UidListKeepsEveryUidAsText) {
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("tag1 fetch 1:* (uid)\r\n")
      .Say(
          "* 1 FETCH (UID 12)\r\n* 2 FETCH (UID 7)\r\n* 3 FETCH (UID 9 FLAGS (\\Seen))\r\n"
          "tag1 OK Fetch completed\r\n");
  Begin(peer);
  std::set<std::string> uids;
  EXPECT_TRUE(client_.FetchUidList(uids));
  EXPECT_EQ(std::vector<std::string>(uids.begin(), uids.end()),
            (std::vector<std::string>{"12", "7", "9"}));
  Finish(peer);
}

TEST_F(ImapScriptTest, EmptyFolderAnsweredWithNoOrOk) {
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("tag1 fetch 1:* (uid)\r\n")
      .Say("tag1 NO Invalid messageset\r\n")
      .Await("tag1 fetch 1:* (uid)\r\n")
      .Say("tag1 BAD Error in IMAP command\r\n")
      .Await("tag1 fetch 1:* (uid)\r\n")
      .Say("tag1 OK Fetch completed\r\n");
  Begin(peer);
  for (bool expected : {false, false, true}) {
    std::set<std::string> uids;
    EXPECT_EQ(client_.FetchUidList(uids), expected);
    EXPECT_TRUE(uids.empty());
  }
  Finish(peer);
}

TEST_F(ImapScriptTest, FetchReadsByLiteralSizeNotByLineStarts) {
  const std::string body =
      "Subject: tricky\r\n\r\n* 3 FETCH (UID 3)\r\ntag1 OK looks completed\r\n)\r\nend";
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("tag1 uid fetch 3 (BODY.PEEK[])\r\n")
      .Say("* 1 FETCH (UID 3 RFC822 {" + std::to_string(body.size()) + "}\r\n" + body +
           " FLAGS (\\Seen))\r\ntag1 OK Fetch completed\r\n")
      .Await("tag1 uid fetch 3 (BODY.PEEK[])\r\n")
      .Say("tag1 NO no such message\r\n");
  Begin(peer);
  uint32_t counted = 0;
  client_.SetProgress(nullptr, [&](uint32_t n) { counted += n; });
  std::string message;
  EXPECT_TRUE(client_.FetchMessage({"3"}, message));
  EXPECT_EQ(message, body);
  EXPECT_EQ(counted, static_cast<uint32_t>(body.size() / 1.33));
  std::string again;
  EXPECT_FALSE(client_.FetchMessage({"3"}, again));
  EXPECT_EQ(again, "");
  Finish(peer);
}

TEST_F(ImapScriptTest, ProviderHeaderComesFromTheMessageAndTheSessionReopens) {
  const std::string header = "Subject: p\r\nX-tdr-info: 1\r\n\r\n";
  const std::string body = "QUJD\r\n";
  ScriptedPeer peer;
  LoginScript(peer, "tag1 login box@sohu.com pw\r\n")
      .Await("tag1 select INBOX.tandrel\r\n")
      .Say("tag1 OK [READ-WRITE] Select completed\r\n")
      .Await("tag1 uid fetch 5 (BODY.PEEK[])\r\n")
      .Say("* 1 FETCH (UID 5 RFC822 {" + std::to_string(header.size() + body.size()) + "}\r\n" +
           header)
      .Reconnect()
      .Say(kGreeting)
      .Await("tag1 login box@sohu.com pw\r\n")
      .Say(kLoginOk)
      .Await("tag1 select INBOX.tandrel\r\n")
      .Say("tag1 OK [READ-WRITE] Select completed\r\n");
  Begin(peer, "box@sohu.com", "pw");
  // The folder selected before is selected again, whatever its name.
  ASSERT_TRUE(client_.Select("INBOX.tandrel"));
  std::string got;
  EXPECT_TRUE(client_.GetHeader("5", got));
  EXPECT_EQ(got, header);
  EXPECT_TRUE(client_.IsConnected());
  EXPECT_EQ(Finish(peer),
            "tag1 login box@sohu.com pw\r\n"
            "tag1 select INBOX.tandrel\r\n"
            "tag1 uid fetch 5 (BODY.PEEK[])\r\n"
            "tag1 login box@sohu.com pw\r\n"
            "tag1 select INBOX.tandrel\r\n");
}

TEST_F(ImapScriptTest, FetchCutShortHandsBackNothing) {
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("tag1 uid fetch 3 (BODY.PEEK[])\r\n")
      .Say("* 1 FETCH (UID 3 RFC822 {100}\r\nonly part of it")
      .Hangup();
  Begin(peer);
  std::string message = "kept";
  EXPECT_FALSE(client_.FetchMessage({"3"}, message));
  EXPECT_EQ(message, "kept");
  EXPECT_FALSE(client_.IsConnected());
  Finish(peer);
}

TEST_F(ImapScriptTest, AppendRefusedBeforeOrAfterTheLiteral) {
  LogCapture log;
  std::string eml = dir_.Sub("m.eml");
  WriteFileBytes(eml, "0123456789");
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("tag1 append \"tandrel\" {10}\r\n")
      .Say("tag1 NO [OVERQUOTA] Quota exceeded\r\n")
      .Await("tag1 append \"tandrel\" {10}\r\n")
      .Say("+ OK\r\n")
      .Await("0123456789\r\n")
      .Say("tag1 NO [OVERQUOTA] Quota exceeded\r\n");
  Begin(peer);
  EXPECT_FALSE(client_.Append("tandrel", eml));
  EXPECT_TRUE(log.Has("LOG_ERROR append error,res=tag1 NO [OVERQUOTA] Quota exceeded\r\n"));
  EXPECT_FALSE(client_.Append("tandrel", eml));
  EXPECT_TRUE(client_.IsConnected());
  std::string sent = Finish(peer);
  EXPECT_EQ(sent.substr(sent.find("tag1 append")),
            "tag1 append \"tandrel\" {10}\r\n"
            "tag1 append \"tandrel\" {10}\r\n0123456789\r\n");
}

TEST_F(ImapScriptTest, AppendOfEmptyOrMissingFileSendsNothing) {
  LogCapture log;
  std::string empty = dir_.Sub("empty.eml"), missing = dir_.Sub("missing.eml");
  WriteFileBytes(empty, "");
  ScriptedPeer peer;
  LoginScript(peer, "login");
  Begin(peer);
  EXPECT_FALSE(client_.Append("tandrel", empty));
  EXPECT_TRUE(log.Has("LOG_ERROR  " + empty + " flen<=0 error"));
  EXPECT_FALSE(client_.Append("tandrel", missing));
  EXPECT_TRUE(log.Has("LOG_ERROR open " + missing + " error"));
  EXPECT_EQ(Finish(peer), "tag1 login u@example.com pw\r\n");
}

// Fails the file read after the first block.
class FailingReadClient : public ImapClient {
 protected:
  ssize_t ReadFileBlock(int fd, char* buffer, size_t n) override {
    if (reads_++ > 0) return -1;
    return ImapClient::ReadFileBlock(fd, buffer, std::min(n, kFileBlock));  // a short read
  }

 private:
  int reads_ = 0;
};

TEST_F(ImapScriptTest, FileReadErrorDuringAppendClosesTheConnection) {
  LogCapture log;
  std::string eml = dir_.Sub("big.eml");
  WriteFileBytes(eml, std::string(3 * ImapClient::kFileBlock, 'q'));
  ScriptedPeer peer;
  LoginScript(peer, "login").Await("{12288}\r\n").Say("+ OK\r\n");
  peer.Start();
  FailingReadClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), false));
  ASSERT_TRUE(client.Login("u@example.com", "pw"));
  EXPECT_FALSE(client.Append("tandrel", eml));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(log.Has("LOG_ERROR  read " + eml + "  error"));
  peer.Received();
}

TEST_F(ImapScriptTest, DeleteFlagsAndExpungesEachUidInTurn) {
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("STORE 5 +FLAGS (\\Deleted)\r\n")
      .Say("* 1 FETCH (FLAGS (\\Deleted))\r\ntag1 OK\r\n")
      .Await("EXPUNGE\r\n")
      .Say("* 1 EXPUNGE\r\ntag1 OK Expunge completed\r\n")
      .Await("STORE 6 +FLAGS (\\Deleted)\r\n")
      .Say("tag1 OK Store completed\r\n")
      .Await("EXPUNGE\r\n")
      .Say("tag1 OK Expunge completed\r\n")
      .Await("STORE 8 +FLAGS (\\Deleted)\r\n")
      .Say("tag1 NO Store failed\r\n");
  Begin(peer);
  EXPECT_TRUE(client_.Delete({}));
  EXPECT_TRUE(client_.Delete({"6", "5"}));
  EXPECT_FALSE(client_.Delete({"8", "9"}));
  EXPECT_FALSE(client_.Delete({"7 +FLAGS (\\Seen)"}));
  std::string sent = Finish(peer);
  EXPECT_EQ(sent.substr(sent.find("\r\n") + 2),
            "tag1 UID STORE 5 +FLAGS (\\Deleted)\r\n"
            "tag1 EXPUNGE\r\n"
            "tag1 UID STORE 6 +FLAGS (\\Deleted)\r\n"
            "tag1 EXPUNGE\r\n"
            "tag1 UID STORE 8 +FLAGS (\\Deleted)\r\n");
}

TEST_F(ImapScriptTest, SilentServerFailsTheOperationAfterTheTimeout) {
  ScriptedPeer peer;
  LoginScript(peer, "login").Await("tag1 select tandrel\r\n");
  peer.Start();
  client_.SetTimeouts(2000, 300);
  ASSERT_TRUE(client_.Connect("127.0.0.1", peer.Port(), false));
  ASSERT_TRUE(client_.Login("u@example.com", "pw"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_.Select("tandrel"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(client_.IsConnected());
  peer.Received();
}

TEST_F(ImapScriptTest, NoopIsJudgedByItsTaggedLine) {
  ScriptedPeer peer;
  LoginScript(peer, "login")
      .Await("tag1 noop\r\n")
      .Say("* 3 EXISTS\r\ntag1 OK NOOP completed\r\n")
      .Await("tag1 noop\r\n")
      .Say("* OK still here\r\ntag1 BAD wrong state\r\n")
      .Await("tag1 noop\r\n")
      .Hangup();
  Begin(peer);
  EXPECT_TRUE(client_.Noop());
  EXPECT_FALSE(client_.Noop());
  EXPECT_FALSE(client_.Noop());
  Finish(peer);
}

TEST_F(ImapScriptTest, LogoutClosesWhateverTheServerAnswers) {
  {
    ScriptedPeer peer;
    LoginScript(peer, "login")
        .Await("tag1 logout\r\n")
        .Say("* BYE Logging out\r\ntag1 OK Logout completed\r\n");
    Begin(peer);
    client_.Logout();
    EXPECT_FALSE(client_.IsConnected());
    std::string sent = Finish(peer);
    EXPECT_EQ(sent.substr(sent.find("\r\n") + 2), "tag1 logout\r\n");
  }
  {
    // A server that keeps talking is not listened to for long.
    std::string chatter;
    for (int i = 0; i < 100; ++i) chatter += "* OK chatter\r\n";
    ScriptedPeer peer;
    LoginScript(peer, "login").Await("tag1 logout\r\n").Say(chatter);
    Begin(peer);
    client_.Logout();
    EXPECT_FALSE(client_.IsConnected());
    Finish(peer);
  }
  {
    ScriptedPeer peer;
    LoginScript(peer, "login").Hangup();
    Begin(peer);
    client_.Logout();  // the peer is gone: nothing to wait for
    EXPECT_FALSE(client_.IsConnected());
    client_.Logout();  // and harmless when closed
    Finish(peer);
  }
}

// XOAUTH2 without SASL-IR: the response after the server's "+", and the
// error payload it sends then answered with an empty line, decoded into the
// refusal beside the tagged text.
TEST_F(ImapScriptTest, BearerTokenWithoutSaslIrAndTheServersErrorPayload) {
  ScriptedPeer peer;
  peer.Say("* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] ready\r\n")
      .Await("tag1 AUTHENTICATE XOAUTH2\r\n")
      .Say("+ \r\n")
      .Await("dXNlcj11QGV4YW1wbGUuY29tAWF1dGg9QmVhcmVyIFQwSwEB\r\n")
      .Say("+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0=\r\n")
      .Await("\r\n")
      .Say("tag1 NO [AUTHENTICATIONFAILED] Invalid credentials\r\n");
  peer.Start();
  client_.SetTimeouts(2000, 2000);
  ASSERT_TRUE(client_.Connect("127.0.0.1", peer.Port(), false));
  MailResult result = client_.AuthenticateBearer("u@example.com", "T0K");
  EXPECT_TRUE(result.Refused());
  EXPECT_EQ(result.code(), "AUTHENTICATIONFAILED");
  EXPECT_NE(result.text().find("Invalid credentials {\"status\":\"401\""), std::string::npos)
      << result.text();
  Finish(peer);
}

}  // namespace

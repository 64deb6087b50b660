// The engine in this process, against a scripted peer where a real server
// cannot produce the case, and against the Dovecot fixture.
#include "sync/SyncEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "DovecotServer.h"
#include "ScriptedPeer.h"
#include "StoreFault.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/CppSQLite3DB.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "store/StoreStatement.h"
#include "store/SyncQueries.h"
#include "sync/FolderCache.h"
#include "sync/PartHeaders.h"
#include "sync/SyncStatus.h"
#include "sync/TaskWorker.h"
#include "sync/TransferProgress.h"

namespace {

const char kUser[] = "me@example.com";
const char kPassword[] = "pw";

class SyncEngineTest : public ::testing::Test {
 protected:
  SyncEngineTest()
      : home_("HOME", tmp_.Sub("home")),
        data_("XDG_DATA_HOME", tmp_.Sub("share")),
        config_("XDG_CONFIG_HOME", tmp_.Sub("config")) {}

  void Prepare(int port) {
    ASSERT_TRUE(PrepareDataDir(tmp_.Sub("bin") + "/"));
    MetaStore store;
    account_.user = kUser;
    account_.pwd = kPassword;
    account_.down_server = "127.0.0.1";
    account_.port = port;
    ASSERT_TRUE(store.AddAccount(account_));
    ASSERT_TRUE(store.SetCurAccount(kUser));
    // As a machine that opened the mailbox before: the folder is selected as is.
    MailboxQueries mailbox(kUser);
    ASSERT_TRUE(mailbox.Migrate() && mailbox.SetFolder("tandrel"));
    engine_.Attach(account_, cache_);
    cache_root_ = engine_.CacheRoot();
    ASSERT_FALSE(cache_root_.empty());
  }

  void AddFile(const std::string& path, const std::string& bytes) {
    WriteFileBytes(NativePath(cache_root_ + path), bytes);
    ASSERT_TRUE(engine_.SyncAddFile(path));
  }

  long long Scalar(const std::string& sql) {
    CppSQLite3DB db;
    db.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
    db.OpenDb(DataDir() + "/" + kUser + ".db");
    StoreStatement q(db, "select (" + sql + ") as v");
    q.executeStep();
    return q.getInt64("v");
  }
  void Exec(const std::string& sql) {
    CppSQLite3DB db;
    db.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
    db.OpenDb(DataDir() + "/" + kUser + ".db");
    db.RunStatement(sql);
  }

  size_t MailboxSize() {
    ImapClient client;
    std::set<std::string> uids;
    if (!client.Connect("127.0.0.1", account_.port, false) || !client.Login(kUser, kPassword) ||
        !client.Select("tandrel") || !client.FetchUidList(uids)) {
      return 0;
    }
    return uids.size();
  }

  TempDir tmp_{"sync"};
  ScopedEnv home_;
  ScopedEnv data_;
  ScopedEnv config_;
  AccountRecord account_;
  FolderCache cache_;
  SyncEngine engine_{SyncStatus::Instance(), *TransferProgress::Instance(), DataDir()};
  std::string cache_root_;
};

// The peer accepts the session and refuses the appended message `rounds`
// times; a refusal leaves the session open.
void ScriptRefusedAppends(ScriptedPeer& peer, int rounds) {
  peer.Say("* OK ready\r\n")
      .Await("login")
      .Say("tag1 OK [CAPABILITY IMAP4rev1] logged in\r\n")
      .Await("select")
      .Say("tag1 OK selected\r\n");
  for (int i = 0; i < rounds; ++i) {
    peer.Await("append")
        .Say("+ go\r\n")
        .Await("--next-part-23b23mb3tsfd1dfasdf--\r\n")
        .Say("tag1 NO cannot store the message\r\n");
  }
}

TEST_F(SyncEngineTest, RefusedAppendBacksOffAndTheLaterPhasesStillRun) {
  ScriptedPeer peer;
  ScriptRefusedAppends(peer, 3);
  peer.Start();
  Prepare(peer.Port());
  auto now = std::chrono::steady_clock::now();
  engine_.SetClockForTest([&] { return now; });
  // A silent peer must fail the test quickly, not after the two-minute time-out.
  MailConnection::SetDefaultTimeouts(5000, 5000);
  AddFile("\\a.txt", "hello");
  // A stat 3 row that only the clean-up phase removes.
  Exec("insert into mail(mail_id,file_id,name,size,stat) values('',777,'x',1,3)");

  EXPECT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 1000);
  EXPECT_EQ(Scalar("select stat from mail where name='a.txt'"), 1);
  EXPECT_EQ(Scalar("select count(*) from mail where file_id=777"), 0);

  // Within the back-off nothing is tried; after it, the next failure doubles it.
  EXPECT_TRUE(engine_.TaskStep());
  now += std::chrono::milliseconds(1000);
  EXPECT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 2000);
  now += std::chrono::milliseconds(2000);
  EXPECT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 4000);
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  size_t logins = 0;
  for (size_t at = sent.find(" login "); at != std::string::npos; at = sent.find(" login ", at + 1))
    ++logins;
  EXPECT_EQ(logins, 1u);
  EXPECT_EQ(Scalar("select stat from mail where name='a.txt'"), 1);
}

TEST_F(SyncEngineTest, BackOffIsBoundedAtOneMinute) {
  Prepare(1);
  auto now = std::chrono::steady_clock::now();
  engine_.SetClockForTest([&] { return now; });
  AddFile("\\a.txt", "x");
  for (int i = 0; i < 10; ++i) {
    engine_.TaskStep();
    now += std::chrono::milliseconds(engine_.UploadBackoffMs());
  }
  EXPECT_EQ(engine_.UploadBackoffMs(), TaskWorker::kMaxBackoffMs);
}

// A server that takes the sessions and then answers nothing more: both
// threads block in the middle of a command. Stop must not wait for the
// (here one-minute) receive time-out.
TEST_F(SyncEngineTest, StopCutsSessionsThatAServerLeftHanging) {
  ScriptedPeer peer;
  peer.Say("* OK ready\r\n").Await("login").Say("tag1 OK logged in\r\n").Await("never sent");
  peer.Start();
  Prepare(peer.Port());
  MailConnection::SetDefaultTimeouts(60000, 60000);
  AddFile("\\a.txt", "content");
  ASSERT_TRUE(engine_.Start(account_, cache_));
  // The task thread is on its way to the server once its upload begins.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (TransferProgress::Instance()->Upload().name.empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(TransferProgress::Instance()->Upload().name.empty());
  auto before = std::chrono::steady_clock::now();
  engine_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  EXPECT_FALSE(engine_.Running());
  EXPECT_EQ(Scalar("select stat from mail"), 1) << "the part waits for the next start";
  MailConnection::SetDefaultTimeouts(MailConnection::kConnectTimeoutMs,
                                     MailConnection::kIoTimeoutMs);
  peer.Received();
}

size_t Count(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

// Greeting, login and the select of the recorded folder with `exists`.
void ScriptOpen(ScriptedPeer& peer, int exists) {
  peer.Say("* OK ready\r\n")
      .Await("login")
      .Say("tag1 OK [CAPABILITY IMAP4rev1] in\r\n")
      .Await("select")
      .Say("* " + std::to_string(exists) + " EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\ntag1 OK done\r\n");
}

void ScriptListing(ScriptedPeer& peer, const std::vector<int>& uids) {
  std::string answer;
  for (size_t i = 0; i < uids.size(); ++i)
    answer += "* " + std::to_string(i + 1) + " FETCH (UID " + std::to_string(uids[i]) + ")\r\n";
  peer.Await("UID FETCH 1:* (UID)").Say(answer + "tag1 OK done\r\n");
}

void ScriptLogout(ScriptedPeer& peer) {
  peer.Await("logout").Say("* BYE bye\r\ntag1 OK done\r\n");
}

TEST_F(SyncEngineTest, OnlyACompleteListingConfirmedOnAFreshSessionRemovesFiles) {
  ScriptedPeer peer;
  ScriptOpen(peer, 0);  // an empty folder is asked nothing
  peer.Await("noop").Say("* 3 EXISTS\r\ntag1 OK done\r\n");
  // The first change an open session is told of is checked against the folder.
  peer.Await("STATUS").Say("* STATUS tandrel (MESSAGES 3 UIDNEXT 4)\r\ntag1 OK done\r\n");
  ScriptListing(peer, {1});  // shorter than EXISTS
  peer.Await("noop").Say("* 2 EXPUNGE\r\ntag1 OK done\r\n");
  ScriptListing(peer, {1, 3});  // complete, and one of three lost: checked again
  peer.Reconnect();
  ScriptOpen(peer, 3);
  ScriptListing(peer, {1, 2, 3});
  ScriptLogout(peer);
  peer.Reconnect();  // the refresh session was cut: the next pass opens again
  ScriptOpen(peer, 2);
  ScriptListing(peer, {1, 3});
  peer.Reconnect();
  ScriptOpen(peer, 2);
  ScriptListing(peer, {1, 3});
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  MailConnection::SetDefaultTimeouts(5000, 5000);

  EXPECT_TRUE(engine_.Refresh());
  for (int id = 1; id <= 3; ++id) {
    Exec("insert into ftable(file_id,file_name,folder_id) values(" + std::to_string(id) + ",'f" +
         std::to_string(id) + "',1)");
    Exec("insert into mail(file_id,mail_id,name,size,total_size,part,total_part,md5,stat) values(" +
         std::to_string(id) + ",'" + std::to_string(id) + "','f" + std::to_string(id) +
         "',1,1,0,1,'m',0)");
  }
  EXPECT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select count(*) from mail"), 3) << "a short listing removes nothing";
  EXPECT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select count(*) from mail"), 3) << "the fresh session still lists it";
  EXPECT_FALSE(engine_.Refresh());
  EXPECT_TRUE(engine_.Refresh());
  // Confirmed gone: one file of three is more than the guard lets go
  // unasked, so it is held for the user, not removed.
  EXPECT_EQ(Scalar("select count(*) from mail"), 3);
  EXPECT_EQ(Scalar("select count(*) from held_deletion where path='\\f2'"), 1);
  EXPECT_EQ(Scalar("select uidvalidity from mailbox"), 7) << "recorded at the first listing";
  engine_.Stop();
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, "FETCH"), 5u) << "nothing fetched from the empty folder";
  MailConnection::SetDefaultTimeouts(MailConnection::kConnectTimeoutMs,
                                     MailConnection::kIoTimeoutMs);
}

// NetEase refuses SELECT until the client said who it is; a refusal is shown
// in the server's words and openings back off, never a tight loop.
TEST_F(SyncEngineTest, IdBeforeSelectAndRefusedOpeningsBackOff) {
  ScriptedPeer peer;
  peer.Say("* OK ready\r\n")
      .Await("login")
      .Say("tag1 OK in\r\n")
      .Await("CAPABILITY")
      .Say("* CAPABILITY IMAP4rev1 ID UIDPLUS\r\ntag1 OK done\r\n")
      .Await("ID (")
      .Say("* ID NIL\r\ntag1 OK done\r\n")
      .Await("select")
      .Say("* 0 EXISTS\r\ntag1 OK done\r\n");
  const std::string refusal = "NO SELECT Unsafe Login. Please contact kefu@188.com for help";
  for (int i = 0; i < 3; ++i) {
    peer.Reconnect()
        .Say("* OK ready\r\n")
        .Await("login")
        .Say("tag1 OK [CAPABILITY IMAP4rev1] in\r\n")
        .Await("select")
        .Say("tag1 " + refusal + "\r\n")
        .Await("create")
        .Say("tag1 NO [ALREADYEXISTS] exists\r\n");
  }
  peer.Start();
  Prepare(peer.Port());
  MailConnection::SetDefaultTimeouts(5000, 5000);
  auto now = std::chrono::steady_clock::now();
  engine_.SetOpenClockForTest([&] { return now; });
  ASSERT_TRUE(engine_.Refresh());
  engine_.Stop();  // the next pass opens a new session

  for (int i = 0; i < 5; ++i) EXPECT_FALSE(engine_.Refresh());
  EXPECT_EQ(engine_.OpenBackoffMs(), 1000);
  EXPECT_EQ(SyncStatus::Instance().Take().last_error, refusal);
  EXPECT_EQ(SyncStatus::Instance().Take().state, SyncStatus::State::kError);
  now += std::chrono::milliseconds(1000);
  EXPECT_FALSE(engine_.Refresh());
  now += std::chrono::milliseconds(2000);
  EXPECT_FALSE(engine_.Refresh());
  EXPECT_EQ(engine_.OpenBackoffMs(), 4000);
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, " login "), 4u);
  size_t id = sent.find("ID (\"name\" \"tandrel\"");
  ASSERT_NE(id, std::string::npos);
  EXPECT_LT(id, sent.find("select"));
  MailConnection::SetDefaultTimeouts(MailConnection::kConnectTimeoutMs,
                                     MailConnection::kIoTimeoutMs);
}

class SyncEngineDovecotTest : public SyncEngineTest {
 protected:
  void SetUp() override {
    TANDREL_START_DOVECOT(server_);
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
    Prepare(server_.ImapPort());
  }
  DovecotServer server_;
};

TEST_F(SyncEngineDovecotTest, FailedFinishStopsTheStepAndTheRepeatedAppendEndsAsOneMessage) {
  AddFile("\\a.txt", "content of a");
  // The store cannot move the part to stat 4 after its append.
  Exec(
      "create trigger no_finish before update of stat on mail when old.stat=1 begin "
      "select raise(abort, 'injected'); end");
  EXPECT_FALSE(engine_.TaskStep());
  EXPECT_EQ(Scalar("select stat from mail"), 1);
  EXPECT_EQ(Scalar("select up_count from task_folder"), 0);  // no index phase ran
  EXPECT_EQ(MailboxSize(), 1u);

  Exec("drop trigger no_finish");
  EXPECT_TRUE(engine_.TaskStep());  // appends the part again, then the index
  EXPECT_EQ(MailboxSize(), 3u);
  engine_.RefreshPass();
  engine_.RefreshPass();
  EXPECT_EQ(Scalar("select count(*) from mail"), 1);
  EXPECT_EQ(Scalar("select stat from mail"), 0);
  EXPECT_EQ(MailboxSize(), 2u);  // one part, one index
  DriveEntry entry;
  EXPECT_TRUE(cache_.GetEntry("\\", "a.txt", entry));
}

TEST_F(SyncEngineDovecotTest, FailedAdoptionOfAnIndexChangesNothingAndIsRetried) {
  AddFile("\\a.txt", "content of a");
  ASSERT_TRUE(engine_.TaskStep());  // the part, then the index that lists it
  engine_.RefreshPass();
  // This machine forgets its tree, as one that never saw that index.
  Exec("delete from ftable");
  Exec("delete from index_tree");
  Exec("update task_folder set mail_id='', file_id=0, up_count=0");
  {
    StoreFault fault("update task_folder set mail_id=?");
    engine_.RefreshPass();
    EXPECT_EQ(Scalar("select count(*) from ftable"), 0);
    EXPECT_EQ(Scalar("select count(*) from task_folder where mail_id='' and file_id=0"), 1);
  }
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\a.txt")), "content of a");
  engine_.RefreshPass();
  EXPECT_EQ(Scalar("select count(*) from ftable where file_name='a.txt'"), 1);
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\a.txt")), "content of a");
}

// A cached copy removed or rewritten behind the drive's back must not hold
// the other files' uploads behind the back-off for ever.
TEST_F(SyncEngineDovecotTest, AGoneCachedCopyDropsItsFileAndTheOthersStillGoUp) {
  AddFile("\\gone.txt", "soon gone");
  AddFile("\\kept.txt", "kept content");
  ASSERT_EQ(::unlink(NativePath(cache_root_ + "\\gone.txt").c_str()), 0);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 0);
  EXPECT_EQ(Scalar("select count(*) from ftable where file_name='gone.txt'"), 0);
  EXPECT_EQ(Scalar("select count(*) from mail where name='gone.txt' and stat<>3"), 0);
  EXPECT_EQ(Scalar("select stat from mail where name='kept.txt' and mail_id<>''"), 0);
  DriveEntry entry;
  EXPECT_FALSE(cache_.GetEntry("\\", "gone.txt", entry));
  EXPECT_TRUE(cache_.GetEntry("\\", "kept.txt", entry));
  EXPECT_EQ(MailboxSize(), 2u);  // kept.txt and the index that lists it alone
}

TEST_F(SyncEngineDovecotTest, ACachedCopyChangedBehindTheDrivesBackIsRecordedAgain) {
  AddFile("\\a.txt", "old");
  WriteFileBytes(NativePath(cache_root_ + "\\a.txt"), "rewritten outside");
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 0);
  EXPECT_EQ(Scalar("select count(*) from mail where stat=0 and mail_id<>''"), 1);
  EXPECT_EQ(Scalar("select total_size from mail where stat=0"), 17);
  DriveEntry entry;
  ASSERT_TRUE(cache_.GetEntry("\\", "a.txt", entry));
  EXPECT_EQ(entry.Size(), 17u);
}

TEST_F(SyncEngineDovecotTest, OwnUploadIsRecognisedAndReplaceSwapsTheContent) {
  AddFile("\\a.txt", "first");
  ASSERT_TRUE(engine_.TaskStep());
  ASSERT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select stat from mail"), 0);
  EXPECT_EQ(Scalar("select mail_id<>'' from task_folder"), 1);  // own index adopted

  WriteFileBytes(NativePath(cache_root_ + "\\a.txt"), "second, longer");
  ASSERT_TRUE(engine_.SyncReplaceFile("\\a.txt"));
  EXPECT_EQ(Scalar("select count(*) from ftable where file_name='a.txt'"), 1);
  // The first content stays as a version, out of the tree.
  EXPECT_EQ(Scalar("select count(*) from mail where stat=3"), 0);
  EXPECT_EQ(Scalar("select count(*) from kept where kind=2"), 1);
  EXPECT_EQ(Scalar("select count(*) from mail where stat=1"), 1);
  EXPECT_EQ(Scalar("select up_count from task_folder"), 1);
  DriveEntry entry;
  ASSERT_TRUE(cache_.GetEntry("\\", "a.txt", entry));
  EXPECT_EQ(entry.Size(), 14u);
  ASSERT_TRUE(engine_.TaskStep());
  ASSERT_TRUE(engine_.Refresh());
  ASSERT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select count(*) from mail"), 2);
  EXPECT_EQ(Scalar("select count(*) from mail where stat=0"), 1);
  EXPECT_EQ(MailboxSize(), 3u);
}

TEST_F(SyncEngineDovecotTest, AnotherFilesMessageUnderTheSameIdIsNeverTakenNorDeleted) {
  AddFile("\\a.txt", "the real content");
  ASSERT_TRUE(engine_.TaskStep());
  ASSERT_TRUE(engine_.Refresh());
  long long file_id = Scalar("select file_id from mail");
  std::string before = std::to_string(Scalar("select mail_id from mail"));

  std::string other = tmp_.Sub("other");
  WriteFileBytes(other, "something else entirely");
  FileRecord impostor;
  impostor.name = "a.txt";
  impostor.kind = RecordKind::kFilePart;
  impostor.from = impostor.to = kUser;
  impostor.cache_path = other;
  impostor.file_id = static_cast<int>(file_id);
  impostor.part = impostor.total_part = 1;
  impostor.size = impostor.total_size = 24;
  impostor.md5 = "0123456789abcdef";
  EmlWriter writer(PartHeaders::ToMessage(impostor, impostor.cache_path));
  int length = 0;
  std::string eml = tmp_.Sub("impostor.eml");
  ASSERT_TRUE(writer.SaveToEml(eml, length));
  {
    ImapClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", account_.port, false));
    ASSERT_TRUE(client.Login(kUser, kPassword));
    ASSERT_TRUE(client.Select("tandrel"));
    ASSERT_TRUE(client.Append("tandrel", eml));
  }
  ASSERT_TRUE(engine_.Refresh());
  ASSERT_TRUE(engine_.Refresh());
  EXPECT_EQ(std::to_string(Scalar("select mail_id from mail")), before);
  EXPECT_EQ(Scalar("select count(*) from mail"), 1);
  EXPECT_EQ(MailboxSize(), 3u);  // the part, the index and the untouched stranger
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\a.txt")), "the real content");
}

TEST_F(SyncEngineDovecotTest, TwoCopiesOfAPartKeepTheSmallerUidOnEveryMachine) {
  // UIDs 1 to 8 are strays, the part comes as 9 and 10: "10" is listed
  // before "9", yet 9 is the copy that stays.
  std::string stray = tmp_.Sub("stray.eml");
  WriteFileBytes(stray, "Subject: hi\r\n\r\nhello\r\n");
  std::string content = tmp_.Sub("content");
  WriteFileBytes(content, "twice");
  FileRecord part;
  part.name = "t.txt";
  part.kind = RecordKind::kFilePart;
  part.from = part.to = kUser;
  part.cache_path = content;
  part.file_id = 4242;
  part.part = part.total_part = 1;
  part.size = part.total_size = 5;
  part.md5 = "same";
  EmlWriter writer(PartHeaders::ToMessage(part, part.cache_path));
  int length = 0;
  std::string eml = tmp_.Sub("part.eml");
  ASSERT_TRUE(writer.SaveToEml(eml, length));
  {
    ImapClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", account_.port, false));
    ASSERT_TRUE(client.Login(kUser, kPassword));
    ASSERT_TRUE(client.Create("tandrel") && client.Select("tandrel"));
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(client.Append("tandrel", stray));
    ASSERT_TRUE(client.Append("tandrel", eml));
    ASSERT_TRUE(client.Append("tandrel", eml));
  }
  ASSERT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select count(*) from mail"), 1);
  EXPECT_EQ(Scalar("select mail_id from mail"), 9);
  EXPECT_EQ(Scalar("select stat from mail"), 2);
  EXPECT_EQ(MailboxSize(), 9u);  // the strays stay, the copy 10 is gone
}

// The task records its own append (at APPENDUID) while a refresh runs: the
// refresh takes the part neither for lost nor for a second copy of itself.
TEST_F(SyncEngineDovecotTest, AnAppendRecordedDuringARefreshIsKept) {
  // The task's append of the file at path, not recorded yet; its UID.
  auto append_unrecorded = [&](const std::string& path) {
    MetaStore store;
    FileRecord part;
    EXPECT_TRUE(store.GetFileInfo(path, part));
    part.from = part.to = kUser;
    EmlWriter writer(PartHeaders::ToMessage(part, NativePath(cache_root_ + path)));
    int length = 0;
    std::string eml = tmp_.Sub("part.eml");
    ImapClient client;
    std::set<std::string> uids;
    EXPECT_TRUE(writer.SaveToEml(eml, length) &&
                client.Connect("127.0.0.1", account_.port, false) &&
                client.Login(kUser, kPassword) && client.Select("tandrel") &&
                client.Append("tandrel", eml) && client.FetchUidList(uids));
    long long top = 0;
    for (const std::string& uid : uids) top = std::max(top, std::stoll(uid));
    return std::to_string(top);
  };
  using Point = SyncEngine::RefreshPoint;
  // Enough parts known that one missing is no mass loss to re-check.
  for (int i = 0; i < 10; ++i) AddFile("\\f" + std::to_string(i), "f");
  ASSERT_TRUE(engine_.TaskStep());
  ASSERT_TRUE(engine_.Refresh());

  // Appended and recorded after the listing, which cannot show it.
  AddFile("\\a.txt", "content of a");
  engine_.SetRefreshHookForTest([&](Point at) {
    if (at == Point::kListed) {
      EXPECT_TRUE(engine_.TaskStep());
    }
  });
  EXPECT_TRUE(engine_.Refresh());

  // Listed, then recorded before the refresh reads its header.
  AddFile("\\b.txt", "content of b");
  std::string b = append_unrecorded("\\b.txt");
  engine_.SetRefreshHookForTest([&](Point at) {
    if (at == Point::kLearning) Exec("update mail set stat=0, mail_id='" + b + "' where stat=1");
  });
  EXPECT_TRUE(engine_.Refresh());

  // Claimed by the refresh before the task's own record arrives.
  engine_.SetRefreshHookForTest(nullptr);
  AddFile("\\c.txt", "content of c");
  std::string c = append_unrecorded("\\c.txt");
  EXPECT_TRUE(engine_.Refresh());
  SyncQueries queries(kUser);
  int c_id = static_cast<int>(Scalar("select file_id from mail where name='c.txt'"));
  bool claimed = false;
  EXPECT_TRUE(queries.FinishUploadAt(c_id, 1, c, claimed) && claimed);
  EXPECT_TRUE(queries.FinishUploadAt(c_id, 1, "999", claimed) && !claimed);

  EXPECT_TRUE(engine_.Refresh());
  EXPECT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select count(*) from mail where stat=0 and mail_id<>''"), 13);

  // After passes that found nothing to do, the records are read after the
  // listing: one recorded in between starts the pass again.
  EXPECT_TRUE(engine_.Refresh());
  std::string mail = tmp_.Sub("mail.eml");
  WriteFileBytes(mail, "From: x@example.com\r\nSubject: hello\r\n\r\nhello\r\n");
  ImapClient other;
  ASSERT_TRUE(other.Connect("127.0.0.1", account_.port, false) && other.Login(kUser, kPassword) &&
              other.Append("tandrel", mail));
  bool once = true;
  engine_.SetRefreshHookForTest([&](Point at) {
    if (at != Point::kListed || !once) return;
    once = false;
    AddFile("\\d.txt", "content of d");
    EXPECT_TRUE(engine_.TaskStep());
  });
  EXPECT_TRUE(engine_.Refresh());
  EXPECT_EQ(Scalar("select count(*) from mail where stat=0 and mail_id<>''"), 14);
  EXPECT_EQ(std::to_string(Scalar("select mail_id from mail where name='b.txt'")), b);
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\a.txt")), "content of a");
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\b.txt")), "content of b");
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\c.txt")), "content of c");
}

TEST_F(SyncEngineDovecotTest, StopNeverWaitsForAPause) {
  AddFile("\\a.txt", "x");
  ASSERT_TRUE(engine_.Start(account_, cache_));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Uploaded: the refresh thread is in its ten-second pause by now or soon.
  while (Scalar("select stat from mail") == 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(Scalar("select stat from mail"), 1);
  auto before = std::chrono::steady_clock::now();
  engine_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_FALSE(engine_.Running());
}

}  // namespace

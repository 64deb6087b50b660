// What the task step does with the answers of real providers: a full
// mailbox, throttling, a size limit, APPENDUID, and deletes the server
// confirms or not. A scripted peer where a real server cannot give the
// answer, Dovecot configured as Gmail for the trash.
#include <gtest/gtest.h>

#include <chrono>

#include "DovecotServer.h"
#include "ScriptedPeer.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/CppSQLite3DB.h"
#include "store/KeptFiles.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "store/StoreStatement.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"
#include "sync/TaskWorker.h"
#include "sync/TransferProgress.h"

namespace {

const char kUser[] = "me@example.com";
const char kPassword[] = "pw";
const char kMessageEnd[] = "--next-part-23b23mb3tsfd1dfasdf--\r\n";

class SyncLimitsTest : public ::testing::Test {
 protected:
  SyncLimitsTest()
      : home_("HOME", tmp_.Sub("home")),
        data_("XDG_DATA_HOME", tmp_.Sub("share")),
        config_("XDG_CONFIG_HOME", tmp_.Sub("config")) {
    SyncStatus::Instance().Reset();
    MailConnection::SetDefaultTimeouts(5000, 5000);
  }
  ~SyncLimitsTest() override {
    MailConnection::SetDefaultTimeouts(MailConnection::kConnectTimeoutMs,
                                       MailConnection::kIoTimeoutMs);
  }

  void Prepare(int port) {
    ASSERT_TRUE(PrepareDataDir(tmp_.Sub("bin") + "/"));
    MetaStore store;
    account_.user = kUser;
    account_.pwd = kPassword;
    account_.down_server = "127.0.0.1";
    account_.port = port;
    ASSERT_TRUE(store.AddAccount(account_));
    ASSERT_TRUE(store.SetCurAccount(kUser));
    // The folder this account opened before: selected as is.
    MailboxQueries mailbox(kUser);
    ASSERT_TRUE(mailbox.Migrate() && mailbox.SetFolder("tandrel"));
    engine_.Attach(account_, cache_);
    engine_.SetClockForTest([this] { return now_; });
    cache_root_ = engine_.CacheRoot();
    ASSERT_FALSE(cache_root_.empty());
  }
  void AddFile(const std::string& path, const std::string& bytes) {
    WriteFileBytes(NativePath(cache_root_ + path), bytes);
    ASSERT_TRUE(engine_.SyncAddFile(path));
  }
  std::string Text(const std::string& sql) {
    CppSQLite3DB db;
    db.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
    db.OpenDb(DataDir() + "/" + kUser + ".db");
    StoreStatement q(db, "select (" + sql + ") as v");
    return q.executeStep() ? q.getText("v") : "";
  }
  void Exec(const std::string& sql) {
    CppSQLite3DB db;
    db.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
    db.OpenDb(DataDir() + "/" + kUser + ".db");
    db.RunStatement(sql);
  }
  void Later(int ms) { now_ += std::chrono::milliseconds(ms); }
  static size_t Count(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
  }

  TempDir tmp_{"limits"};
  ScopedEnv home_;
  ScopedEnv data_;
  ScopedEnv config_;
  AccountRecord account_;
  FolderCache cache_;
  SyncEngine engine_{SyncStatus::Instance(), *TransferProgress::Instance(), DataDir()};
  std::string cache_root_;
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
};

// The session as the engine opens it, on a folder of UIDVALIDITY 7.
void ScriptOpen(ScriptedPeer& peer, const std::string& capabilities) {
  peer.Say("* OK [CAPABILITY IMAP4rev1 " + capabilities + "] ready\r\n")
      .Await("login")
      .Say("tag1 OK [CAPABILITY IMAP4rev1 " + capabilities + "] logged in\r\n")
      .Await("select")
      .Say("* 0 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\ntag1 OK selected\r\n");
}

// The engine's stop logs the session out; answered, the peer ends at once.
void ScriptLogout(ScriptedPeer& peer) {
  peer.Await("logout").Say("* BYE bye\r\ntag1 OK logged out\r\n");
}

void ScriptAppend(ScriptedPeer& peer, const std::string& answer) {
  peer.Await("append").Say("+ go\r\n").Await(kMessageEnd).Say(answer);
}

TEST_F(SyncLimitsTest, FullMailboxWaitsMinutesAndTheNextAppendIsDoneAtOnce) {
  ScriptedPeer peer;
  ScriptOpen(peer, "UIDPLUS");
  ScriptAppend(peer, "tag1 NO [OVERQUOTA] Quota exceeded (mailbox for user is full)\r\n");
  ScriptAppend(peer, "tag1 OK [APPENDUID 7 42] done\r\n");
  ScriptAppend(peer, "tag1 OK [APPENDUID 7 43] done\r\n");  // the folder index
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  AddFile("\\a.txt", "hello");

  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), TaskWorker::kLongFirstBackoffMs);
  EXPECT_EQ(SyncStatus::Instance().Take().state, SyncStatus::State::kQuotaFull);
  EXPECT_EQ(Text("select stat from mail"), "1");
  EXPECT_EQ(ReadFileBytes(NativePath(cache_root_ + "\\a.txt")), "hello");
  Later(TaskWorker::kLongFirstBackoffMs - 1);
  ASSERT_TRUE(engine_.TaskStep());  // still waiting: nothing sent

  Later(1);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 0);
  EXPECT_NE(SyncStatus::Instance().Take().state, SyncStatus::State::kQuotaFull);
  // Done with its UID: no refresh needed to learn it.
  EXPECT_EQ(Text("select stat || ':' || mail_id from mail"), "0:42");
  EXPECT_EQ(Text("select mail_id from task_folder"), "43");
  EXPECT_EQ(Text("select up_count from task_folder"), "0");
  engine_.Stop();
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, " append "), 3u);
  EXPECT_EQ(Count(sent, " login "), 1u);
}

// Small files go up together where the server takes LITERAL+: no answer is
// awaited between them, each answer goes to its own file by its tag, and a
// refusal in the middle waits while the files around it are done.
TEST_F(SyncLimitsTest, PipelinedAppendsKeepEachFilesUidWhenOneInTheMiddleIsRefused) {
  ScriptedPeer peer;
  ScriptOpen(peer, "UIDPLUS LITERAL+");
  peer.Await("up3 APPEND").Await(kMessageEnd);
  peer.Say("up1 OK [APPENDUID 7 5] done\r\nup2 NO [OVERQUOTA] Quota exceeded\r\n"
           "* 2 EXISTS\r\nup3 OK [APPENDUID 7 6] done\r\n");
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  for (const char* name : {"a", "b", "c"}) AddFile("\\" + std::string(name) + ".txt", name);

  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select group_concat(name || '=' || stat || ':' || mail_id, ' ') from "
                 "(select * from mail order by name)"),
            "a.txt=0:5 b.txt=1: c.txt=0:6");
  EXPECT_EQ(engine_.UploadBackoffMs(), TaskWorker::kLongFirstBackoffMs);
  EXPECT_EQ(SyncStatus::Instance().Take().state, SyncStatus::State::kQuotaFull);
  engine_.Stop();
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, " APPEND "), 3u);
  EXPECT_EQ(Count(sent, "+}\r\n"), 3u);
}

void ScriptQuota(ScriptedPeer& peer, int used_kib) {
  peer.Await("GETQUOTAROOT")
      .Say("* QUOTAROOT tandrel \"\"\r\n* QUOTA \"\" (STORAGE " + std::to_string(used_kib) +
           " 40960)\r\ntag1 OK quota\r\n");
}

TEST_F(SyncLimitsTest, TheQuotaAskedOnceAMinuteEndsTheWaitWhenRoomComesBack) {
  ScriptedPeer peer;
  ScriptOpen(peer, "UIDPLUS QUOTA");
  ScriptQuota(peer, 30000);  // as the session opens
  ScriptAppend(peer, "tag1 NO [OVERQUOTA] full\r\n");
  ScriptQuota(peer, 40900);
  ScriptQuota(peer, 40900);  // a minute later: still full
  ScriptAppend(peer, "tag1 NO [OVERQUOTA] full\r\n");
  ScriptQuota(peer, 40900);
  ScriptQuota(peer, 20000);  // another minute: room, long before the back-off ends
  ScriptAppend(peer, "tag1 OK [APPENDUID 7 9] done\r\n");
  ScriptAppend(peer, "tag1 OK [APPENDUID 7 10] done\r\n");
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  AddFile("\\a.txt", "hello");

  ASSERT_TRUE(engine_.TaskStep());
  SyncStatus::Snapshot status = SyncStatus::Instance().Take();
  EXPECT_EQ(status.state, SyncStatus::State::kQuotaFull);
  EXPECT_EQ(status.quota_used, 40900 * 1024);
  EXPECT_EQ(status.quota_limit, 40960 * 1024);
  Later(TaskWorker::kLongFirstBackoffMs);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 2 * TaskWorker::kLongFirstBackoffMs);
  Later(QuotaWatch::kPeriodMs);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select mail_id from mail"), "9");
  EXPECT_EQ(SyncStatus::Instance().Take().quota_used, 20000 * 1024);
  EXPECT_NE(SyncStatus::Instance().Take().state, SyncStatus::State::kQuotaFull);
  engine_.Stop();
  peer.Received();
  EXPECT_TRUE(peer.Ok());
}

TEST_F(SyncLimitsTest, ThrottlingAndAByeNamingALimitWaitMinutesAndShowTheServersText) {
  ScriptedPeer peer;
  ScriptOpen(peer, "");
  ScriptAppend(peer, "tag1 NO [THROTTLED] Too many uploads today\r\n");
  peer.Await("append").Say("+ go\r\n").Await(kMessageEnd);
  peer.Say("* BYE [UNAVAILABLE] Daily upload limit reached\r\n").Reconnect();
  ScriptOpen(peer, "");
  ScriptAppend(peer, "tag1 OK done\r\n");  // no UIDPLUS: the refresh learns the UID
  ScriptAppend(peer, "tag1 OK done\r\n");  // the folder index
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  AddFile("\\a.txt", "hello");

  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), TaskWorker::kLongFirstBackoffMs);
  SyncStatus::Snapshot status = SyncStatus::Instance().Take();
  EXPECT_EQ(status.state, SyncStatus::State::kError);
  EXPECT_NE(status.last_error.find("Too many uploads today"), std::string::npos);

  Later(engine_.UploadBackoffMs());
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 2 * TaskWorker::kLongFirstBackoffMs);
  EXPECT_NE(SyncStatus::Instance().Take().last_error.find("Daily upload limit"), std::string::npos);
  Later(engine_.UploadBackoffMs() - 1);
  ASSERT_TRUE(engine_.TaskStep());  // still waiting: nothing sent
  Later(1);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 0);
  EXPECT_NE(SyncStatus::Instance().Take().state, SyncStatus::State::kError);
  EXPECT_EQ(Text("select stat || ':' || mail_id from mail"), "4:");
  engine_.Stop();
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, " append "), 4u);  // the part three times, then the index
}

TEST_F(SyncLimitsTest, AFileOverTheAppendLimitIsRefusedOnceAndDoesNotHoldTheOthers) {
  ScriptedPeer peer;
  ScriptOpen(peer, "UIDPLUS APPENDLIMIT=3000");
  ScriptAppend(peer, "tag1 OK [APPENDUID 7 5] done\r\n");
  ScriptAppend(peer, "tag1 OK [APPENDUID 7 6] done\r\n");
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  AddFile("\\big.bin", std::string(4000, 'x'));
  AddFile("\\small.txt", "small");

  ASSERT_TRUE(engine_.TaskStep());
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 0);
  EXPECT_EQ(Text("select stat from mail where name='big.bin'"), "1");
  EXPECT_EQ(Text("select mail_id from mail where name='small.txt'"), "5");
  SyncStatus::Snapshot status = SyncStatus::Instance().Take();
  EXPECT_NE(status.last_error.find("big.bin"), std::string::npos) << status.last_error;
  EXPECT_NE(status.last_error.find("APPENDLIMIT"), std::string::npos) << status.last_error;
  engine_.Stop();
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, " append "), 2u);  // small.txt and the index; big.bin never sent
}

TEST_F(SyncLimitsTest, DeletesCountOnlyWhatTheServerConfirmsGone) {
  ScriptedPeer peer;
  ScriptOpen(peer, "UIDPLUS");
  // The refresh before STORE makes UID 7 known; the STORE is refused for a
  // set naming 5, expunged meanwhile; of the rest only 6 is still there.
  peer.Await("noop").Say("* 3 EXISTS\r\ntag1 OK noop\r\n");
  peer.Await("UID STORE 5:7").Say("tag1 BAD Invalid uidset\r\n");
  peer.Await("UID FETCH 5:7 (UID)").Say("* 2 FETCH (UID 6)\r\ntag1 OK fetched\r\n");
  // Retried after the back-off with 6 alone; an odd "EXPUNGED" proves
  // nothing, the fetch after it does.
  peer.Await("noop").Say("tag1 OK noop\r\n");
  peer.Await("UID STORE 6 ").Say("tag1 OK stored\r\n");
  peer.Await("UID EXPUNGE 6").Say("* 1 EXPUNGED\r\ntag1 OK expunged\r\n");
  peer.Await("UID FETCH 6 (UID)").Say("tag1 OK fetched\r\n");
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  for (int uid : {5, 6, 7}) {
    Exec("insert into mail(mail_id,file_id,part,name,size,stat) values('" + std::to_string(uid) +
         "'," + std::to_string(100 + uid) + ",1,'x',1,3)");
  }

  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select group_concat(mail_id) from mail"), "6");
  EXPECT_EQ(engine_.DeleteBackoffMs(), TaskWorker::kFirstBackoffMs);
  ASSERT_TRUE(engine_.TaskStep());  // within the back-off: nothing sent
  Later(TaskWorker::kFirstBackoffMs);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select count(*) from mail"), "0");
  EXPECT_EQ(engine_.DeleteBackoffMs(), 0);
  engine_.Stop();
  std::string sent = peer.Received();
  EXPECT_TRUE(peer.Ok());
  EXPECT_EQ(Count(sent, "UID STORE"), 2u);
}

// A server that answers OK to a STORE it did not apply (the session had not
// been told of the message yet): the message is still there, so the row
// stays and the delete is tried again later, not taken as done.
TEST_F(SyncLimitsTest, AnOkThatChangedNothingLeavesTheRowForALaterTry) {
  ScriptedPeer peer;
  ScriptOpen(peer, "UIDPLUS");
  for (const char* expunged : {"", "* 1 EXPUNGE\r\n"}) {
    peer.Await("noop").Say("tag1 OK noop\r\n");
    peer.Await("UID STORE 8 ").Say("tag1 OK stored\r\n");
    peer.Await("UID EXPUNGE 8").Say(std::string(expunged) + "tag1 OK expunged\r\n");
    peer.Await("UID FETCH 8 (UID)")
        .Say(*expunged ? "tag1 OK fetched\r\n" : "* 1 FETCH (UID 8)\r\ntag1 OK fetched\r\n");
  }
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  Exec("insert into mail(mail_id,file_id,part,name,size,stat) values('8',108,1,'x',1,3)");
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select mail_id from mail"), "8");
  EXPECT_EQ(engine_.DeleteBackoffMs(), TaskWorker::kFirstBackoffMs);
  Later(TaskWorker::kFirstBackoffMs);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select count(*) from mail"), "0");
  engine_.Stop();
  peer.Received();
  EXPECT_TRUE(peer.Ok());
}

// Neither UIDPLUS nor a \Trash folder on a server that says it is Gmail: the
// plain delete, confirmed all the same.
TEST_F(SyncLimitsTest, WithoutUidplusOrATrashTheFolderIsExpungedAndTheRowGoes) {
  ScriptedPeer peer;
  ScriptOpen(peer, "X-GM-EXT-1");
  peer.Await("noop").Say("tag1 OK noop\r\n");
  peer.Await("LIST").Say("* LIST () \"/\" tandrel\r\n* LIST () \"/\" INBOX\r\ntag1 OK list\r\n");
  peer.Await("UID STORE 9 ").Say("tag1 OK stored\r\n");
  peer.Await("tag1 EXPUNGE").Say("* 1 EXPUNGE\r\ntag1 OK expunged\r\n");
  peer.Await("UID FETCH 9 (UID)").Say("tag1 OK fetched\r\n");
  ScriptLogout(peer);
  peer.Start();
  Prepare(peer.Port());
  Exec("insert into mail(mail_id,file_id,part,name,size,stat) values('9',109,1,'x',1,3)");
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select count(*) from mail"), "0");
  engine_.Stop();
  EXPECT_EQ(Count(peer.Received(), "MOVE"), 0u);
  EXPECT_TRUE(peer.Ok());
}

class SyncGmailTest : public SyncLimitsTest {
 protected:
  void SetUp() override {
    DovecotServer::Options options;
    options.gmail = options.id_log = options.mail_log = true;
    server_ = std::make_unique<DovecotServer>(options);
    TANDREL_START_DOVECOT(*server_);
    ASSERT_TRUE(server_->AddUser(kUser, kPassword));
    Prepare(server_->ImapPort());
  }
  std::unique_ptr<DovecotServer> server_;
};

TEST_F(SyncGmailTest, ADeletedFilesMessagesPassThroughTheTrashAndAreExpungedThere) {
  AddFile("\\a.txt", "to be deleted");
  ASSERT_TRUE(engine_.TaskStep());
  std::string uid = Text("select mail_id from mail");
  ASSERT_FALSE(uid.empty());
  // The session's ID reaches the server's log.
  EXPECT_TRUE(server_->LogShows("name=tandrel")) << server_->LogText();

  ASSERT_TRUE(engine_.SyncDeleteFile("\\a.txt"));
  ASSERT_TRUE(KeptFiles(engine_.DataDirectory(), kUser).Ask({KeptFiles::Action::kEmpty, "", 0}));
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(Text("select count(*) from mail"), "0");
  EXPECT_TRUE(server_->LogShows("expunge: box=" + server_->TrashName())) << server_->LogText();
  ImapClient look;
  ASSERT_TRUE(look.Connect("127.0.0.1", server_->ImapPort(), false) &&
              look.Login(kUser, kPassword) && look.Select(server_->TrashName()));
  EXPECT_EQ(look.Exists(), 0u);
}

// The part's row no longer waits when its append returns (its file was
// deleted meanwhile; here the store ignores the update as if so): the
// message named by APPENDUID belongs to nobody and is deleted again.
TEST_F(SyncGmailTest, AMessageWhoseFileWentDuringTheAppendIsDeletedAgain) {
  AddFile("\\a.txt", "short-lived");
  Exec(
      "create trigger gone before update of stat on mail when old.stat=1 begin "
      "delete from mail where file_id=old.file_id; delete from ftable where file_id=old.file_id; "
      "select raise(ignore); end");
  ASSERT_TRUE(engine_.TaskStep());
  ImapClient look;
  ASSERT_TRUE(look.Connect("127.0.0.1", server_->ImapPort(), false) &&
              look.Login(kUser, kPassword) && look.Select("tandrel"));
  EXPECT_EQ(look.Exists(), 0u);
  EXPECT_EQ(Text("select up_count from task_folder"), "0");
}

}  // namespace

// Large parts go over several connections at once. This server lets two
// open per user: the upload session and one lane take every part, each part
// keeps the UID of its own message, and the refused lane costs no wait.
class SyncLanesTest : public SyncLimitsTest {
 protected:
  void SetUp() override {
    DovecotServer::Options options;
    options.max_user_connections = 2;
    server_ = std::make_unique<DovecotServer>(options);
    TANDREL_START_DOVECOT(*server_);
    ASSERT_TRUE(server_->AddUser(kUser, kPassword));
    Prepare(server_->ImapPort());
  }
  std::unique_ptr<DovecotServer> server_;
};

TEST_F(SyncLanesTest, LargePartsGoOverTheConnectionsAllowedEachWithItsOwnUid) {
  std::string bytes(45'000'000, '\0');  // five parts
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 / 4096);
  AddFile("\\big.bin", bytes);
  ASSERT_TRUE(engine_.TaskStep());
  EXPECT_EQ(engine_.UploadBackoffMs(), 0);
  EXPECT_EQ(Text("select group_concat(stat, '') from mail"), "00000");
  EXPECT_GE(Count(server_->LogText(), "Login: user=<me@example.com>"), 2u);

  ImapClient look;
  ASSERT_TRUE(look.Connect("127.0.0.1", server_->ImapPort(), false) &&
              look.Login(kUser, kPassword) && look.Select("tandrel"));
  std::string parts = Text("select group_concat(part || '=' || mail_id, ' ') from mail");
  for (int part = 1; part <= 5; ++part) {
    std::string mail_id =
        Text("select mail_id from mail where part=" + std::to_string(part));
    std::string header;
    ASSERT_TRUE(look.GetHeader(mail_id, header)) << parts;
    MailParser parser;
    parser.Parse(header);
    EXPECT_EQ(parser.info.part, part) << parts;
  }
  engine_.Stop();
}

// The session against real servers: Dovecot in two layouts and Cyrus IMAP,
// and Dovecot configured with a provider's habits.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "CyrusServer.h"
#include "DovecotServer.h"
#include "TempDir.h"
#include "TestMessageFile.h"
#include "mail/ImapClient.h"

namespace {

const std::string kUser = "alice@example.com";
const std::string kPassword = "pw one";

enum class Layout { kDovecot, kDovecotInbox, kCyrus };

std::string HeaderOf(const std::string& message) {
  return message.substr(0, message.find("\r\n\r\n") + 4);
}

// Every message's flags as the server reports them, read on the raw line.
std::string FlagsOf(ImapClient& client) {
  std::string all, line;
  if (!client.Send("tag1 UID FETCH 1:* (FLAGS)\r\n")) return "send failed";
  while (client.ReadLine(line) > 0 && line.rfind("tag1 ", 0) != 0) all += line;
  return all;
}

class ImapServersTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    MailConnection::SetDefaultTimeouts(5000, 20000);
    if (GetParam() == Layout::kCyrus) {
      ASSERT_TRUE(cyrus_.AddUser(kUser, kPassword));
      TANDREL_START_CYRUS(cyrus_);
      port_ = cyrus_.ImapPort();
      return;
    }
    DovecotServer::Options options;
    options.inbox_namespace = GetParam() == Layout::kDovecotInbox;
    dovecot_ = std::make_unique<DovecotServer>(options);
    ASSERT_TRUE(dovecot_->AddUser(kUser, kPassword));
    TANDREL_START_DOVECOT(*dovecot_);
    port_ = dovecot_->ImapPort();
  }
  std::string Expected() const {
    switch (GetParam()) {
      case Layout::kDovecot:
        return "tandrel";
      case Layout::kDovecotInbox:
        return "INBOX.tandrel";
      default:
        return "INBOX/tandrel";
    }
  }
  bool Open(ImapClient& client, std::string& folder) {
    return client.Connect("127.0.0.1", port_, false) && client.Login(kUser, kPassword) &&
           client.EnsureCapabilities() && client.OpenFolder(folder);
  }
  uint32_t AppendFile(ImapClient& client, const std::string& folder, size_t size, unsigned seed) {
    std::string path = dir_.Sub("m" + std::to_string(seed) + ".eml");
    EXPECT_TRUE(WriteTestMessage(path, size, seed));
    files_[seed] = ReadFileBytes(path);
    ImapClient::AppendOutcome outcome;
    MailResult result = client.AppendMessage(folder, path, outcome);
    EXPECT_TRUE(result.ok()) << result.text();
    EXPECT_EQ(outcome.uidvalidity, client.UidValidity());
    return outcome.uid;
  }

  CyrusServer cyrus_;
  std::unique_ptr<DovecotServer> dovecot_;
  int port_ = 0;
  TempDir dir_{"eml"};
  std::map<unsigned, std::string> files_;
};

TEST_P(ImapServersTest, FolderIsResolvedCreatedAndFoundAgain) {
  ImapClient first, second;
  std::string folder, again;
  ASSERT_TRUE(Open(first, folder)) << first.LastServerText();
  EXPECT_EQ(folder, Expected());
  EXPECT_TRUE(first.HasCapability("UIDPLUS"));
  EXPECT_NE(first.UidValidity(), 0u);
  ImapClient::FolderChoice choice = ImapClient::FolderChoice::kToCreate;
  ASSERT_TRUE(second.Connect("127.0.0.1", port_, false) && second.Login(kUser, kPassword) &&
              second.EnsureCapabilities());
  ASSERT_TRUE(second.ResolveFolder(again, choice));
  EXPECT_EQ(again, folder);
  EXPECT_EQ(choice, ImapClient::FolderChoice::kExisting);
  // An empty folder is listed as such.
  ImapClient::UidListing listing;
  ASSERT_TRUE(first.ListUids(listing));
  EXPECT_TRUE(listing.uids.empty());
  EXPECT_TRUE(listing.complete);
}

TEST_P(ImapServersTest, AppendReadAndDeleteConfirmed) {
  ImapClient a, b;
  std::string folder;
  ASSERT_TRUE(Open(a, folder));
  ASSERT_TRUE(Open(b, folder));
  uint32_t u1 = AppendFile(a, folder, 200000, 1), u2 = AppendFile(a, folder, 1000, 2);
  uint32_t u3 = AppendFile(b, folder, 5000, 3);
  ASSERT_TRUE(u1 > 0 && u2 > 0 && u3 > 0);  // APPENDUID on both servers

  ASSERT_TRUE(a.Noop());
  ImapClient::UidListing listing;
  ASSERT_TRUE(a.ListUids(listing));
  EXPECT_EQ(listing.uids, (std::vector<uint32_t>{u1, u2, u3}));
  EXPECT_TRUE(listing.complete);
  std::map<uint32_t, std::string> headers;
  ASSERT_TRUE(a.FetchHeaders({u1, u2, u3, u3 + 100}, headers, 2));
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[u1], HeaderOf(files_[1]));
  EXPECT_EQ(headers[u3], HeaderOf(files_[3]));
  std::map<uint32_t, std::string> infos;
  ASSERT_TRUE(a.FetchHeaders({u1, u2}, infos, ImapClient::kHeaderBatch, "X-tdr-info"));
  EXPECT_EQ(infos[u2], "X-tdr-info: test\r\n\r\n");
  std::string message;
  ASSERT_TRUE(a.FetchMessage({std::to_string(u1)}, message));
  EXPECT_TRUE(message == files_[1]);
  std::string header;
  ASSERT_TRUE(a.GetHeader(std::to_string(u2), header));
  EXPECT_EQ(header, HeaderOf(files_[2]));
  // Reading changed nothing.
  EXPECT_EQ(FlagsOf(a).find("\\Seen"), std::string::npos) << FlagsOf(a);

  // A message this session was never told of is deleted all the same.
  uint32_t u4 = AppendFile(b, folder, 1000, 4);
  ImapClient::DeleteOutcome outcome;
  MailResult deleted = a.DeleteMessages({u4, u1}, outcome);
  EXPECT_TRUE(deleted.ok() && outcome.remaining.empty()) << deleted.text();
  EXPECT_EQ(outcome.method, ImapClient::DeleteMethod::kUidExpunge);
  EXPECT_TRUE(a.DeleteMessages({u1}, outcome).ok() && outcome.remaining.empty());
  ASSERT_TRUE(b.Noop());
  ASSERT_TRUE(b.ListUids(listing));
  EXPECT_EQ(listing.uids, (std::vector<uint32_t>{u2, u3}));
  EXPECT_TRUE(listing.complete);
}

INSTANTIATE_TEST_SUITE_P(Servers, ImapServersTest,
                         ::testing::Values(Layout::kDovecot, Layout::kDovecotInbox, Layout::kCyrus),
                         [](const auto& info) {
                           switch (info.param) {
                             case Layout::kDovecot:
                               return "Dovecot";
                             case Layout::kDovecotInbox:
                               return "DovecotInbox";
                             default:
                               return "Cyrus";
                           }
                         });

// Dovecot configured as a provider: quota, ID log, Gmail's trash, mail_log.
class ImapProviderTest : public ::testing::Test {
 protected:
  void Start(DovecotServer::Options options) {
    MailConnection::SetDefaultTimeouts(5000, 20000);
    server_ = std::make_unique<DovecotServer>(options);
    ASSERT_TRUE(server_->AddUser(kUser, kPassword));
    TANDREL_START_DOVECOT(*server_);
    ASSERT_TRUE(client_.Connect("127.0.0.1", server_->ImapPort(), false));
    ASSERT_TRUE(client_.Login(kUser, kPassword));
    ASSERT_TRUE(client_.EnsureCapabilities());
    ASSERT_TRUE(client_.OpenFolder(folder_));
  }
  std::string Eml(size_t size, unsigned seed) {
    std::string path = dir_.Sub("m" + std::to_string(seed) + ".eml");
    EXPECT_TRUE(WriteTestMessage(path, size, seed));
    return path;
  }

  std::unique_ptr<DovecotServer> server_;
  ImapClient client_;
  std::string folder_;
  TempDir dir_{"eml"};
};

TEST_F(ImapProviderTest, QuotaIsReportedAndAFullMailboxSaysSo) {
  DovecotServer::Options options;
  options.quota_kib = 1024;
  Start(options);
  ImapParser::Quota quota;
  ASSERT_TRUE(client_.GetQuota(folder_, quota));
  ASSERT_TRUE(quota.has_storage);
  EXPECT_EQ(quota.limit_bytes, 1024u * 1024);
  std::string part = Eml(300000, 1);
  ImapClient::AppendOutcome outcome;
  MailResult result;
  for (int i = 0; i < 6 && result.ok(); ++i) result = client_.AppendMessage(folder_, part, outcome);
  EXPECT_TRUE(result.OverQuota());
  EXPECT_NE(result.text().find("OVERQUOTA"), std::string::npos) << result.text();
  EXPECT_TRUE(client_.IsConnected());
  ASSERT_TRUE(client_.GetQuota(folder_, quota));
  EXPECT_GT(quota.used_bytes, 600000u);
  EXPECT_LE(quota.used_bytes, quota.limit_bytes);
}

TEST_F(ImapProviderTest, GmailDeleteEmptiesItsTrashAndIdIsLogged) {
  DovecotServer::Options options;
  options.gmail = options.id_log = options.mail_log = true;
  Start(options);
  EXPECT_TRUE(server_->LogShows("name=tandrel")) << server_->LogText();
  ImapClient::AppendOutcome appended;
  ASSERT_TRUE(client_.AppendMessage(folder_, Eml(1000, 1), appended).ok());
  ImapClient::DeleteOutcome outcome;
  MailResult deleted = client_.DeleteMessages({appended.uid}, outcome);
  EXPECT_TRUE(deleted.ok() && outcome.remaining.empty()) << deleted.text();
  EXPECT_EQ(outcome.method, ImapClient::DeleteMethod::kTrashMove);
  EXPECT_TRUE(outcome.trash_expunged);
  EXPECT_EQ(client_.SelectedFolder(), folder_);
  EXPECT_TRUE(server_->LogShows("expunge: box=" + server_->TrashName())) << server_->LogText();
  ImapClient look;
  ASSERT_TRUE(look.Connect("127.0.0.1", server_->ImapPort(), false) &&
              look.Login(kUser, kPassword) && look.Select(server_->TrashName()));
  EXPECT_EQ(look.Exists(), 0u);
}

TEST_F(ImapProviderTest, IdleSeesAnotherSessionsAppendAndEndsForTheNextCommand) {
  Start({});
  ASSERT_TRUE(client_.HasCapability("IDLE"));
  ASSERT_TRUE(client_.IdleStart());
  ImapClient other;
  std::string folder;
  ASSERT_TRUE(other.Connect("127.0.0.1", server_->ImapPort(), false) &&
              other.Login(kUser, kPassword) && other.Select(folder_));
  ImapClient::AppendOutcome appended;
  ASSERT_TRUE(other.AppendMessage(folder_, Eml(1000, 1), appended).ok());
  ImapClient::IdleEvent event = ImapClient::IdleEvent::kTimeout;
  for (int i = 0; i < 20 && event == ImapClient::IdleEvent::kTimeout; ++i)
    event = client_.IdleWait(1000, -1);
  EXPECT_EQ(event, ImapClient::IdleEvent::kChanged);
  EXPECT_TRUE(client_.TakeChanges().exists);
  ImapClient::UidListing listing;
  ASSERT_TRUE(client_.ListUids(listing));  // DONE first, by itself
  EXPECT_EQ(listing.uids, std::vector<uint32_t>{appended.uid});
  EXPECT_TRUE(listing.complete);
}

TEST_F(ImapProviderTest, IdleOverTlsEndsWhenTheServerGoesAndTheSessionReopens) {
  Start({});
  ScopedEnv trust("SSL_CERT_FILE", server_->CaFile());
  ImapClient idler;
  auto open = [&] {
    return idler.Connect("localhost", server_->ImapsPort(), true) &&
           idler.Login(kUser, kPassword) && idler.Select(folder_);
  };
  ASSERT_TRUE(open());
  ASSERT_TRUE(idler.IdleStart());
  ImapClient::AppendOutcome appended;
  ASSERT_TRUE(client_.AppendMessage(folder_, Eml(1000, 1), appended).ok());
  ImapClient::IdleEvent event = ImapClient::IdleEvent::kTimeout;
  for (int i = 0; i < 20 && event == ImapClient::IdleEvent::kTimeout; ++i)
    event = idler.IdleWait(1000, -1);
  EXPECT_EQ(event, ImapClient::IdleEvent::kChanged);
  // The server goes away under the idling session: said at once, not after
  // a time-out, and the session opens again once the server is back.
  ASSERT_TRUE(idler.IdleStart());
  ASSERT_TRUE(server_->Restart()) << server_->Error();
  event = ImapClient::IdleEvent::kTimeout;
  for (int i = 0; i < 20 && event == ImapClient::IdleEvent::kTimeout; ++i)
    event = idler.IdleWait(1000, -1);
  EXPECT_EQ(event, ImapClient::IdleEvent::kConnectionLost);
  EXPECT_FALSE(idler.Idling());
  ASSERT_TRUE(open());
  EXPECT_EQ(idler.Exists(), 1u);
}

}  // namespace

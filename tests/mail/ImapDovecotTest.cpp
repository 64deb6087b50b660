#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <set>
#include <string>

#include "DovecotServer.h"
#include "TempDir.h"
#include "TestMessageFile.h"
#include "mail/ImapClient.h"

namespace {

const std::string kUser = "alice@example.com";
const std::string kPassword = "right one";
const std::string kOddPassword = "sp ace\"quote\\back{1}";
const std::string kProviderUser = "bob@sohu.com";

class DovecotCase {
 protected:
  void StartServer() {
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
    ASSERT_TRUE(server_.AddUser("carol@example.com", kOddPassword));
    ASSERT_TRUE(server_.AddUser(kProviderUser, "pw"));
    ::unsetenv("TANDREL_TLS_INSECURE");
    MailConnection::SetDefaultTimeouts(5000, 10000);
    TANDREL_START_DOVECOT(server_);
    trust_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", server_.CaFile());
  }

  DovecotServer server_;
  std::unique_ptr<ScopedEnv> trust_;
};

// Every case runs on the plain port and on the TLS port.
class ImapDovecotTest : public ::testing::TestWithParam<bool>, protected DovecotCase {
 protected:
  void SetUp() override { StartServer(); }
  int Port() const { return GetParam() ? server_.ImapsPort() : server_.ImapPort(); }
  bool Open(ImapClient& client, const std::string& user = kUser,
            const std::string& password = kPassword) {
    return client.Connect("localhost", Port(), GetParam()) && client.Login(user, password);
  }
  static std::string HeaderOf(const std::string& message) {
    return message.substr(0, message.find("\r\n\r\n") + 4);
  }
};

TEST_P(ImapDovecotTest, LoginWithRightAndWrongPassword) {
  ImapClient right, wrong, odd;
  EXPECT_TRUE(Open(right));
  EXPECT_FALSE(Open(wrong, kUser, "wrong one"));
  EXPECT_TRUE(Open(odd, "carol@example.com", kOddPassword));
}

TEST_P(ImapDovecotTest, MessagesTravelThereAndBackByteForByte) {
  TempDir dir("eml");
  std::string eml = dir.Sub("part.eml"), empty = dir.Sub("empty.eml");
  ASSERT_TRUE(WriteTestMessage(eml, 10u << 20));
  WriteFileBytes(empty, "");
  std::string sent = ReadFileBytes(eml);

  ImapClient client;
  ASSERT_TRUE(Open(client));
  EXPECT_FALSE(client.Select("tandrel"));
  ASSERT_TRUE(client.Create("tandrel"));
  ASSERT_TRUE(client.Select("tandrel"));
  EXPECT_TRUE(client.Append("tandrel", eml));
  EXPECT_FALSE(client.Append("tandrel", empty));
  ASSERT_TRUE(client.IsConnected());

  std::set<std::string> uids;
  ASSERT_TRUE(client.FetchUidList(uids));
  ASSERT_EQ(uids.size(), 1u);
  std::string header, message;
  EXPECT_TRUE(client.GetHeader(*uids.begin(), header));
  EXPECT_EQ(header, HeaderOf(sent));
  EXPECT_TRUE(client.FetchMessage(uids, message));
  EXPECT_EQ(message.size(), sent.size());
  EXPECT_TRUE(message == sent);

  EXPECT_TRUE(client.Delete(uids));
  std::set<std::string> after;
  client.FetchUidList(after);
  EXPECT_TRUE(after.empty());
  std::string gone;
  EXPECT_TRUE(client.FetchMessage(uids, gone));
  EXPECT_EQ(gone, "");
}

TEST_P(ImapDovecotTest, FolderNameWithBlankIsQuoted) {
  ImapClient client;
  ASSERT_TRUE(Open(client));
  EXPECT_TRUE(client.Create("my files"));
  EXPECT_TRUE(client.Select("my files"));
  EXPECT_FALSE(client.Select("no such"));
  EXPECT_TRUE(client.IsConnected());
}

TEST_P(ImapDovecotTest, ProviderHeaderFetchReopensTheSession) {
  TempDir dir("eml");
  std::string eml = dir.Sub("part.eml");
  ASSERT_TRUE(WriteTestMessage(eml, 300000));
  ImapClient client;
  ASSERT_TRUE(Open(client, kProviderUser, "pw"));
  ASSERT_TRUE(client.Create("tandrel"));
  ASSERT_TRUE(client.Select("tandrel"));
  ASSERT_TRUE(client.Append("tandrel", eml));
  std::set<std::string> uids;
  ASSERT_TRUE(client.FetchUidList(uids));
  ASSERT_EQ(uids.size(), 1u);
  std::string header;
  EXPECT_TRUE(client.GetHeader(*uids.begin(), header));
  EXPECT_EQ(header, HeaderOf(ReadFileBytes(eml)));
  // Connected, logged in and "tandrel" selected again.
  EXPECT_TRUE(client.IsConnected());
  std::set<std::string> again;
  EXPECT_TRUE(client.FetchUidList(again));
  EXPECT_EQ(again, uids);
}

TEST_P(ImapDovecotTest, ClosedByServerMakesOperationsFailWithoutSignal) {
  ImapClient client;
  ASSERT_TRUE(Open(client));
  // The server ends the session and closes its side.
  ASSERT_TRUE(client.Send("tag1 logout\r\n"));
  std::string line;
  while (client.ReadLine(line) > 0 && line.rfind("tag1 ", 0) != 0) {
  }
  // Writes to the closed socket meet a reset; the process must not get SIGPIPE.
  std::string block(1 << 20, 'x');
  bool sent = true;
  for (int i = 0; i < 64 && sent; ++i) sent = client.Send(block);
  EXPECT_FALSE(sent);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(client.Select("INBOX"));
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ImapDovecotTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

class TlsVerificationTest : public ::testing::Test, protected DovecotCase {
 protected:
  void SetUp() override { StartServer(); }
  bool LogsIn(const std::string& host) {
    ImapClient client;
    return client.Connect(host, server_.ImapsPort(), true) && client.Login(kUser, kPassword);
  }
};

TEST_F(TlsVerificationTest, TestCaAndHostNameAreChecked) {
  EXPECT_TRUE(LogsIn("localhost"));
  // The certificate names localhost only.
  EXPECT_FALSE(LogsIn("127.0.0.1"));
  ScopedEnv insecure("TANDREL_TLS_INSECURE", "1");
  EXPECT_TRUE(LogsIn("127.0.0.1"));
}

TEST_F(TlsVerificationTest, UntrustedCertificateFailsUnlessInsecure) {
  TempDir dir("trust");
  WriteFileBytes(dir.Sub("none.pem"), "");
  ::mkdir(dir.Sub("certs").c_str(), 0755);
  ScopedEnv file("SSL_CERT_FILE", dir.Sub("none.pem"));
  ScopedEnv certs("SSL_CERT_DIR", dir.Sub("certs"));
  ImapClient client;
  EXPECT_FALSE(client.Connect("localhost", server_.ImapsPort(), true));
  EXPECT_FALSE(client.Login(kUser, kPassword));
  ScopedEnv insecure("TANDREL_TLS_INSECURE", "1");
  EXPECT_TRUE(LogsIn("localhost"));
}

}  // namespace

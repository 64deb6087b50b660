// Mounts signed in by OAuth, end to end: tandrel-cli against a Dovecot whose
// oauth2 passdb asks a private token server, with a real Secret Service
// (run by with_keyring.sh). The browser is curl, following the
// authorization URL back to the loopback redirect as a browser would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "LoopbackProxy.h"
#include "TempDir.h"
#include "TokenServer.h"
#include "mail/ImapClient.h"
#include "platform/FileHelpers.h"
#include "platform/HttpClient.h"

namespace {

constexpr const char* kUser = "oauth@example.org";
constexpr const char* kPassword = "reader-password";
constexpr int kLifetimeS = 5;
constexpr const char* kBrowser = "/usr/bin/curl -s -L -o /dev/null --max-time 30";

template <typename Condition>
bool Eventually(Condition condition, int timeout_ms = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class OAuthMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run through with_keyring.sh";
    ASSERT_TRUE(tokens_.Start(kLifetimeS)) << tokens_.Error();
    DovecotServer::Options options;
    options.oauth2_url = tokens_.IntrospectionUrl();
    server_ = std::make_unique<DovecotServer>(options);
    ASSERT_TRUE(server_->AddUser(kUser, kPassword));
    TANDREL_START_DOVECOT(*server_);
    proxy_ = std::make_unique<LoopbackProxy>(server_->ImapPort());
    ASSERT_TRUE(proxy_->Start());
    config_ = dir_.Sub("provider.json");
    WriteFileBytes(config_, tokens_.Provider().ToJson());
  }

  std::vector<std::string> MountArgs(bool device) const {
    std::vector<std::string> args{"--user",         kUser,    "--server",
                                  "127.0.0.1",      "--port", std::to_string(proxy_->Port()),
                                  "--oauth-config", config_};
    if (device) args.push_back("--oauth-device");
    return args;
  }

  // The messages of the drive's folder, as a password reader sees them.
  uint32_t Messages() {
    ImapClient reader;
    if (!reader.Connect("127.0.0.1", server_->ImapPort(), false) ||
        !reader.Login(kUser, kPassword) || !reader.Select(ImapClient::kFolder))
      return 0;
    return reader.Exists();
  }

  // Writes name on the drive and waits until its messages are up.
  bool WriteAndUpload(CliMachine& machine, const std::string& name) {
    uint32_t before = Messages();
    WriteFileBytes(machine.MountPoint() + "/" + name, "content of " + name);
    return Eventually([&] { return Messages() > before; }, 60000);
  }

  // Every session signs in afresh: the proxy ends the ones open.
  void Reconnect() {
    proxy_->Cut();
    proxy_->Restore();
  }

  TempDir dir_{"oauth-mount"};
  TokenServer tokens_;
  std::unique_ptr<DovecotServer> server_;
  std::unique_ptr<LoopbackProxy> proxy_;
  std::string config_;
};

TEST_F(OAuthMountTest, TheCodeFlowMountOutlivesItsTokensAndARevokedGrantWaitsForANewSignIn) {
  ScopedEnv browser("TANDREL_BROWSER", kBrowser);
  CliMachine a(dir_.Sub("a"), kUser, "", proxy_->Port());
  a.SetPasswordInEnv(false);
  a.SetMountArgs(MountArgs(false));
  ASSERT_TRUE(a.Mount()) << a.Output();
  EXPECT_NE(a.Output().find("To sign in, open this address"), std::string::npos) << a.Output();
  const std::string refresh = SecretTool(kUser, "oauth on 127.0.0.1");
  EXPECT_EQ(refresh.rfind("rt-", 0), 0u) << "the refresh token is in the keyring";
  EXPECT_EQ(Shell("grep -rqs " + Quote(refresh) + " " + Quote(a.Root())), 1)
      << "and nowhere in the database or the log";

  // Each round outlives the access token, then every session signs in again.
  for (int round = 0; round < 3; ++round) {
    const std::time_t expired = std::time(nullptr) + kLifetimeS + 1;
    ASSERT_TRUE(Eventually([&] { return std::time(nullptr) >= expired; }, 10000));
    Reconnect();
    ASSERT_TRUE(WriteAndUpload(a, "round" + std::to_string(round) + ".txt")) << a.Output();
  }
  EXPECT_NE(
      ReadFileBytes(a.Root() + "/share/tandrel/log/tandrel.log").find("access token refreshed"),
      std::string::npos);

  // The provider revokes the grant: nothing goes up, nothing is lost, and
  // the status asks for a new sign-in, which the running mount picks up.
  tokens_.RevokeAll();
  Reconnect();
  uint32_t before = Messages();
  WriteFileBytes(a.MountPoint() + "/pending.txt", "written while signed out");
  std::string status;
  ASSERT_TRUE(a.CliShows("status", "error: sign in again", status)) << status;
  EXPECT_EQ(Messages(), before);
  EXPECT_EQ(ReadFileBytes(a.MountPoint() + "/round0.txt"), "content of round0.txt");
  std::string signin;
  ASSERT_EQ(a.Cli("signin", signin), 0) << signin;
  ASSERT_TRUE(Eventually([&] { return Messages() > before; }, 60000)) << a.Output();
  EXPECT_NE(SecretTool(kUser, "oauth on 127.0.0.1"), refresh);

  CliMachine b(dir_.Sub("b"), kUser, kPassword, server_->ImapPort());
  ASSERT_TRUE(b.Mount()) << b.Output();
  EXPECT_TRUE(Eventually([&] {
    return ReadFileBytes(b.MountPoint() + "/pending.txt") == "written while signed out";
  })) << b.Output();
  EXPECT_EQ(b.Terminate(), 0);
  EXPECT_EQ(a.Terminate(), 0) << a.Output();
}

TEST_F(OAuthMountTest, TheDeviceFlowSignsInAndTheNextMountNeedsNoBrowser) {
  std::atomic<bool> mounted{false};
  // The user, on another device, approves the code the mount printed.
  std::thread user([&] {
    const std::string approve =
        "http://127.0.0.1:" + std::to_string(tokens_.Port()) + "/approve?user=" + kUser;
    Eventually([&] { return mounted || HttpClient::Get(approve).status != 200; }, 30000);
  });
  CliMachine a(dir_.Sub("a"), kUser, "", proxy_->Port());
  a.SetPasswordInEnv(false);
  a.SetMountArgs(MountArgs(true));
  bool ok = a.Mount(30000);
  mounted = true;
  user.join();
  ASSERT_TRUE(ok) << a.Output();
  EXPECT_NE(a.Output().find("and enter the code"), std::string::npos) << a.Output();
  ASSERT_TRUE(WriteAndUpload(a, "by-device.txt")) << a.Output();
  ASSERT_EQ(a.Terminate(), 0) << a.Output();

  a.SetMountArgs({});
  const size_t first = a.Output().size();
  ASSERT_TRUE(a.Mount()) << a.Output();
  EXPECT_EQ(a.Output().find("To sign in", first), std::string::npos) << a.Output();
  ASSERT_TRUE(WriteAndUpload(a, "again.txt")) << a.Output();
  EXPECT_EQ(a.Terminate(), 0) << a.Output();
}

}  // namespace

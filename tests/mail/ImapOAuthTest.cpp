// Signing in with OAuth 2.0 against a real Dovecot whose oauth2 passdb asks
// a private token server (token introspection): each mechanism the server
// offers, an expired or revoked token refused in the server's own words, a
// server that takes no tokens at all, and the grants that get the tokens.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DovecotServer.h"
#include "TokenServer.h"
#include "mail/AccessTokens.h"
#include "mail/ImapClient.h"
#include "mail/OAuthClient.h"
#include "platform/HttpClient.h"

namespace {

const std::string kUser = "oauth@example.com";

struct Mechanisms {
  const char* offered;  // Dovecot's auth_mechanisms beside plain and login
  ImapClient::BearerMechanism used;
};

class ImapOAuthTest : public ::testing::TestWithParam<Mechanisms> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tokens_.Start()) << tokens_.Error();
    DovecotServer::Options options;
    options.oauth2_url = tokens_.IntrospectionUrl();
    options.oauth2_mechanisms = GetParam().offered;
    server_ = std::make_unique<DovecotServer>(options);
    ASSERT_TRUE(server_->AddUser(kUser, "a password nobody uses"));
    TANDREL_START_DOVECOT(*server_);
  }
  MailResult SignIn(ImapClient& client, const std::string& token) {
    if (!client.Connect("127.0.0.1", server_->ImapPort(), false))
      return MailResult::ConnectionLost("connect");
    return client.AuthenticateBearer(kUser, token);
  }

  TokenServer tokens_;
  std::unique_ptr<DovecotServer> server_;
};

TEST_P(ImapOAuthTest, ATokenSignsInAndAnExpiredOrRevokedOneIsRefusedInTheServersWords) {
  ImapClient client;
  MailResult signed_in = SignIn(client, tokens_.Grant(kUser, 60));
  ASSERT_TRUE(signed_in.ok()) << signed_in.text() << "\n"
                              << server_->LogText() << tokens_.LogText();
  EXPECT_EQ(client.BearerUsed(), GetParam().used);
  EXPECT_TRUE(client.Create(ImapClient::kFolder));
  EXPECT_TRUE(client.Select(ImapClient::kFolder));
  client.Logout();

  for (const std::string& token : {tokens_.Grant(kUser, -5), std::string("never-granted")}) {
    ImapClient refused;
    MailResult result = SignIn(refused, token);
    EXPECT_TRUE(result.Refused()) << result.text();
    EXPECT_NE(result.text().find("AUTHENTICATIONFAILED"), std::string::npos) << result.text();
    EXPECT_NE(result.text().find("\"status\""), std::string::npos) << result.text();
    EXPECT_TRUE(refused.IsConnected()) << "a refusal leaves the session usable";
  }
  std::string live = tokens_.Grant(kUser, 60);
  tokens_.RevokeAll();
  ImapClient revoked;
  EXPECT_TRUE(SignIn(revoked, live).Refused());
}

INSTANTIATE_TEST_SUITE_P(
    Mechanisms, ImapOAuthTest,
    ::testing::Values(Mechanisms{"xoauth2 oauthbearer", ImapClient::BearerMechanism::kOauthBearer},
                      Mechanisms{"xoauth2", ImapClient::BearerMechanism::kXoauth2}),
    [](const auto& info) {
      return info.param.used == ImapClient::BearerMechanism::kXoauth2 ? std::string("Xoauth2")
                                                                      : std::string("OauthBearer");
    });

// A server that takes no token says nothing of it: the client tells why.
TEST(ImapOAuthPlainServerTest, AServerWithoutTheMechanismsIsToldApart) {
  DovecotServer server;
  ASSERT_TRUE(server.AddUser(kUser, "pw"));
  TANDREL_START_DOVECOT(server);
  ImapClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.ImapPort(), false));
  MailResult result = client.AuthenticateBearer(kUser, "any");
  EXPECT_EQ(result.status(), MailResult::Status::kLocalError);
  EXPECT_NE(result.text().find("neither OAUTHBEARER nor XOAUTH2"), std::string::npos);
}

// The token endpoint's grants against the same server: the code flow with
// PKCE (the test follows the authorization URL as a browser would), the
// refresh, the device grant, and a revocation that asks for a new sign-in.
TEST(OAuthClientTest, CodeRefreshAndDeviceGrantsGiveTokensThatSignIn) {
  TokenServer tokens;
  ASSERT_TRUE(tokens.Start()) << tokens.Error();
  DovecotServer::Options options;
  options.oauth2_url = tokens.IntrospectionUrl();
  DovecotServer server(options);
  ASSERT_TRUE(server.AddUser(kUser, "unused"));
  TANDREL_START_DOVECOT(server);
  auto signs_in = [&](const std::string& token) {
    ImapClient client;
    return client.Connect("127.0.0.1", server.ImapPort(), false) &&
           client.AuthenticateBearer(kUser, token).ok();
  };
  const OAuthProvider provider = tokens.Provider();
  const std::string redirect = "http://127.0.0.1:9/callback";
  const int64_t now = ::time(nullptr);

  std::string verifier = OAuthClient::NewVerifier(), state = OAuthClient::NewState();
  ASSERT_EQ(verifier.size(), 43u);
  HttpClient::Response browser = HttpClient::Get(OAuthClient::AuthorizationUrl(
      provider, redirect, state, OAuthClient::ChallengeOf(verifier), kUser));
  ASSERT_EQ(browser.status, 302) << browser.body << browser.error;
  ASSERT_EQ(browser.location.rfind(redirect + "?code=", 0), 0u) << browser.location;
  EXPECT_NE(browser.location.find("state=" + state), std::string::npos);
  std::string code = browser.location.substr(redirect.size() + 6);
  code = code.substr(0, code.find('&'));
  OAuthTokens got;
  EXPECT_EQ(
      OAuthClient::ExchangeCode(provider, code, "a-wrong-verifier", redirect, got, now).outcome,
      OAuthClient::Outcome::kRefused);
  browser = HttpClient::Get(OAuthClient::AuthorizationUrl(
      provider, redirect, state, OAuthClient::ChallengeOf(verifier), kUser));
  code = browser.location.substr(redirect.size() + 6);
  code = code.substr(0, code.find('&'));
  OAuthClient::Result result =
      OAuthClient::ExchangeCode(provider, code, verifier, redirect, got, now);
  ASSERT_EQ(result.outcome, OAuthClient::Outcome::kGranted) << result.error;
  EXPECT_GT(got.expires_at, now);
  EXPECT_TRUE(signs_in(got.access_token));

  std::string first = got.access_token;
  ASSERT_EQ(OAuthClient::Refresh(provider, got, now).outcome, OAuthClient::Outcome::kGranted);
  EXPECT_NE(got.access_token, first);
  EXPECT_TRUE(signs_in(got.access_token));

  OAuthClient::DeviceGrant device;
  ASSERT_EQ(OAuthClient::StartDevice(provider, device, now).outcome,
            OAuthClient::Outcome::kGranted);
  OAuthTokens by_device;
  EXPECT_EQ(OAuthClient::PollDevice(provider, device, by_device, now).outcome,
            OAuthClient::Outcome::kPending);
  ASSERT_EQ(HttpClient::Get(device.verification_uri + "?user_code=" + device.user_code +
                            "&user=" + HttpClient::Escape(kUser))
                .status,
            200);
  ASSERT_EQ(OAuthClient::PollDevice(provider, device, by_device, now).outcome,
            OAuthClient::Outcome::kGranted);
  EXPECT_TRUE(signs_in(by_device.access_token));

  tokens.RevokeAll();
  result = OAuthClient::Refresh(provider, got, now);
  EXPECT_EQ(result.outcome, OAuthClient::Outcome::kRefused);
  EXPECT_NE(result.error.find("invalid_grant"), std::string::npos) << result.error;
  EXPECT_FALSE(signs_in(by_device.access_token));
  EXPECT_FALSE(HttpClient::AllowedUrl("http://example.org/token"));
}

}  // namespace

namespace {

// A grant with a refresh token, by the device flow the user approves.
OAuthTokens DeviceGrant(TokenServer& server, int64_t now) {
  OAuthTokens got;
  OAuthClient::DeviceGrant device;
  const OAuthProvider provider = server.Provider();
  if (OAuthClient::StartDevice(provider, device, now).outcome != OAuthClient::Outcome::kGranted)
    return got;
  HttpClient::Get(device.verification_uri + "?user_code=" + device.user_code +
                  "&user=" + HttpClient::Escape(kUser));
  OAuthClient::PollDevice(provider, device, got, now);
  return got;
}

// The engine's tokens under an injected clock: renewed a quarter of the
// lifetime before the expiry and after a refusal, by a single request
// however many sessions ask at once; a revoked grant stops every sign-in
// until the keyring holds a new one.
TEST(AccessTokensTest, RenewedBeforeExpiryOnceForAllAndHeldWhenRevoked) {
  TokenServer server;
  ASSERT_TRUE(server.Start(100)) << server.Error();
  std::atomic<int64_t> now{::time(nullptr)};
  const OAuthTokens granted = DeviceGrant(server, now);
  ASSERT_FALSE(granted.refresh_token.empty());
  AccessTokens tokens(server.Provider(), granted, [&] { return now.load(); });
  std::string recalled = granted.refresh_token;
  tokens.SetRecall([&] { return recalled; });
  std::string token, error;
  ASSERT_EQ(tokens.Current(token, error), AccessTokens::Grant::kToken);
  EXPECT_EQ(token, granted.access_token);

  now += 100 - AccessTokens::Margin(100) - 1;
  ASSERT_EQ(tokens.Current(token, error), AccessTokens::Grant::kToken);
  EXPECT_EQ(token, granted.access_token) << "not yet within the margin";
  now += 1;
  ASSERT_EQ(tokens.Current(token, error), AccessTokens::Grant::kToken) << error;
  EXPECT_NE(token, granted.access_token);
  tokens.Refused(token);
  std::string after_refusal;
  ASSERT_EQ(tokens.Current(after_refusal, error), AccessTokens::Grant::kToken);
  EXPECT_NE(after_refusal, token);

  now += 100;
  std::vector<std::string> seen(4);
  std::vector<std::thread> sessions;
  for (std::string& got : seen)
    sessions.emplace_back([&tokens, &got] {
      std::string why;
      tokens.Current(got, why);
    });
  for (std::thread& session : sessions) session.join();
  for (const std::string& got : seen) EXPECT_EQ(got, seen[0]) << "one refresh for all";

  server.RevokeAll();
  now += 100;
  EXPECT_EQ(tokens.Current(token, error), AccessTokens::Grant::kSignInAgain);
  EXPECT_EQ(error, "sign in again");
  EXPECT_FALSE(tokens.Recovered()) << "the keyring still holds the refused token";
  recalled = DeviceGrant(server, now).refresh_token;
  now += AccessTokens::kRecallEveryS;
  EXPECT_TRUE(tokens.Recovered());
  EXPECT_EQ(tokens.Current(token, error), AccessTokens::Grant::kToken) << error;
}

}  // namespace

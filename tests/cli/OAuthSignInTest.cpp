// The code flow as the desktop and the CLI run it: the authorization URL
// opened in a browser (the test plays it), the browser sent back to the
// loopback redirect with the code, the code exchanged with its PKCE
// verifier, and the token signing in to a Dovecot that asks the same token
// server.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>

#include "DovecotServer.h"
#include "TokenServer.h"
#include "cli/LoopbackRedirect.h"
#include "mail/ImapClient.h"
#include "mail/OAuthClient.h"
#include "platform/HttpClient.h"

namespace {

const std::string kUser = "browser@example.com";

TEST(OAuthSignInTest, TheBrowserComesBackToTheLoopbackWithACodeThatSignsIn) {
  TokenServer tokens;
  ASSERT_TRUE(tokens.Start()) << tokens.Error();
  DovecotServer::Options options;
  options.oauth2_url = tokens.IntrospectionUrl();
  DovecotServer server(options);
  ASSERT_TRUE(server.AddUser(kUser, "unused"));
  TANDREL_START_DOVECOT(server);

  LoopbackRedirect redirect;
  ASSERT_TRUE(redirect.Listen());
  const OAuthProvider provider = tokens.Provider();
  const std::string verifier = OAuthClient::NewVerifier(), state = OAuthClient::NewState();
  const std::string url = OAuthClient::AuthorizationUrl(provider, redirect.RedirectUri(), state,
                                                        OAuthClient::ChallengeOf(verifier), kUser);
  HttpClient::Response page;
  std::thread browser([&] {
    HttpClient::Response sent_back = HttpClient::Get(url);
    page = HttpClient::Get(sent_back.location);
  });
  LoopbackRedirect::Answer answer;
  bool came = redirect.Wait(15000, answer);
  browser.join();
  ASSERT_TRUE(came);
  EXPECT_EQ(answer.state, state);
  EXPECT_TRUE(answer.error.empty());
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("signed in"), std::string::npos);

  OAuthTokens got;
  OAuthClient::Result result = OAuthClient::ExchangeCode(
      provider, answer.code, verifier, redirect.RedirectUri(), got, ::time(nullptr));
  ASSERT_EQ(result.outcome, OAuthClient::Outcome::kGranted) << result.error;
  ImapClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.ImapPort(), false));
  EXPECT_TRUE(client.AuthenticateBearer(kUser, got.access_token).ok());

  // A browser that never comes back: the wait ends at its deadline.
  LoopbackRedirect idle;
  ASSERT_TRUE(idle.Listen());
  EXPECT_FALSE(idle.Wait(200, answer));
}

}  // namespace

#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "mail/AccessTokens.h"
#include "mail/OAuthClient.h"
#include "mail/OAuthProvider.h"
#include "store/AccountRecord.h"

// An OAuth sign-in as tandrel-cli and the desktop run it: the provider
// from the options (a built-in name or a JSON file, the client id
// replaceable) or as recorded for the account; the authorization code flow
// through the system browser and a loopback redirect, or the device grant;
// the refresh token kept in the keyring, and the tokens every session of
// the engine signs in with.
// Thread contract: the thread that signs in; Tokens' object guards itself.
class OAuthSignIn {
 public:
  enum class Flow { kBrowser, kDevice };
  // How long a browser or a device code may take to come back.
  static constexpr int kWaitMs = 5 * 60 * 1000;

  struct Choice {
    std::string provider;  // "google" or "microsoft"; empty: config_file or recorded
    std::string config_file;
    std::string client_id;  // replaces the provider's
    Flow flow = Flow::kBrowser;
    bool Given() const { return !provider.empty() || !config_file.empty() || !client_id.empty(); }
  };

  // The provider the choice names, else the one recorded for user; false
  // with error when there is none or it is not usable.
  static bool ProviderFor(const Choice& choice, const std::string& user, OAuthProvider& provider,
                          std::string& error);
  // Whether user signs in by OAuth here.
  static bool Recorded(const std::string& user);
  static bool Record(const std::string& user, const OAuthProvider& provider);

  // The whole flow: what the user must do goes to out (the address to open,
  // or the code to enter), the browser is opened (TANDREL_BROWSER, else
  // xdg-open where a display is). False with error when no grant came.
  static bool Run(const OAuthProvider& provider, const std::string& user, Flow flow,
                  std::ostream& out, OAuthTokens& tokens, std::string& error);
  // The refresh token kept for the account turned into an access token;
  // false when none is kept or the provider refused it.
  static bool Resume(const AccountRecord& account, const OAuthProvider& provider,
                     OAuthTokens& tokens);
  // Keeps the refresh token in the keyring; out tells the user when it
  // lives only for this session.
  static void Keep(const AccountRecord& account, const OAuthTokens& tokens, std::ostream& out);
  // The engine's tokens, whose refreshed refresh tokens go to the keyring
  // and which look there for a new sign-in once the provider refused one.
  static std::shared_ptr<AccessTokens> Tokens(const AccountRecord& account,
                                              const OAuthProvider& provider,
                                              const OAuthTokens& tokens);

 private:
  static bool RunBrowser(const OAuthProvider& provider, const std::string& user, std::ostream& out,
                         OAuthTokens& tokens, std::string& error);
  static bool RunDevice(const OAuthProvider& provider, std::ostream& out, OAuthTokens& tokens,
                        std::string& error);
  // Starts the browser on url without waiting for it; false when none runs.
  static bool OpenBrowser(const std::string& url);
};

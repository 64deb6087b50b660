// The OAuth side of `tandrel-cli mount` and `tandrel-cli signin`.
#include <iostream>

#include "cli/AccountSecrets.h"
#include "cli/MountCommand.h"
#include "mail/AccessTokens.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"

bool MountCommand::ParseOAuth(const std::vector<std::string>& args, size_t& i, Options& options,
                              std::string& error) {
  const std::string& arg = args[i];
  if (arg == "--oauth-device") {
    options.oauth_device = true;
    options.oauth.flow = OAuthSignIn::Flow::kDevice;
    return true;
  }
  std::string* target = arg == "--oauth"             ? &options.oauth.provider
                        : arg == "--oauth-config"    ? &options.oauth.config_file
                        : arg == "--oauth-client-id" ? &options.oauth.client_id
                                                     : nullptr;
  if (target == nullptr) {
    error = "unknown option " + arg;
    return false;
  }
  if (i + 1 >= args.size()) {
    error = arg + " needs a value";
    return false;
  }
  *target = args[++i];
  if (!options.oauth.provider.empty() && !options.oauth.config_file.empty()) {
    error = "--oauth and --oauth-config exclude each other";
    return false;
  }
  if (arg == "--oauth" && *target != "google" && *target != "microsoft") {
    error = "--oauth takes google or microsoft";
    return false;
  }
  return true;
}

bool MountCommand::UsesOAuth(const Options& options, const std::string& user) {
  return options.oauth.Given() || options.oauth_device || OAuthSignIn::Recorded(user);
}

std::shared_ptr<AccessTokens> MountCommand::TokensFor(const Options& options,
                                                      const AccountRecord& account,
                                                      bool interactive) {
  OAuthProvider provider;
  std::string error;
  if (!OAuthSignIn::ProviderFor(options.oauth, account.user, provider, error)) {
    std::cerr << "tandrel-cli: " << error << "\n";
    return nullptr;
  }
  ::OAuthTokens tokens;
  // A kept sign-in holds for the provider it was made with.
  OAuthProvider recorded;
  bool same =
      !options.oauth.Given() || (OAuthSignIn::ProviderFor({}, account.user, recorded, error) &&
                                 recorded.ToJson() == provider.ToJson());
  if (!options.oauth_device && same && OAuthSignIn::Resume(account, provider, tokens))
    return OAuthSignIn::Tokens(account, provider, tokens);
  if (!interactive) {
    std::cerr << "tandrel-cli: sign in again (tandrel-cli signin)\n";
    return nullptr;
  }
  if (!OAuthSignIn::Run(provider, account.user, options.oauth.flow, std::cout, tokens, error)) {
    std::cerr << "tandrel-cli: the sign-in did not complete: " << error << "\n";
    return nullptr;
  }
  OAuthSignIn::Keep(account, tokens, std::cout);
  return OAuthSignIn::Tokens(account, provider, tokens);
}

int MountCommand::SignInAgain(const Options& options) {
  if (!PrepareDataDir()) {
    std::cerr << "tandrel-cli: no data directory (is HOME set?)\n";
    return 1;
  }
  std::string user = options.user;
  AccountRecord account;
  MetaStore store;
  if ((user.empty() && !store.GetCurAccount(user)) || !store.GetAccount(user, account)) {
    std::cerr << "tandrel-cli: no account is known here: sign in with tandrel-cli mount\n";
    return 1;
  }
  OAuthProvider provider;
  std::string error, reason;
  ::OAuthTokens tokens;
  if (!OAuthSignIn::ProviderFor(options.oauth, user, provider, error) ||
      !OAuthSignIn::Run(provider, user, options.oauth.flow, std::cout, tokens, error)) {
    std::cerr << "tandrel-cli: the sign-in did not complete: " << error << "\n";
    return 1;
  }
  if (!OAuthSignIn::Record(user, provider)) {
    std::cerr << "tandrel-cli: the sign-in could not be recorded\n";
    return 1;
  }
  if (!AccountSecrets::KeepRefreshToken(account, tokens.refresh_token, reason)) {
    std::cerr << "tandrel-cli: no keyring answers (" << reason
              << "): stop the mount and mount again to sign in\n";
    return 1;
  }
  std::cout << "Signed in as " << user << ": a running mount goes on within seconds" << std::endl;
  return 0;
}

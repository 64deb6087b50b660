#include "app/BrowserSignIn.h"

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <sstream>
#include <thread>

#include "cli/AccountSecrets.h"
#include "cli/OAuthSignIn.h"

namespace {

std::string DomainOf(const std::string& address) {
  size_t at = address.rfind('@');
  std::string domain = at == std::string::npos ? "" : address.substr(at + 1);
  for (char& c : domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return domain;
}

// Runs work on a thread while the event loop turns; its result.
bool WhileServingEvents(const std::function<bool()>& work) {
  std::atomic<bool> done{false};
  bool result = false;
  std::thread worker([&] {
    result = work();
    done = true;
  });
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done) loop.quit();
  });
  poll.start(50);
  if (!done) loop.exec();
  worker.join();
  return result;
}

}  // namespace

std::string BrowserSignIn::ProviderOf(const std::string& address) {
  const std::string domain = DomainOf(address);
  if (domain == "gmail.com" || domain == "googlemail.com") return "google";
  for (const char* microsoft : {"outlook.com", "hotmail.com", "live.com", "msn.com"})
    if (domain == microsoft || domain.rfind(std::string(microsoft) + ".", 0) == 0)
      return "microsoft";
  return "";
}

bool BrowserSignIn::Offered(const std::string& address) {
  return !ProviderOf(address).empty() || OAuthSignIn::Recorded(address);
}

std::shared_ptr<AccessTokens> BrowserSignIn::SignIn(const AccountRecord& account,
                                                    std::shared_ptr<AccessTokens> renew,
                                                    std::string& error, bool& session_only) {
  session_only = false;
  OAuthSignIn::Choice choice;
  // A provider recorded for the account (a sign-in by tandrel-cli with
  // --oauth-config, say) holds over the one its address suggests.
  if (!OAuthSignIn::Recorded(account.user)) choice.provider = ProviderOf(account.user);
  OAuthProvider provider;
  if (!OAuthSignIn::ProviderFor(choice, account.user, provider, error)) return nullptr;
  OAuthTokens tokens;
  if (!renew && OAuthSignIn::Resume(account, provider, tokens))
    return OAuthSignIn::Tokens(account, provider, tokens);
  std::ostringstream said;
  bool granted = WhileServingEvents([&] {
    return OAuthSignIn::Run(provider, account.user, OAuthSignIn::Flow::kBrowser, said, tokens,
                            error);
  });
  if (!granted) return nullptr;
  std::string reason;
  session_only = !AccountSecrets::KeepRefreshToken(account, tokens.refresh_token, reason);
  if (!renew) return OAuthSignIn::Tokens(account, provider, tokens);
  renew->Renew(tokens);  // the engine holds this object: it goes on at once
  return renew;
}

#include "cli/OAuthSignIn.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/AccountSecrets.h"
#include "cli/LoopbackRedirect.h"
#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/OAuthLogin.h"

extern char** environ;

namespace {

int64_t Now() { return static_cast<int64_t>(::time(nullptr)); }

// The browser command: TANDREL_BROWSER (words split on blanks), else
// xdg-open where a display is; empty when there is none.
std::vector<std::string> BrowserCommand() {
  std::vector<std::string> words;
  const char* chosen = std::getenv("TANDREL_BROWSER");
  if (chosen != nullptr && *chosen != '\0') {
    std::istringstream in(chosen);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
  }
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return {};
  return {"xdg-open"};
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return true;
}

}  // namespace

bool OAuthSignIn::ProviderFor(const Choice& choice, const std::string& user,
                              OAuthProvider& provider, std::string& error) {
  std::string recorded, text;
  provider = OAuthProvider{};
  if (choice.provider == "google" || choice.provider == "microsoft") {
    provider = choice.provider == "google" ? OAuthProvider::Google() : OAuthProvider::Microsoft();
    // The client registered for this machine, kept beside the settings.
    const std::string file = ConfigDir() + "/oauth-" + choice.provider + ".json";
    if (ReadFile(file, text) && !OAuthProvider::FromJson(text, provider, error)) {
      error = file + ": " + error;
      return false;
    }
  } else if (!choice.provider.empty()) {
    error = "--oauth takes google or microsoft";
    return false;
  } else if (!choice.config_file.empty()) {
    if (!ReadFile(choice.config_file, text)) {
      error = "cannot read " + choice.config_file;
      return false;
    }
    if (!OAuthProvider::FromJson(text, provider, error)) {
      error = choice.config_file + ": " + error;
      return false;
    }
  } else if (OAuthLogin(DataDir(), user).Read(recorded)) {
    std::string ignored;
    OAuthProvider::FromJson(recorded, provider, ignored);
  } else {
    error = "give --oauth google|microsoft or --oauth-config FILE";
    return false;
  }
  if (!choice.client_id.empty()) provider.client_id = choice.client_id;
  if (provider.client_id.empty()) {
    error =
        "no client id: give --oauth-client-id ID (registered with the provider), or put it "
        "in " +
        ConfigDir() + "/oauth-" + (choice.provider.empty() ? "NAME" : choice.provider) + ".json";
    return false;
  }
  error.clear();
  return true;
}

bool OAuthSignIn::Recorded(const std::string& user) {
  std::string recorded;
  return OAuthLogin(DataDir(), user).Read(recorded);
}

bool OAuthSignIn::Record(const std::string& user, const OAuthProvider& provider) {
  return OAuthLogin(DataDir(), user).Write(provider.ToJson());
}

bool OAuthSignIn::Run(const OAuthProvider& provider, const std::string& user, Flow flow,
                      std::ostream& out, OAuthTokens& tokens, std::string& error) {
  bool granted = flow == Flow::kDevice ? RunDevice(provider, out, tokens, error)
                                       : RunBrowser(provider, user, out, tokens, error);
  CLog::Instance()->Write(granted ? LOG_INFO : LOG_WARNING, "OAuth sign-in of %s: %s", user.c_str(),
                          granted ? "granted" : error.c_str());
  return granted;
}

bool OAuthSignIn::OpenBrowser(const std::string& url) {
  std::vector<std::string> words = BrowserCommand();
  if (words.empty()) return false;
  words.push_back(url);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  // Reaped by a thread of its own: a browser may stay long after the sign-in.
  std::thread([pid] {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }).detach();
  return true;
}

bool OAuthSignIn::RunBrowser(const OAuthProvider& provider, const std::string& user,
                             std::ostream& out, OAuthTokens& tokens, std::string& error) {
  LoopbackRedirect redirect;
  if (!redirect.Listen()) {
    error = "no port on 127.0.0.1 for the browser to come back to";
    return false;
  }
  const std::string verifier = OAuthClient::NewVerifier(), state = OAuthClient::NewState();
  const std::string url = OAuthClient::AuthorizationUrl(provider, redirect.RedirectUri(), state,
                                                        OAuthClient::ChallengeOf(verifier), user);
  out << "To sign in, open this address in a browser:\n  " << url << std::endl;
  if (OpenBrowser(url)) out << "(the browser was opened; waiting for it)" << std::endl;
  LoopbackRedirect::Answer answer;
  if (!redirect.Wait(kWaitMs, answer)) {
    error = "the browser did not come back in time";
    return false;
  }
  if (!answer.error.empty() || answer.state != state || answer.code.empty()) {
    error = answer.error.empty() ? "the browser came back without a valid code"
                                 : "the provider said " + answer.error;
    return false;
  }
  OAuthClient::Result result = OAuthClient::ExchangeCode(provider, answer.code, verifier,
                                                         redirect.RedirectUri(), tokens, Now());
  if (result.outcome != OAuthClient::Outcome::kGranted) error = result.error;
  return result.outcome == OAuthClient::Outcome::kGranted;
}

bool OAuthSignIn::RunDevice(const OAuthProvider& provider, std::ostream& out, OAuthTokens& tokens,
                            std::string& error) {
  OAuthClient::DeviceGrant grant;
  OAuthClient::Result result = OAuthClient::StartDevice(provider, grant, Now());
  if (result.outcome != OAuthClient::Outcome::kGranted) {
    error = result.error;
    return false;
  }
  out << "To sign in, visit " << grant.verification_uri << " and enter the code " << grant.user_code
      << std::endl;
  int64_t deadline = std::min<int64_t>(grant.expires_at, Now() + kWaitMs / 1000);
  int interval = std::max(grant.interval_s, 1);
  while (Now() < deadline) {
    // The interval is the provider's; polling faster earns a slow_down.
    std::this_thread::sleep_for(std::chrono::seconds(interval));
    result = OAuthClient::PollDevice(provider, grant, tokens, Now());
    if (result.outcome == OAuthClient::Outcome::kGranted) return true;
    if (result.outcome == OAuthClient::Outcome::kSlowDown) interval += 5;
    if (result.outcome == OAuthClient::Outcome::kRefused) break;
  }
  error = result.error.empty() ? "the code was not entered in time" : result.error;
  return false;
}

bool OAuthSignIn::Resume(const AccountRecord& account, const OAuthProvider& provider,
                         OAuthTokens& tokens) {
  tokens = OAuthTokens{};
  tokens.refresh_token = AccountSecrets::RecallRefreshToken(account);
  if (tokens.refresh_token.empty()) return false;
  OAuthClient::Result result = OAuthClient::Refresh(provider, tokens, Now());
  if (result.outcome == OAuthClient::Outcome::kGranted) return true;
  CLog::Instance()->Write(LOG_WARNING, "kept sign-in of %s not usable: %s", account.user.c_str(),
                          result.error.c_str());
  // Offline: the engine refreshes once the provider answers.
  return result.outcome == OAuthClient::Outcome::kFailed;
}

void OAuthSignIn::Keep(const AccountRecord& account, const OAuthTokens& tokens, std::ostream& out) {
  std::string reason;
  if (tokens.refresh_token.empty()) {
    out << "The provider gave no refresh token: the sign-in lasts as long as its access token"
        << std::endl;
  } else if (!AccountSecrets::KeepRefreshToken(account, tokens.refresh_token, reason)) {
    out << "No keyring answers (" << reason
        << "): the sign-in is kept for this session only; the next mount signs in again"
        << std::endl;
  }
}

std::shared_ptr<AccessTokens> OAuthSignIn::Tokens(const AccountRecord& account,
                                                  const OAuthProvider& provider,
                                                  const OAuthTokens& tokens) {
  auto shared = std::make_shared<AccessTokens>(provider, tokens, Now);
  shared->SetKeep([account](const std::string& refresh) {
    std::string reason;
    AccountSecrets::KeepRefreshToken(account, refresh, reason);
  });
  shared->SetRecall([account] { return AccountSecrets::RecallRefreshToken(account); });
  return shared;
}

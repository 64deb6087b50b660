#include "mail/AccessTokens.h"

#include <algorithm>
#include <utility>

#include "log/CLog.h"

AccessTokens::AccessTokens(OAuthProvider provider, const OAuthTokens& tokens, Clock clock)
    : provider_(std::move(provider)), clock_(std::move(clock)) {
  Renew(tokens);
  grants_ = 0;
}

uint64_t AccessTokens::Grants() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return grants_;
}

int64_t AccessTokens::Margin(int64_t lifetime_s) {
  return std::clamp<int64_t>(lifetime_s / 4, lifetime_s >= 2 ? 1 : 0, 60);
}

bool AccessTokens::Fresh(int64_t now) const {
  if (tokens_.access_token.empty() || stale_) return false;
  return tokens_.expires_at == 0 || now < tokens_.expires_at - Margin(lifetime_s_);
}

void AccessTokens::Renew(const OAuthTokens& tokens) {
  int64_t now = clock_();
  std::lock_guard<std::mutex> lock(mutex_);
  tokens_ = tokens;
  lifetime_s_ = tokens.expires_at > now ? tokens.expires_at - now : 0;
  stale_ = false;
  refused_ = false;
  refused_refresh_.clear();
  ++grants_;
}

AccessTokens::Grant AccessTokens::Current(std::string& token, std::string& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refused_) {
      error = kSignInAgainText;
      return Grant::kSignInAgain;
    }
    if (Fresh(clock_())) {
      token = tokens_.access_token;
      return Grant::kToken;
    }
  }
  std::lock_guard<std::mutex> refreshing(refresh_mutex_);
  {
    // Another session may have refreshed while this one waited.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refused_ && Fresh(clock_())) {
      token = tokens_.access_token;
      return Grant::kToken;
    }
  }
  Grant grant = RefreshLocked(error);
  std::lock_guard<std::mutex> lock(mutex_);
  if (grant == Grant::kToken) token = tokens_.access_token;
  return grant;
}

AccessTokens::Grant AccessTokens::RefreshLocked(std::string& error) {
  OAuthTokens asked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refused_) {
      error = kSignInAgainText;
      return Grant::kSignInAgain;
    }
    asked = tokens_;
  }
  std::string sent_refresh = asked.refresh_token;
  int64_t now = clock_();
  OAuthClient::Result result = OAuthClient::Refresh(provider_, asked, now);
  if (result.outcome == OAuthClient::Outcome::kRefused) {
    CLog::Instance()->Write(LOG_WARNING, "refresh token refused: %s", result.error.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    refused_ = true;
    refused_refresh_ = sent_refresh;
    error = kSignInAgainText;
    return Grant::kSignInAgain;
  }
  if (result.outcome != OAuthClient::Outcome::kGranted) {
    error = "the sign-in server gave no token: " + result.error;
    CLog::Instance()->Write(LOG_WARNING, "token refresh failed: %s", result.error.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    // A token not yet expired still signs in.
    bool usable = !stale_ && !tokens_.access_token.empty() &&
                  (tokens_.expires_at == 0 || now < tokens_.expires_at);
    return usable ? Grant::kToken : Grant::kUnreachable;
  }
  CLog::Instance()->Write(LOG_INFO, "access token refreshed, valid for %lld s",
                          static_cast<long long>(asked.expires_at ? asked.expires_at - now : 0));
  bool rotated = asked.refresh_token != sent_refresh;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tokens_ = asked;
    lifetime_s_ = asked.expires_at > now ? asked.expires_at - now : 0;
    stale_ = false;
  }
  if (rotated && keep_) keep_(asked.refresh_token);
  return Grant::kToken;
}

void AccessTokens::Refused(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (token == tokens_.access_token) stale_ = true;
}

bool AccessTokens::SignInNeeded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refused_;
}

bool AccessTokens::Recovered() {
  int64_t now = clock_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refused_ || !recall_ || now - recalled_at_ < kRecallEveryS) return false;
    recalled_at_ = now;
  }
  std::string recalled = recall_();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!refused_ || recalled.empty() || recalled == refused_refresh_) return false;
  CLog::Instance()->Write(LOG_INFO, "a new sign-in was kept: signing in with it");
  tokens_.refresh_token = recalled;
  tokens_.access_token.clear();
  refused_ = false;
  refused_refresh_.clear();
  ++grants_;
  return true;
}

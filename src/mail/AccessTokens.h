#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "mail/OAuthClient.h"
#include "mail/OAuthProvider.h"

// An OAuth account's tokens, shared by every session that signs in: the
// access token, refreshed shortly before it expires and after a server
// refused it, and the refresh token, handed to the owner's keep hook
// whenever the provider sends a new one. A refused refresh (revoked or
// expired) stops every sign-in until a new grant arrives, through Renew in
// this process or the recall hook (a sign-in by another process kept one
// where the hook looks).
// Thread contract: any thread. refresh_mutex_ serialises token requests (it
// is held during one, so sessions opening together wait for a single
// refresh rather than each asking); mutex_ guards the tokens and is a leaf.
// Lock order: refresh_mutex_, then mutex_. The hooks are set before the
// sessions start and run on the thread that asked, without mutex_.
class AccessTokens {
 public:
  enum class Grant {
    kToken,        // a token to sign in with
    kSignInAgain,  // the provider refused the refresh token: a new sign-in is needed
    kUnreachable,  // the token endpoint gave no usable answer: try later
  };
  // Seconds since 1970.
  using Clock = std::function<int64_t()>;
  using Keep = std::function<void(const std::string& refresh_token)>;
  using Recall = std::function<std::string()>;
  // The keyring is asked at most this often while a sign-in is needed.
  static constexpr int64_t kRecallEveryS = 2;
  static constexpr const char* kSignInAgainText = "sign in again";

  AccessTokens(OAuthProvider provider, const OAuthTokens& tokens, Clock clock);
  AccessTokens(const AccessTokens&) = delete;
  AccessTokens& operator=(const AccessTokens&) = delete;

  void SetKeep(Keep keep) { keep_ = std::move(keep); }
  void SetRecall(Recall recall) { recall_ = std::move(recall); }

  // The access token to sign in with, refreshed first when it is about to
  // expire; error tells why there is none.
  Grant Current(std::string& token, std::string& error);
  // A server refused token: the next Current refreshes.
  void Refused(const std::string& token);
  // A new sign-in's tokens; a refusal is forgotten.
  void Renew(const OAuthTokens& tokens);
  bool SignInNeeded() const;
  // While a sign-in is needed: whether the recall hook has a refresh token
  // other than the refused one, which the next Current then tries.
  bool Recovered();
  const OAuthProvider& Provider() const { return provider_; }
  // Counts the new grants (Renew, or one Recovered found): a caller that
  // waits out a back-off sees when to try again.
  uint64_t Grants() const;

  // Seconds before the expiry at which a token is renewed: a quarter of
  // its lifetime, at least a second (for the round trip), at most a minute.
  static int64_t Margin(int64_t lifetime_s);

 private:
  bool Fresh(int64_t now) const;
  Grant RefreshLocked(std::string& error);

  const OAuthProvider provider_;
  const Clock clock_;
  Keep keep_;
  Recall recall_;
  std::mutex refresh_mutex_;
  mutable std::mutex mutex_;
  OAuthTokens tokens_;           // guarded by mutex_
  int64_t lifetime_s_ = 0;       // of the current access token; 0: not said
  bool stale_ = false;           // a server refused the access token
  bool refused_ = false;         // the provider refused the refresh token
  std::string refused_refresh_;  // the refresh token it refused
  int64_t recalled_at_ = 0;
  uint64_t grants_ = 0;
};

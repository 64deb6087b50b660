#pragma once

#include <cstdint>
#include <string>

#include "mail/OAuthProvider.h"

// The tokens of one account.
// Thread contract: a plain value; no shared state.
struct OAuthTokens {
  std::string access_token;
  std::string refresh_token;
  int64_t expires_at = 0;  // seconds since 1970; 0: not said
};

// The token endpoint's grants (RFC 6749): the authorization code with PKCE
// (RFC 7636, S256), the refresh token, and the device authorization grant
// (RFC 8628). JSON answers are read with nlohmann-json.
// Thread contract: stateless; any thread.
class OAuthClient {
 public:
  enum class Outcome {
    kGranted,
    kPending,   // the device grant: the user has not approved yet
    kSlowDown,  // the device grant: poll less often
    kRefused,   // invalid_grant and the like: sign in again
    kFailed,    // no usable answer (network, server): try again later
  };
  struct Result {
    Outcome outcome = Outcome::kFailed;
    std::string error;  // the server's error and its description, or why none came
  };
  struct DeviceGrant {
    std::string device_code;
    std::string user_code;
    std::string verification_uri;
    int interval_s = 5;
    int64_t expires_at = 0;
  };

  // A new PKCE code verifier (43 characters) and its S256 challenge.
  static std::string NewVerifier();
  static std::string ChallengeOf(const std::string& verifier);
  static std::string NewState();
  static std::string AuthorizationUrl(const OAuthProvider& provider,
                                      const std::string& redirect_uri, const std::string& state,
                                      const std::string& challenge, const std::string& login_hint);
  static Result ExchangeCode(const OAuthProvider& provider, const std::string& code,
                             const std::string& verifier, const std::string& redirect_uri,
                             OAuthTokens& tokens, int64_t now);
  // A new access token; the refresh token stays unless the server sends
  // another.
  static Result Refresh(const OAuthProvider& provider, OAuthTokens& tokens, int64_t now);
  static Result StartDevice(const OAuthProvider& provider, DeviceGrant& grant, int64_t now);
  static Result PollDevice(const OAuthProvider& provider, const DeviceGrant& grant,
                           OAuthTokens& tokens, int64_t now);
};

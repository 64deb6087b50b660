#pragma once

#include <string>

// The OAuth 2.0 endpoints of one provider and the client registered there
// (a desktop client's secret is no secret, but Google asks for it).
// Thread contract: a plain value; no shared state.
struct OAuthProvider {
  std::string authorization_endpoint;
  std::string token_endpoint;
  std::string device_authorization_endpoint;  // empty: no device grant
  std::string client_id;
  std::string client_secret;
  std::string scope;

  // The built-in endpoints and scopes; the client id is the caller's.
  static OAuthProvider Google();
  static OAuthProvider Microsoft();
  // A JSON object with the fields above by those names; a field it lacks
  // keeps provider's value. False with error.
  static bool FromJson(const std::string& text, OAuthProvider& provider, std::string& error);
  // The JSON object FromJson reads.
  std::string ToJson() const;
};

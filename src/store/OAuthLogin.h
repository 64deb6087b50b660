#pragma once

#include <string>

#include "store/CppSQLite3DB.h"

// How an account signs in when it uses OAuth: the provider's endpoints and
// client as a JSON text (nothing secret: the refresh token lives in the
// keyring only). A table the first OAuth sign-in adds (oauth_login); an
// account without a row signs in with its password.
// Thread contract: one thread only, like MetaStore: each caller makes its
// own short-lived object. Failures are logged and reported as false.
class OAuthLogin {
 public:
  OAuthLogin(const std::string& data_dir, const std::string& user);
  OAuthLogin(const OAuthLogin&) = delete;
  OAuthLogin& operator=(const OAuthLogin&) = delete;

  // False when the account has no OAuth sign-in recorded.
  bool Read(std::string& provider_json);
  bool Write(const std::string& provider_json);
  bool Clear();

 private:
  CppSQLite3DB db_;
};

#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "TempDir.h"
#include "mail/OAuthProvider.h"

// A private OAuth 2.0 server (token_server.py) on 127.0.0.1 for the
// sign-in tests: authorization, token and device endpoints, and the
// introspection endpoint Dovecot's oauth2 passdb asks. Access tokens are
// also granted and revoked through the file it reads at each request.
// Stopped through its pid when the object goes.
// Thread contract: one test thread only.
class TokenServer {
 public:
  TokenServer();
  ~TokenServer();
  TokenServer(const TokenServer&) = delete;
  TokenServer& operator=(const TokenServer&) = delete;

  // False with Error() set. Tokens it issues live lifetime_s seconds.
  bool Start(int lifetime_s = 3600);
  // Its endpoints, for a client named "tandrel-test".
  OAuthProvider Provider() const;
  int Port() const { return port_; }
  std::string IntrospectionUrl() const;
  // A token for user that expires after lifetime_s seconds.
  std::string Grant(const std::string& user, int lifetime_s);
  // Every access and refresh token stops working.
  void RevokeAll();
  const std::string& Error() const { return error_; }
  std::string LogText() const;

 private:
  std::unique_ptr<TempDir> dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  int granted_ = 0;
  std::string error_;
};

#pragma once

#include <string>

#include "store/AccountRecord.h"

class AccessTokens;

// The sign-in of an account as the login does it: the SSL rule and the
// ports, the credentials tested on a fresh IMAP session, the account stored
// and made current.
// Thread contract: free of shared state; any one thread at a time (the store
// handles it opens are its own).
class AccountLogin {
 public:
  static constexpr const char* kGoogleMailDomain = "gmail.com";
  static constexpr const char* kFailedText =
      "登录失败，请检查邮箱地址和密码是否正确，并确认是否开启了IMAP服务";

  // SSL exactly when "@" and the Google mail domain follow the first
  // character (case-sensitive).
  static bool UsesSsl(const std::string& address);
  // An "@" that is not the last character, and a name that can name the
  // account's database and cache folder (no "/", no "\\", not "..").
  static bool IsUsableAddress(const std::string& address);
  // The record a login stores; port 0 means the rule's default (143 or 993),
  // force_ssl turns SSL on whatever the rule says.
  static AccountRecord Build(const std::string& user, const std::string& password,
                             const std::string& server, int port, bool force_ssl);
  enum class Verdict { kAccepted, kRefused, kUnreachable };
  // Refused: the server answered and said no; unreachable: no connection
  // (or it broke before an answer), when an account known here may still
  // start from its cache.
  // With tokens the check is an OAuth sign-in on the drive's folder.
  static Verdict Check(const AccountRecord& account, AccessTokens* tokens = nullptr);
  static bool TestCredentials(const AccountRecord& account);
  // Whether the account has been signed in here before.
  static bool IsKnown(const std::string& user);
  // Adds or updates the account and makes it current.
  static bool Store(const AccountRecord& account);
};

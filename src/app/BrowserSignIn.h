#pragma once

#include <memory>
#include <string>

#include "mail/AccessTokens.h"
#include "store/AccountRecord.h"

// The desktop's OAuth sign-in: which addresses need it (Gmail and Outlook
// take no password over IMAP), the kept sign-in from the keyring, else the
// browser flow, run on a thread of its own while the user-interface thread
// keeps serving events (a browser may take minutes).
// Thread contract: user-interface thread; the flow's thread ends before a
// call returns.
class BrowserSignIn {
 public:
  static constexpr const char* kFailedText = "浏览器登录未完成：";
  static constexpr const char* kSessionOnlyText =
      "未找到系统密钥环：本次登录只在本次运行期间有效，下次启动需要重新登录。";

  // "google" or "microsoft" for an address of theirs; empty otherwise.
  static std::string ProviderOf(const std::string& address);
  // Whether the dialog offers the browser for address: its provider needs
  // it, or the account signed in so before.
  static bool Offered(const std::string& address);
  // The tokens for account: the kept sign-in, else the browser flow; null
  // with error. With renew (the engine's tokens) a new browser sign-in
  // goes into that object, which is returned. session_only: no keyring
  // took the refresh token.
  static std::shared_ptr<AccessTokens> SignIn(const AccountRecord& account,
                                              std::shared_ptr<AccessTokens> renew,
                                              std::string& error, bool& session_only);
};

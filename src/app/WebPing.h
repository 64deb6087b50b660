#pragma once

#include <string>

// The maker's web host and the sign-in and sign-out pings sent to it: one
// plain HTTP request each, no response read.
// Thread contract: free of shared state; any thread.
class WebPing {
 public:
  static constexpr const char* kDefaultHost = "www.tandrel.example";
  static constexpr const char* kLoginPath = "/login.php";
  static constexpr const char* kLogoutPath = "/logout.php";
  static constexpr int kTimeoutMs = 5000;

  // TANDREL_WEB_HOST, else the default; "host:port" names another port.
  static std::string Host();
  static std::string HomePage();
  static std::string RegisterPage();

  // The request, with the bytes a request line cannot hold (blank, CR, LF,
  // controls, 8-bit) in the address percent-encoded.
  static std::string Request(const std::string& host, const std::string& path,
                             const std::string& user);
  // 0 when sent, -1 when the connection or the send failed.
  static int Send(const std::string& host, const std::string& path, const std::string& user);
};

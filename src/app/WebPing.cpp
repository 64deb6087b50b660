#include "app/WebPing.h"

#include <cstdio>
#include <cstdlib>

#include "mail/MailConnection.h"

std::string WebPing::Host() {
  const char* env = std::getenv("TANDREL_WEB_HOST");
  return env != nullptr && *env != '\0' ? env : kDefaultHost;
}

std::string WebPing::HomePage() { return "http://" + Host() + "/"; }

std::string WebPing::RegisterPage() { return "http://" + Host() + "/regmail.htm"; }

std::string WebPing::Request(const std::string& host, const std::string& path,
                             const std::string& user) {
  std::string encoded;
  for (unsigned char c : user) {
    if (c <= 0x20 || c >= 0x7f) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += hex;
    } else {
      encoded += static_cast<char>(c);
    }
  }
  return "GET http://" + host + path + "?user=" + encoded + " HTTP/1.1\r\nHost: " + host +
         "\r\n\r\n";
}

int WebPing::Send(const std::string& host, const std::string& path, const std::string& user) {
  std::string name = host;
  int port = 80;
  size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(':') == colon) {
    port = std::atoi(host.c_str() + colon + 1);
    name = host.substr(0, colon);
  }
  if (port <= 0 || port > 65535) return -1;
  MailConnection connection;
  connection.SetTimeouts(kTimeoutMs, kTimeoutMs);
  if (!connection.Open(false, name, port)) return -1;
  bool sent = connection.Send(Request(host, path, user));
  connection.Close();
  return sent ? 0 : -1;
}

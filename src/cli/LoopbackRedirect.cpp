#include "cli/LoopbackRedirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>

namespace {

std::string Decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> Query(const std::string& target) {
  std::map<std::string, std::string> fields;
  size_t at = target.find('?');
  if (at == std::string::npos) return fields;
  std::string query = target.substr(at + 1);
  for (size_t start = 0; start <= query.size();) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    if (eq != std::string::npos) fields[Decode(pair.substr(0, eq))] = Decode(pair.substr(eq + 1));
    start = end + 1;
  }
  return fields;
}

void Reply(int client, const char* status, const std::string& body) {
  std::string response = std::string("HTTP/1.1 ") + status +
                         "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  ssize_t sent = ::send(client, response.data(), response.size(), MSG_NOSIGNAL);
  (void)sent;
}

}  // namespace

bool LoopbackRedirect::Listen() {
  listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_.ok()) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 4) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return false;
  port_ = ntohs(address.sin_port);
  return true;
}

std::string LoopbackRedirect::RedirectUri() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/callback";
}

bool LoopbackRedirect::Wait(int timeout_ms, Answer& answer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (listener_.ok()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.ok() && Serve(client.get(), answer)) return true;
  }
  return false;
}

bool LoopbackRedirect::Serve(int client, Answer& answer) {
  timeval patience{5, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::string request;
  char buffer[2048];
  while (request.find("\r\n") == std::string::npos && request.size() < 8192) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    request.append(buffer, static_cast<size_t>(n));
  }
  // "GET /callback?code=..&state=.. HTTP/1.1"
  std::string line = request.substr(0, request.find("\r\n"));
  size_t first = line.find(' '), second = line.rfind(' ');
  std::string target = first == std::string::npos || second <= first
                           ? ""
                           : line.substr(first + 1, second - first - 1);
  std::map<std::string, std::string> fields = Query(target);
  if (target.rfind("/callback", 0) != 0 ||
      (fields.count("code") == 0 && fields.count("error") == 0)) {
    Reply(client, "404 Not Found", "not here\n");
    return false;
  }
  answer.code = fields["code"];
  answer.state = fields["state"];
  answer.error = fields["error"];
  Reply(client, "200 OK", std::string(kDoneText) + "\n");
  return true;
}

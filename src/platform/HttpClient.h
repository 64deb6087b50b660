#pragma once

#include <string>
#include <utility>
#include <vector>

// HTTPS requests through libcurl, checked against the system's trust store
// (as the IMAP connection is), for the OAuth endpoints. A plain http:// URL
// is refused unless its host is 127.0.0.1 (a token server on this machine,
// as the tests start one).
// Thread contract: stateless; any thread (each request has its own handle).
class HttpClient {
 public:
  struct Response {
    long status = 0;  // the HTTP status; 0 when no answer came
    std::string body;
    std::string location;  // where a redirect points (redirects are not followed)
    std::string error;     // why no answer came, or why the URL was refused
  };
  using Form = std::vector<std::pair<std::string, std::string>>;

  static bool AllowedUrl(const std::string& url);
  // POST of an application/x-www-form-urlencoded form.
  static Response PostForm(const std::string& url, const Form& form, int timeout_ms = 30000);
  static Response Get(const std::string& url, int timeout_ms = 30000);
  // Percent-encoding (RFC 3986 unreserved characters kept).
  static std::string Escape(const std::string& text);
  static std::string FormText(const Form& form);
};

#include "platform/HttpClient.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <mutex>

namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

size_t Collect(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

HttpClient::Response Perform(const std::string& url, const std::string* post, int timeout_ms) {
  HttpClient::Response response;
  if (!HttpClient::AllowedUrl(url)) {
    response.error = "only https:// addresses are used (http:// on 127.0.0.1 alone): " + url;
    return response;
  }
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    response.error = "libcurl could not start";
    return response;
  }
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &response.body);
  if (post != nullptr) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, post->c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(post->size()));
  }
  CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK) {
    response.error = curl_easy_strerror(code);
    return response;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
  char* location = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr)
    response.location = location;
  return response;
}

}  // namespace

bool HttpClient::AllowedUrl(const std::string& url) {
  if (url.rfind("https://", 0) == 0) return true;
  const std::string loopback = "http://127.0.0.1";
  return url.rfind(loopback, 0) == 0 &&
         (url.size() == loopback.size() || url[loopback.size()] == ':' ||
          url[loopback.size()] == '/');
}

std::string HttpClient::Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string HttpClient::FormText(const Form& form) {
  std::string text;
  for (const auto& [name, value] : form) {
    if (!text.empty()) text += '&';
    text += Escape(name) + "=" + Escape(value);
  }
  return text;
}

HttpClient::Response HttpClient::PostForm(const std::string& url, const Form& form,
                                          int timeout_ms) {
  std::string body = FormText(form);
  return Perform(url, &body, timeout_ms);
}

HttpClient::Response HttpClient::Get(const std::string& url, int timeout_ms) {
  return Perform(url, nullptr, timeout_ms);
}

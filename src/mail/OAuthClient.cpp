#include "mail/OAuthClient.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "platform/HttpClient.h"

namespace {

using Json = nlohmann::json;

std::string Base64Url(const unsigned char* bytes, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(n));
  out.resize(length > 0 ? static_cast<size_t>(length) : 0);
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!out.empty() && out.back() == '=') out.pop_back();
  return out;
}

std::string RandomText(size_t bytes) {
  unsigned char random[64] = {};
  if (bytes > sizeof random || RAND_bytes(random, static_cast<int>(bytes)) != 1) return "";
  return Base64Url(random, bytes);
}

std::string Text(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

int64_t Number(const Json& object, const char* key, int64_t otherwise) {
  auto it = object.find(key);
  if (it == object.end()) return otherwise;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_string()) return std::atoll(it->get<std::string>().c_str());  // some send text
  return otherwise;
}

// The answer as JSON; an empty object (and why) when it is none.
Json Parse(const HttpClient::Response& response, std::string& error) {
  if (!response.error.empty()) {
    error = response.error;
    return Json::object();
  }
  Json body = Json::parse(response.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    error = "HTTP " + std::to_string(response.status) + " without a JSON answer";
    return Json::object();
  }
  return body;
}

OAuthClient::Result ErrorOf(const Json& body, const std::string& error) {
  OAuthClient::Result result;
  std::string code = Text(body, "error");
  result.error = code.empty() ? error : code;
  std::string description = Text(body, "error_description");
  if (!description.empty()) result.error += ": " + description;
  if (code == "authorization_pending") result.outcome = OAuthClient::Outcome::kPending;
  if (code == "slow_down") result.outcome = OAuthClient::Outcome::kSlowDown;
  if (code == "invalid_grant" || code == "access_denied" || code == "expired_token" ||
      code == "invalid_client" || code == "unauthorized_client")
    result.outcome = OAuthClient::Outcome::kRefused;
  return result;
}

OAuthClient::Result TokenRequest(const OAuthProvider& provider, HttpClient::Form form,
                                 OAuthTokens& tokens, int64_t now) {
  form.emplace_back("client_id", provider.client_id);
  if (!provider.client_secret.empty()) form.emplace_back("client_secret", provider.client_secret);
  std::string error;
  Json body = Parse(HttpClient::PostForm(provider.token_endpoint, form), error);
  std::string access = Text(body, "access_token");
  if (access.empty()) return ErrorOf(body, error.empty() ? "no access token" : error);
  tokens.access_token = access;
  std::string refresh = Text(body, "refresh_token");
  if (!refresh.empty()) tokens.refresh_token = refresh;
  int64_t lifetime = Number(body, "expires_in", 0);
  tokens.expires_at = lifetime > 0 ? now + lifetime : 0;
  return {OAuthClient::Outcome::kGranted, ""};
}

}  // namespace

std::string OAuthClient::NewVerifier() { return RandomText(32); }

std::string OAuthClient::NewState() { return RandomText(16); }

std::string OAuthClient::ChallengeOf(const std::string& verifier) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
  return Base64Url(digest, sizeof digest);
}

std::string OAuthClient::AuthorizationUrl(const OAuthProvider& provider,
                                          const std::string& redirect_uri, const std::string& state,
                                          const std::string& challenge,
                                          const std::string& login_hint) {
  HttpClient::Form form = {{"response_type", "code"},
                           {"client_id", provider.client_id},
                           {"redirect_uri", redirect_uri},
                           {"scope", provider.scope},
                           {"state", state},
                           {"code_challenge", challenge},
                           {"code_challenge_method", "S256"},
                           {"access_type", "offline"},
                           {"prompt", "consent"}};
  if (!login_hint.empty()) form.emplace_back("login_hint", login_hint);
  char joiner = provider.authorization_endpoint.find('?') == std::string::npos ? '?' : '&';
  return provider.authorization_endpoint + joiner + HttpClient::FormText(form);
}

OAuthClient::Result OAuthClient::ExchangeCode(const OAuthProvider& provider,
                                              const std::string& code, const std::string& verifier,
                                              const std::string& redirect_uri, OAuthTokens& tokens,
                                              int64_t now) {
  return TokenRequest(provider,
                      {{"grant_type", "authorization_code"},
                       {"code", code},
                       {"code_verifier", verifier},
                       {"redirect_uri", redirect_uri}},
                      tokens, now);
}

OAuthClient::Result OAuthClient::Refresh(const OAuthProvider& provider, OAuthTokens& tokens,
                                         int64_t now) {
  if (tokens.refresh_token.empty()) return {Outcome::kRefused, "no refresh token"};
  return TokenRequest(provider,
                      {{"grant_type", "refresh_token"}, {"refresh_token", tokens.refresh_token}},
                      tokens, now);
}

OAuthClient::Result OAuthClient::StartDevice(const OAuthProvider& provider, DeviceGrant& grant,
                                             int64_t now) {
  if (provider.device_authorization_endpoint.empty())
    return {Outcome::kRefused, "the provider has no device authorization endpoint"};
  HttpClient::Form form = {{"client_id", provider.client_id}, {"scope", provider.scope}};
  if (!provider.client_secret.empty()) form.emplace_back("client_secret", provider.client_secret);
  std::string error;
  Json body = Parse(HttpClient::PostForm(provider.device_authorization_endpoint, form), error);
  grant.device_code = Text(body, "device_code");
  grant.user_code = Text(body, "user_code");
  grant.verification_uri = Text(body, "verification_uri");
  if (grant.verification_uri.empty()) grant.verification_uri = Text(body, "verification_url");
  if (grant.device_code.empty() || grant.user_code.empty() || grant.verification_uri.empty())
    return ErrorOf(body, error.empty() ? "no device code" : error);
  grant.interval_s = static_cast<int>(Number(body, "interval", 5));
  grant.expires_at = now + Number(body, "expires_in", 900);
  return {Outcome::kGranted, ""};
}

OAuthClient::Result OAuthClient::PollDevice(const OAuthProvider& provider, const DeviceGrant& grant,
                                            OAuthTokens& tokens, int64_t now) {
  return TokenRequest(provider,
                      {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                       {"device_code", grant.device_code}},
                      tokens, now);
}

OAuthProvider OAuthProvider::Google() {
  OAuthProvider p;
  p.authorization_endpoint = "https://accounts.google.com/o/oauth2/v2/auth";
  p.token_endpoint = "https://oauth2.googleapis.com/token";
  p.device_authorization_endpoint = "https://oauth2.googleapis.com/device/code";
  p.scope = "https://mail.google.com/";
  return p;
}

OAuthProvider OAuthProvider::Microsoft() {
  const std::string base = "https://login.microsoftonline.com/common/oauth2/v2.0/";
  OAuthProvider p;
  p.authorization_endpoint = base + "authorize";
  p.token_endpoint = base + "token";
  p.device_authorization_endpoint = base + "devicecode";
  p.scope = "https://outlook.office.com/IMAP.AccessAsUser.All offline_access";
  return p;
}

bool OAuthProvider::FromJson(const std::string& text, OAuthProvider& provider, std::string& error) {
  Json body = Json::parse(text, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    error = "not a JSON object";
    return false;
  }
  auto take = [&body](const char* key, std::string& field) {
    if (body.contains(key)) field = Text(body, key);
  };
  take("authorization_endpoint", provider.authorization_endpoint);
  take("token_endpoint", provider.token_endpoint);
  take("device_authorization_endpoint", provider.device_authorization_endpoint);
  take("client_id", provider.client_id);
  take("client_secret", provider.client_secret);
  take("scope", provider.scope);
  for (const std::string* url : {&provider.authorization_endpoint, &provider.token_endpoint}) {
    if (url->empty() || !HttpClient::AllowedUrl(*url)) {
      error = "authorization_endpoint and token_endpoint must be https:// addresses";
      return false;
    }
  }
  return true;  // the client id may come from elsewhere: the caller checks it
}

std::string OAuthProvider::ToJson() const {
  Json body = {{"authorization_endpoint", authorization_endpoint},
               {"token_endpoint", token_endpoint},
               {"client_id", client_id},
               {"scope", scope}};
  if (!device_authorization_endpoint.empty())
    body["device_authorization_endpoint"] = device_authorization_endpoint;
  if (!client_secret.empty()) body["client_secret"] = client_secret;
  return body.dump();
}

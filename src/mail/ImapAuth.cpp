// AUTHENTICATE with an OAuth 2.0 bearer token: OAUTHBEARER (RFC 7628) or
// XOAUTH2 (the form Google and Microsoft document), the initial response
// in the command where the server offers SASL-IR (RFC 4959).
#include <openssl/evp.h>

#include <string>

#include "log/CLog.h"
#include "mail/ImapClient.h"

namespace {

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// The server's error payload (JSON, RFC 7628 section 3.2.2), decoded; the
// text as sent when it is not base64.
std::string Unbase64(const std::string& text) {
  std::string out(3 * (text.size() / 4) + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || text.size() % 4 != 0) return text;
  out.resize(static_cast<size_t>(n));
  while (!out.empty() && out.back() == '\0') out.pop_back();  // the padding's bytes
  return out;
}

}  // namespace

ImapClient::BearerMechanism ImapClient::BearerOffered() const {
  if (HasCapability("AUTH=OAUTHBEARER")) return BearerMechanism::kOauthBearer;
  if (HasCapability("AUTH=XOAUTH2")) return BearerMechanism::kXoauth2;
  return BearerMechanism::kNone;
}

std::string ImapClient::BearerResponse(BearerMechanism mechanism, const std::string& user,
                                       const std::string& token) const {
  const char kA = '\x01';
  if (mechanism == BearerMechanism::kXoauth2)
    return "user=" + user + kA + "auth=Bearer " + token + kA + kA;
  return "n,a=" + user + "," + kA + "host=" + server_ + kA + "port=" + std::to_string(port_) + kA +
         "auth=Bearer " + token + kA + kA;
}

MailResult ImapClient::AuthenticateBearer(const std::string& user, const std::string& token) {
  refusal_ = MailResult();
  // The sign-in is the first command: the greeting, unread yet, may carry
  // the capabilities.
  std::string greeting;
  if (!logged_in_ && capabilities_.empty() && ReadResponseLine(greeting) < 0) return Lost();
  BearerMechanism mechanism = BearerOffered();
  if (mechanism == BearerMechanism::kNone) Capability();
  mechanism = BearerOffered();
  bearer_used_ = mechanism;
  if (mechanism == BearerMechanism::kNone)
    return MailResult::Local("", "the server offers neither OAUTHBEARER nor XOAUTH2");
  const char* name = mechanism == BearerMechanism::kXoauth2 ? "XOAUTH2" : "OAUTHBEARER";
  std::string response = Base64(BearerResponse(mechanism, user, token));
  bool inline_response = HasCapability("SASL-IR");
  std::string command = std::string(kTag) + " AUTHENTICATE " + name;
  if (!Send(command + (inline_response ? " " + response : std::string()) + "\r\n")) return Lost();
  std::string line, payload;
  bool sent = inline_response;
  for (;;) {
    if (ReadResponseLine(line) < 0) return Lost();
    if (line.empty() || line[0] != '+') {
      if (Judge(line) == Verdict::kMore) continue;
      break;
    }
    // The first continuation asks for the response; one after it carries
    // the server's error, answered with the empty (XOAUTH2) or ^A
    // (OAUTHBEARER) response so that the server ends the exchange.
    std::string challenge = line.size() > 2 ? line.substr(2) : "";
    while (!challenge.empty() &&
           (challenge.back() == '\n' || challenge.back() == '\r' || challenge.back() == ' '))
      challenge.pop_back();
    if (!sent && challenge.empty()) {
      if (!Send(response + "\r\n")) return Lost();
      sent = true;
      continue;
    }
    payload = Unbase64(challenge);
    if (!Send(mechanism == BearerMechanism::kXoauth2 ? "\r\n" : "AQ==\r\n")) return Lost();
  }
  return FinishBearer(user, token, name, line, payload);
}

MailResult ImapClient::FinishBearer(const std::string& user, const std::string& token,
                                    const char* mechanism, const std::string& tagged,
                                    const std::string& payload) {
  if (Judge(tagged) == Verdict::kOk) {
    user_ = user;
    password_.clear();
    bearer_token_ = token;
    logged_in_ = true;
    CLog::Instance()->Write(LOG_INFO, "%s authenticated with %s", user.c_str(), mechanism);
    if (HasCapability("ID")) Identify();
    return IsConnected() ? MailResult::Ok() : Lost();
  }
  MailResult refused = MailResult::Refusal(tagged);
  std::string text = refused.text() + (payload.empty() ? std::string() : " " + payload);
  CLog::Instance()->Write(LOG_WARNING, "%s refused by %s: %s", mechanism, server_.c_str(),
                          text.c_str());
  refusal_ = MailResult(refused.status(), refused.code(), text);
  return refusal_;
}

#include "TokenServer.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "ServerProcess.h"
#include "platform/FileHelpers.h"
#include "platform/HttpClient.h"

#ifndef TANDREL_TOKEN_SERVER
#define TANDREL_TOKEN_SERVER "token_server.py"
#endif

TokenServer::TokenServer() : dir_(std::make_unique<TempDir>("tokens")) {}

TokenServer::~TokenServer() {
  if (pid_ > 0) ServerProcess::StopGroup(pid_);
}

bool TokenServer::Start(int lifetime_s) {
  ServerProcess::WriteText(dir_->Sub("tokens"), "");
  pid_ = ServerProcess::Spawn({"/usr/bin/python3", TANDREL_TOKEN_SERVER, dir_->Sub("tokens"),
                               dir_->Sub("port"), std::to_string(lifetime_s)},
                              dir_->Sub("log"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (pid_ > 0 && !FileExists(dir_->Sub("port"))) {
    if (!ServerProcess::Alive(pid_) || std::chrono::steady_clock::now() > deadline) {
      error_ = "the token server did not start: " + LogText();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  port_ = std::atoi(ReadFileBytes(dir_->Sub("port")).c_str());
  if (pid_ <= 0 || port_ <= 0) error_ = "the token server did not start";
  return error_.empty();
}

std::string TokenServer::IntrospectionUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/introspect";
}

std::string TokenServer::Grant(const std::string& user, int lifetime_s) {
  std::string token = "tok-" + std::to_string(++granted_) + "-" + std::to_string(::time(nullptr));
  ServerProcess::WriteText(
      dir_->Sub("tokens"),
      token + " " + user + " " + std::to_string(::time(nullptr) + lifetime_s) + "\n", true);
  return token;
}

void TokenServer::RevokeAll() {
  HttpClient::PostForm("http://127.0.0.1:" + std::to_string(port_) + "/revoke", {});
}

OAuthProvider TokenServer::Provider() const {
  std::string base = "http://127.0.0.1:" + std::to_string(port_);
  OAuthProvider p;
  p.authorization_endpoint = base + "/authorize";
  p.token_endpoint = base + "/token";
  p.device_authorization_endpoint = base + "/device";
  p.client_id = "tandrel-test";
  p.scope = "mail";
  return p;
}

std::string TokenServer::LogText() const { return ReadFileBytes(dir_->Sub("log")); }

#include "Imap4dServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ServerProcess.h"

namespace {

constexpr const char* kImap4d = "/usr/sbin/imap4d";
constexpr const char* kDomain = "example.com";

}  // namespace

Imap4dServer::Imap4dServer(Store store) : dir_(std::make_unique<TempDir>("imap4d")), store_(store) {
  ::chmod(dir_->path().c_str(), 0755);
  ::mkdir(dir_->Sub("domains").c_str(), 0755);
  ::mkdir(dir_->Sub("home").c_str(), 0755);
  ::mkdir(dir_->Sub("spool").c_str(), 0755);
}

Imap4dServer::~Imap4dServer() { Stop(); }

bool Imap4dServer::Installed() {
  return ::access(kImap4d, X_OK) == 0 && ::access("/usr/bin/openssl", X_OK) == 0;
}

std::string Imap4dServer::LogText() const {
  return ReadFileBytes(dir_->Sub("imap4d.log")) + ReadFileBytes(dir_->Sub("tools.log"));
}

bool Imap4dServer::AddUser(const std::string& user, const std::string& password) {
  size_t at = user.find('@');
  if (at == std::string::npos || at == 0 || user.substr(at + 1) != kDomain ||
      user.find_first_of(":\r\n") != std::string::npos ||
      password.find_first_of("\r\n") != std::string::npos)
    return false;
  std::string hash_file = dir_->Sub("hash");
  ::unlink(hash_file.c_str());
  if (!ServerProcess::Run({"/usr/bin/openssl", "passwd", "-6", "-stdin"}, hash_file,
                          password + "\n"))
    return false;
  std::string hash = ReadFileBytes(hash_file);
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  std::string local = user.substr(0, at);
  std::string line = local + ":" + hash + ":" + std::to_string(::geteuid()) + ":" +
                     std::to_string(::getegid()) + "::" + dir_->Sub("home/" + local) + ":/bin/sh\n";
  return ServerProcess::WriteText(dir_->Sub("domains/") + kDomain, line, true);
}

bool Imap4dServer::WriteConfig() {
  const char* type = store_ == Store::kMaildir ? "maildir" : "mbox";
  std::string conf = "mode daemon;\nforeground yes;\npidfile \"" + dir_->Sub("imap4d.pid") +
                     "\";\n"
                     "logging { syslog no; };\n"
                     "server 127.0.0.1:" +
                     std::to_string(imap_port_) +
                     " { };\n"
                     // The address's local part names the entry of the domain's file; the
                     // password is checked against its crypt hash.
                     "auth { authentication generic; authorization virtdomain; };\n"
                     "virtdomain { passwd-dir \"" +
                     dir_->Sub("domains") +
                     "\"; };\n"
                     "mailbox { mailbox-type " +
                     type + "; mail-spool \"" + dir_->Sub("spool") +
                     "\"; };\n"
                     "create-home-dir yes;\n";
  if (!ServerProcess::WriteText(dir_->Sub("imap4d.conf"), conf)) {
    error_ = "cannot write the imap4d configuration";
    return false;
  }
  return true;
}

bool Imap4dServer::Start() {
  if (pid_ > 0) return true;
  // A port picked free can be taken by a parallel test before imap4d binds it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    imap_port_ = ServerProcess::FreeLoopbackPort();
    if (imap_port_ == 0 || !WriteConfig()) continue;
    pid_ = ServerProcess::Spawn(
        {kImap4d, "--no-site-config", "--config-file=" + dir_->Sub("imap4d.conf")},
        dir_->Sub("imap4d.log"));
    if (pid_ > 0 && ServerProcess::WaitForPort(pid_, imap_port_, "imap4d", error_)) return true;
    Stop();
  }
  if (error_.empty()) error_ = "cannot start imap4d";
  return false;
}

void Imap4dServer::Stop() {
  if (pid_ <= 0) return;
  ServerProcess::StopGroup(pid_);
  pid_ = -1;
}

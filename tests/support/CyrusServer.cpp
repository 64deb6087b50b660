#include "CyrusServer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "ServerProcess.h"

namespace {

constexpr const char* kBin = "/usr/lib/cyrus/bin/";
constexpr const char* kSaslPasswd = "/usr/sbin/saslpasswd2";
constexpr const char* kDomain = "example.com";

// Where scripts/setup unpacks the cyrus-imapd package.
std::string Imapd() {
  const char* root = std::getenv("TANDREL_CYRUS_ROOT");
  std::string unpacked =
      std::string(root != nullptr ? root : "/opt/tandrel-cyrus") + "/usr/lib/cyrus/bin/imapd";
  if (::access(unpacked.c_str(), X_OK) == 0) return unpacked;
  return std::string(kBin) + "imapd";
}

// The SASL realm of a login: the host name the server runs under.
std::string Realm() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

CyrusServer::CyrusServer() : dir_(std::make_unique<TempDir>("cyrus")) {
  ::chmod(dir_->path().c_str(), 0755);
}

CyrusServer::~CyrusServer() { Stop(); }

bool CyrusServer::Installed() {
  return ::geteuid() == 0 && ::getpwnam("cyrus") != nullptr &&
         ::access((std::string(kBin) + "master").c_str(), X_OK) == 0 &&
         ::access(Imapd().c_str(), X_OK) == 0 && ::access(kSaslPasswd, X_OK) == 0;
}

std::string CyrusServer::LogText() const {
  return ReadFileBytes(dir_->Sub("master.log")) + ReadFileBytes(dir_->Sub("tools.log"));
}

bool CyrusServer::AddUser(const std::string& user, const std::string& password) {
  size_t at = user.find('@');
  std::string local = user.substr(0, at);
  if (local.empty() || password.find_first_of("\r\n") != std::string::npos) return false;
  if (at != std::string::npos && user.substr(at + 1) != kDomain) return false;
  std::string db = dir_->Sub("sasldb2");
  if (!ServerProcess::Run({kSaslPasswd, "-p", "-c", "-f", db, "-u", Realm(), local},
                          dir_->Sub("tools.log"), password + "\n"))
    return false;
  const passwd* cyrus = ::getpwnam("cyrus");
  return cyrus != nullptr && ::chown(db.c_str(), cyrus->pw_uid, cyrus->pw_gid) == 0;
}

bool CyrusServer::WriteConfig() {
  const std::string d = dir_->path() + "/";
  for (const char* sub :
       {"conf", "conf/db", "conf/proc", "conf/socket", "conf/log", "conf/lock", "conf/quota",
        "conf/user", "conf/sieve", "conf/ptclient", "conf/msg", "part", "run"})
    ::mkdir((d + sub).c_str(), 0750);
  std::string imapd = "configdirectory: " + d + "conf\n" + "defaultpartition: default\n" +
                      "partition-default: " + d + "part\n" +
                      "sasl_pwcheck_method: auxprop\nsasl_auxprop_plugin: sasldb\n" +
                      "sasl_sasldb_path: " + d + "sasldb2\nsasl_mech_list: PLAIN LOGIN\n" +
                      "allowplaintext: yes\nvirtdomains: userid\n"
                      // Addresses of this domain log in with the local part in the SASL
                      // realm of the host.
                      "defaultdomain: " +
                      kDomain + "\n" +
                      // The layout a new user meets: every folder under INBOX, "/" between.
                      "altnamespace: no\nunixhierarchysep: yes\n"
                      // Every login gets its INBOX, without an administrator.
                      "autocreate_quota: 0\n" +
                      "idlesocket: " + d + "conf/socket/idle\n" + "notifysocket: " + d +
                      "conf/socket/notify\n" + "lmtpsocket: " + d + "conf/socket/lmtp\n";
  std::string conf = d + "imapd.conf";
  std::string cyrus = "START {\n  recover cmd=\"" + std::string(kBin) + "ctl_cyrusdb -C " + conf +
                      " -r\"\n}\nSERVICES {\n  imap cmd=\"" + Imapd() + " -C " + conf +
                      "\" listen=\"127.0.0.1:" + std::to_string(imap_port_) +
                      "\" prefork=0\n}\nEVENTS {\n}\nDAEMON {\n}\n";
  if (!ServerProcess::WriteText(conf, imapd) ||
      !ServerProcess::WriteText(d + "cyrus.conf", cyrus) ||
      !ServerProcess::Run({"chown", "-R", "cyrus:mail", dir_->path()}, d + "tools.log")) {
    error_ = "cannot write the cyrus configuration";
    return false;
  }
  return true;
}

bool CyrusServer::Start() {
  if (master_pid_ > 0) return true;
  // A port picked free can be taken by a parallel test before Cyrus binds it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    imap_port_ = ServerProcess::FreeLoopbackPort();
    if (imap_port_ == 0 || !WriteConfig()) continue;
    const std::string d = dir_->path() + "/";
    master_pid_ = ServerProcess::Spawn({std::string(kBin) + "master", "-C", d + "imapd.conf", "-M",
                                        d + "cyrus.conf", "-p", d + "run/master.pid"},
                                       d + "master.log");
    if (master_pid_ > 0 &&
        ServerProcess::WaitForPort(master_pid_, imap_port_, "cyrus master", error_))
      return true;
    Stop();
  }
  if (error_.empty()) error_ = "cannot start cyrus";
  return false;
}

void CyrusServer::Stop() {
  if (master_pid_ <= 0) return;
  ServerProcess::StopGroup(master_pid_);
  master_pid_ = -1;
}

#include "DovecotServer.h"

#include <grp.h>
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

constexpr const char* kDovecot = "/usr/sbin/dovecot";

using Clock = std::chrono::steady_clock;

bool Run(const std::vector<std::string>& argv, const std::string& log_path) {
  return ServerProcess::Run(argv, log_path);
}
bool WriteText(const std::string& path, const std::string& text, bool append = false) {
  return ServerProcess::WriteText(path, text, append);
}

}  // namespace

DovecotServer::DovecotServer() : DovecotServer(Options{}) {}

DovecotServer::DovecotServer(Options options)
    : options_(options), dir_(std::make_unique<TempDir>("dovecot")) {
  ::chmod(dir_->path().c_str(), 0755);
  WriteText(dir_->Sub("users"), "");
}

DovecotServer::~DovecotServer() { Stop(); }

bool DovecotServer::Installed() { return ::access(kDovecot, X_OK) == 0; }

bool DovecotServer::RequiredByCi() { return ServerProcess::RequiredByCi(); }

bool DovecotServer::AddUser(const std::string& user, const std::string& password) {
  std::string both = user + password;
  if (user.empty() || both.find_first_of(":\r\n") != std::string::npos) return false;
  return WriteText(dir_->Sub("users"), user + ":{PLAIN}" + password + "\n", true);
}

std::string DovecotServer::LogText() const {
  return ReadFileBytes(dir_->Sub("dovecot.log")) + ReadFileBytes(dir_->Sub("tools.log"));
}

bool DovecotServer::LogShows(const std::string& text, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (LogText().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool DovecotServer::MakeCertificates() {
  const std::string d = dir_->path() + "/", log = d + "tools.log";
  const std::string ec = "ec", curve = "ec_paramgen_curve:prime256v1";
  WriteText(d + "server.ext",
            "subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
            "keyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n");
  bool ok = Run({"openssl", "req",
                 "-x509",   "-newkey",
                 ec,        "-pkeyopt",
                 curve,     "-nodes",
                 "-keyout", d + "ca.key",
                 "-out",    d + "ca.pem",
                 "-days",   "2",
                 "-subj",   "/CN=Tandrel Test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                log) &&
            Run({"openssl", "req", "-newkey", ec, "-pkeyopt", curve, "-nodes", "-keyout",
                 d + "key.pem", "-out", d + "server.csr", "-subj", "/CN=localhost"},
                log) &&
            Run({"openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey",
                 d + "ca.key", "-CAcreateserial", "-out", d + "cert.pem", "-days", "2", "-extfile",
                 d + "server.ext"},
                log);
  if (!ok) error_ = "openssl could not make the test certificates";
  return ok;
}

std::string DovecotServer::TrashName() const {
  return options_.inbox_namespace ? "INBOX.Papierkorb" : "Papierkorb";
}

std::string DovecotServer::OptionalConfig() const {
  const Options& o = options_;
  std::string conf, plugins, plugin_settings;
  if (o.inbox_namespace || o.gmail) {
    conf += "namespace inbox {\n  inbox = yes\n";
    conf += o.inbox_namespace ? "  prefix = INBOX.\n  separator = .\n" : "  separator = /\n";
    // A localised name: clients must find it by its special use.
    if (o.gmail)
      conf += "  mailbox Papierkorb {\n    special_use = \\Trash\n    auto = create\n  }\n";
    conf += "}\n";
  }
  if (o.no_idle || o.no_condstore) {
    // Dovecot's own list less IDLE (a server that only answers polls) or
    // less CONDSTORE and QRESYNC.
    conf += std::string("imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE ") +
            (o.no_idle ? "" : "IDLE ") +
            "SORT SORT=DISPLAY THREAD=REFERENCES THREAD=REFS THREAD=ORDEREDSUBJECT MULTIAPPEND "
            "URL-PARTIAL CATENATE UNSELECT CHILDREN NAMESPACE UIDPLUS LIST-EXTENDED "
            "I18NLEVEL=1 " +
            (o.no_condstore ? "" : "CONDSTORE QRESYNC ") +
            "ESEARCH ESORT SEARCHRES WITHIN CONTEXT=SEARCH "
            "LIST-STATUS BINARY MOVE SNIPPET=FUZZY PREVIEW=FUZZY STATUS=SIZE SAVEDATE "
            "LITERAL+ NOTIFY SPECIAL-USE";
    conf += o.gmail ? " X-GM-EXT-1\n" : "\n";
  } else if (o.gmail) {
    conf += "imap_capability = +X-GM-EXT-1\n";
  }
  if (o.id_log) conf += "imap_id_log = *\n";
  if (!o.oauth2_url.empty()) {
    conf += "passdb {\n  driver = oauth2\n  mechanisms = " + o.oauth2_mechanisms +
            "\n  args = " + dir_->Sub("oauth2.conf.ext") + "\n}\n";
  }

  if (o.quota_kib > 0) {
    plugins += " quota";
    plugin_settings +=
        "  quota = maildir:User quota\n  quota_rule = *:storage=" + std::to_string(o.quota_kib) +
        "K\n";
  }
  if (o.mail_log) {
    plugins += " notify mail_log";
    plugin_settings +=
        "  mail_log_events = delete undelete expunge copy mailbox_delete save\n"
        "  mail_log_fields = uid box msgid size flags\n";
  }
  if (!plugins.empty()) conf += "mail_plugins = $mail_plugins" + plugins + "\n";
  std::string imap;
  if (o.quota_kib > 0) imap += "  mail_plugins = $mail_plugins imap_quota\n";
  if (o.max_user_connections > 0)
    imap += "  mail_max_userip_connections = " + std::to_string(o.max_user_connections) + "\n";
  if (!imap.empty()) conf += "protocol imap {\n" + imap + "}\n";
  if (!plugin_settings.empty()) conf += "plugin {\n" + plugin_settings + "}\n";
  return conf;
}

bool DovecotServer::WriteConfig() {
  const std::string& d = dir_->path();
  std::string mail = MailDir();
  ::mkdir(mail.c_str(), 0755);
  // Mail is stored as the static userdb's uid; login processes never run as root.
  const passwd* nobody = ::getpwnam("nobody");
  const group* nogroup = ::getgrnam("nogroup");
  if (nobody == nullptr || nogroup == nullptr ||
      ::chown(mail.c_str(), nobody->pw_uid, nogroup->gr_gid) != 0) {
    error_ = "cannot hand " + mail + " to nobody";
    return false;
  }
  std::string conf = "base_dir = " + d +
                     "/run\n"
                     "state_dir = " +
                     d +
                     "/state\n"
                     "log_path = " +
                     d +
                     "/dovecot.log\n"
                     "protocols = imap\n"
                     "listen = 127.0.0.1\n"
                     "first_valid_uid = 1\n"
                     "ssl = yes\n"
                     "ssl_cert = <" +
                     d +
                     "/cert.pem\n"
                     "ssl_key = <" +
                     d +
                     "/key.pem\n"
                     "disable_plaintext_auth = no\n"
                     "auth_mechanisms = plain login" +
                     (options_.oauth2_url.empty() ? "" : " " + options_.oauth2_mechanisms) +
                     "\n"
                     // Wrong-password cases need no brute-force pause.
                     "auth_failure_delay = 0\n"
                     "service anvil {\n"
                     "  unix_listener anvil-auth-penalty {\n"
                     "    mode = 0\n"
                     "  }\n"
                     "}\n"
                     "mail_location = maildir:" +
                     d +
                     "/mail/%u\n"
                     "default_internal_user = dovecot\n"
                     "default_internal_group = dovecot\n"
                     "default_login_user = dovenull\n"
                     "service imap-login {\n"
                     "  inet_listener imap {\n"
                     "    port = " +
                     std::to_string(imap_port_) +
                     "\n"
                     "  }\n"
                     "  inet_listener imaps {\n"
                     "    port = " +
                     std::to_string(imaps_port_) +
                     "\n"
                     "    ssl = yes\n"
                     "  }\n"
                     "}\n"
                     "passdb {\n"
                     "  driver = passwd-file\n"
                     "  args = scheme=PLAIN username_format=%u " +
                     d +
                     "/users\n"
                     "}\n"
                     "userdb {\n"
                     "  driver = static\n"
                     "  args = uid=nobody gid=nogroup home=" +
                     d +
                     "/mail/%u\n"
                     "}\n" +
                     OptionalConfig();
  if (!options_.oauth2_url.empty() &&
      !WriteText(d + "/oauth2.conf.ext",
                 "introspection_mode = post\nintrospection_url = " + options_.oauth2_url +
                     "\nforce_introspection = yes\nusername_attribute = username\n"
                     "active_attribute = active\nactive_value = true\n")) {
    error_ = "cannot write the oauth2 configuration";
    return false;
  }
  if (!WriteText(d + "/dovecot.conf", conf)) {
    error_ = "cannot write the dovecot configuration";
    return false;
  }
  return true;
}

bool DovecotServer::Launch() {
  master_pid_ = ServerProcess::Spawn({kDovecot, "-F", "-c", dir_->Sub("dovecot.conf")},
                                     dir_->Sub("tools.log"));
  if (master_pid_ < 0) {
    error_ = "cannot start dovecot";
    return false;
  }
  return true;
}

bool DovecotServer::WaitForPorts() {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (!ServerProcess::Alive(master_pid_)) {
      master_pid_ = -1;
      error_ = "dovecot ended at start-up";
      return false;
    }
    if (ServerProcess::PortAnswers(imap_port_) && ServerProcess::PortAnswers(imaps_port_))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  error_ = "dovecot's ports did not answer within 10 s";
  return false;
}

bool DovecotServer::Start() {
  if (master_pid_ > 0) return true;
  if (!MakeCertificates()) return false;
  // A port picked free can be taken by a parallel test before Dovecot binds it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    imap_port_ = ServerProcess::FreeLoopbackPort();
    imaps_port_ = ServerProcess::FreeLoopbackPort();
    if (imap_port_ == 0 || imaps_port_ == 0 || imap_port_ == imaps_port_) continue;
    if (!WriteConfig() || !Launch()) return false;
    if (WaitForPorts()) return true;
    Stop();
  }
  return false;
}

bool DovecotServer::Restart() {
  if (imap_port_ == 0) return Start();
  Stop();
  // The ports were ours a moment ago; a parallel test that takes one in
  // between makes the restart fail rather than move.
  return Launch() && WaitForPorts();
}

void DovecotServer::Stop() {
  if (master_pid_ <= 0) return;
  // Children told at once end faster than through the master's own round.
  ServerProcess::StopGroup(master_pid_);
  master_pid_ = -1;
}

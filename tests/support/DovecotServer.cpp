#include "DovecotServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";

using Clock = std::chrono::steady_clock;

// Runs a program to its end with output to log_path; true on exit status 0.
bool Run(const std::vector<std::string>& argv, const std::string& log_path) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

bool PortAnswers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool WriteText(const std::string& path, const std::string& text, bool append = false) {
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace

DovecotServer::DovecotServer() : dir_(std::make_unique<TempDir>("dovecot")) {
  ::chmod(dir_->path().c_str(), 0755);
  WriteText(dir_->Sub("users"), "");
}

DovecotServer::~DovecotServer() { Stop(); }

bool DovecotServer::Installed() { return ::access(kDovecot, X_OK) == 0; }

bool DovecotServer::RequiredByCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

bool DovecotServer::AddUser(const std::string& user, const std::string& password) {
  std::string both = user + password;
  if (user.empty() || both.find_first_of(":\r\n") != std::string::npos) return false;
  return WriteText(dir_->Sub("users"), user + ":{PLAIN}" + password + "\n", true);
}

std::string DovecotServer::LogText() const {
  return ReadFileBytes(dir_->Sub("dovecot.log")) + ReadFileBytes(dir_->Sub("tools.log"));
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
                     "auth_mechanisms = plain login\n"
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
                     "}\n";
  if (!WriteText(d + "/dovecot.conf", conf)) {
    error_ = "cannot write the dovecot configuration";
    return false;
  }
  return true;
}

bool DovecotServer::Launch() {
  std::string conf = dir_->Sub("dovecot.conf"), out = dir_->Sub("tools.log");
  std::vector<std::string> argv{kDovecot, "-F", "-c", conf};
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    error_ = "cannot start dovecot";
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec. Its own process group, led by
    // the master, so that Stop reaches every server process; and a test
    // process that dies without running Stop still takes the server along.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execv(kDovecot, args.data());
    ::_exit(127);
  }
  master_pid_ = pid;
  return true;
}

bool DovecotServer::WaitForPorts() {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(master_pid_, &status, WNOHANG) == master_pid_) {
      master_pid_ = -1;
      error_ = "dovecot ended at start-up";
      return false;
    }
    if (PortAnswers(imap_port_) && PortAnswers(imaps_port_)) return true;
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
    imap_port_ = FreeLoopbackPort();
    imaps_port_ = FreeLoopbackPort();
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
  ::kill(-master_pid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (::waitpid(master_pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(-master_pid_, SIGKILL);
      ::waitpid(master_pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  master_pid_ = -1;
}

#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "TempDir.h"

// A private Dovecot IMAP server on 127.0.0.1 for integration tests: its own
// configuration, test CA and "localhost" certificate, passwd-file users and
// maildir storage in a temp dir, a plain and a TLS port picked free. Stopped
// through its master pid (the server's process group) when the object goes,
// and by the kernel when the test process dies first.
// Thread contract: one test thread only.
//
// Tests that speak TLS point SSL_CERT_FILE at CaFile().
class DovecotServer {
 public:
  // Layouts and provider habits beside the plain default.
  struct Options {
    bool inbox_namespace = false;  // personal folders under "INBOX." with "." between
    uint64_t quota_kib = 0;        // quota + imap_quota plugins with this STORAGE rule
    bool gmail = false;            // +X-GM-EXT-1 and a \Trash folder named TrashName()
    bool id_log = false;           // imap_id_log = *: the client's ID in the log
    bool mail_log = false;         // mail_log plugin: saves, copies, expunges in the log
    bool no_idle = false;          // the usual capabilities without IDLE
    bool no_condstore = false;     // the usual capabilities without CONDSTORE and QRESYNC
    int max_user_connections = 0;  // mail_max_userip_connections, where > 0
    // An oauth2 passdb asking this introspection URL (a TokenServer's), for
    // the SASL mechanisms named ("xoauth2 oauthbearer").
    std::string oauth2_url;
    std::string oauth2_mechanisms = "xoauth2 oauthbearer";
  };

  DovecotServer();
  explicit DovecotServer(Options options);
  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  static bool Installed();
  // CI=true: a missing Dovecot must fail the test, not skip it.
  static bool RequiredByCi();

  // Writes everything, starts the server and waits until both ports answer.
  // False with Error() set.
  bool Start();
  void Stop();
  // Stops the server and starts it again on the same ports and mail store,
  // as an administrator's restart does. False with Error() set.
  bool Restart();

  // Adds a login (before or after Start). The passwd-file format forbids ':'
  // and line ends. False when the user cannot be added.
  bool AddUser(const std::string& user, const std::string& password);

  int ImapPort() const { return imap_port_; }
  int ImapsPort() const { return imaps_port_; }
  // The test CA that signed the server certificate (PEM).
  std::string CaFile() const { return dir_->Sub("ca.pem"); }
  // Maildir root; each user's mailbox is MailDir() + "/" + user.
  std::string MailDir() const { return dir_->Sub("mail"); }
  const std::string& Dir() const { return dir_->path(); }
  const std::string& Error() const { return error_; }
  // The special-use \Trash folder of the gmail option, as LIST names it.
  std::string TrashName() const;
  std::string LogText() const;
  // Whether the log holds text within timeout_ms: Dovecot's log process
  // writes a line a moment after the command it tells of was answered.
  bool LogShows(const std::string& text, int timeout_ms = 5000) const;

 private:
  bool MakeCertificates();
  bool WriteConfig();
  bool Launch();
  bool WaitForPorts();

  std::string OptionalConfig() const;

  Options options_;
  std::unique_ptr<TempDir> dir_;
  std::string error_;
  pid_t master_pid_ = -1;
  int imap_port_ = 0;
  int imaps_port_ = 0;
};

// Starts `server` in a test body or SetUp: skips without Dovecot, except in
// CI, where that fails.
#define TANDREL_START_DOVECOT(server)                                                \
  do {                                                                               \
    if (!DovecotServer::Installed()) {                                               \
      if (DovecotServer::RequiredByCi()) FAIL() << "dovecot is not installed";       \
      GTEST_SKIP() << "dovecot is not installed";                                    \
    }                                                                                \
    ASSERT_TRUE((server).Start()) << (server).Error() << "\n" << (server).LogText(); \
  } while (0)

#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "ServerProcess.h"
#include "TempDir.h"

// A private Cyrus IMAP server on 127.0.0.1: Debian's cyrus-imapd run by its
// master with its own imapd.conf and cyrus.conf in a temp dir, users in a
// sasldb made with saslpasswd2, "virtdomains: userid" so that addresses log
// in; personal folders under "INBOX/" (altnamespace off, "/" between). The
// imapd binary comes from the package unpacked by scripts/setup (it conflicts
// with dovecot-imapd, so it is not installed). Plain port only, picked free.
// Stopped through its master's process group when the object goes, and by
// the kernel when the test process dies first.
// Thread contract: one test thread only.
class CyrusServer {
 public:
  CyrusServer();
  ~CyrusServer();
  CyrusServer(const CyrusServer&) = delete;
  CyrusServer& operator=(const CyrusServer&) = delete;

  // The binaries, the "cyrus" account and root (the master changes to it).
  static bool Installed();

  bool Start();
  void Stop();
  // A login of the domain example.com (an address, or its local part).
  bool AddUser(const std::string& user, const std::string& password);

  int ImapPort() const { return imap_port_; }
  const std::string& Error() const { return error_; }
  std::string LogText() const;

 private:
  bool WriteConfig();

  std::unique_ptr<TempDir> dir_;
  std::string error_;
  pid_t master_pid_ = -1;
  int imap_port_ = 0;
};

// Starts `server` in a test body or SetUp: skips without Cyrus, except in CI,
// where that fails.
#define TANDREL_START_CYRUS(server)                                                  \
  do {                                                                               \
    if (!CyrusServer::Installed()) {                                                 \
      if (ServerProcess::RequiredByCi()) FAIL() << "cyrus-imapd is not available";   \
      GTEST_SKIP() << "cyrus-imapd is not available (scripts/setup unpacks it)";     \
    }                                                                                \
    ASSERT_TRUE((server).Start()) << (server).Error() << "\n" << (server).LogText(); \
  } while (0)

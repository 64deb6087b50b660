#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "ServerProcess.h"
#include "TempDir.h"

// A private GNU mailutils imap4d on 127.0.0.1: Debian's mailutils-imap4d as a
// foreground daemon with its own configuration in a temp dir. Logins are
// addresses of example.com in a virtual-domain password file (crypt hashes),
// each mapped to this process's own uid; folders are in the login's home
// below the temp dir, as maildir or mbox. Plain port only, picked free.
// Stopped through its process group when the object goes, and by the kernel
// when the test process dies first.
// Thread contract: one test thread only.
class Imap4dServer {
 public:
  enum class Store { kMaildir, kMbox };

  explicit Imap4dServer(Store store);
  ~Imap4dServer();
  Imap4dServer(const Imap4dServer&) = delete;
  Imap4dServer& operator=(const Imap4dServer&) = delete;

  static bool Installed();

  bool Start();
  void Stop();
  // A login of the domain example.com: an address.
  bool AddUser(const std::string& user, const std::string& password);

  int ImapPort() const { return imap_port_; }
  const std::string& Error() const { return error_; }
  std::string LogText() const;

 private:
  bool WriteConfig();

  std::unique_ptr<TempDir> dir_;
  Store store_;
  std::string error_;
  pid_t pid_ = -1;
  int imap_port_ = 0;
};

// Starts `server` in a test body or SetUp: skips without imap4d, except in CI,
// where that fails.
#define TANDREL_START_IMAP4D(server)                                                 \
  do {                                                                               \
    if (!Imap4dServer::Installed()) {                                                \
      if (ServerProcess::RequiredByCi()) FAIL() << "imap4d is not available";        \
      GTEST_SKIP() << "imap4d is not available (scripts/setup installs it)";         \
    }                                                                                \
    ASSERT_TRUE((server).Start()) << (server).Error() << "\n" << (server).LogText(); \
  } while (0)

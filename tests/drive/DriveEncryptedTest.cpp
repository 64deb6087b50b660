// An encrypted drive through tandrel-cli on a real Dovecot: every stored
// message, read with Python's email package, names nothing and shows no
// content; a second machine with the passphrase shows the same tree, one
// with a wrong passphrase is refused and writes nothing; the exported
// identity opens the stored parts with Debian's age; a new passphrase
// replaces the old one.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "TempDir.h"

namespace {

constexpr const char* kUser = "sealed@example.org";
constexpr const char* kPassword = "secret";

bool UploadsDone(CliMachine& machine) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  std::string out;
  while (std::chrono::steady_clock::now() < deadline) {
    machine.Cli("status", out);
    if (out.find("up to date") != std::string::npos &&
        out.find("Uploads:     0") != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

TEST(DriveEncryptedTest, SealedTreeTravelsAndAWrongPassphraseWritesNothing) {
  TempDir dir{"encrypted"};
  DovecotServer server;
  TANDREL_START_DOVECOT(server);
  ASSERT_TRUE(server.AddUser(kUser, kPassword));
  std::string port = std::to_string(server.ImapPort());
  std::vector<std::string> args = {"--user", kUser, "--server", "127.0.0.1", "--port", port};
  std::string src = dir.Sub("src"), out;
  ASSERT_EQ(Shell("set -e; mkdir -p " + Quote(src + "/机密项目") + "; head -c 25000000 " +
                  "/dev/urandom > " + Quote(src + "/机密项目/季度报告.xlsx") +
                  "; echo 'the launch code is 0000' > " + Quote(src + "/notes-secret.txt")),
            0);

  ScopedEnv passphrase("TANDREL_PASSPHRASE", "correct horse battery");
  CliMachine a(dir.Sub("a"), kUser, kPassword, server.ImapPort());
  std::vector<std::string> encrypt = args;
  encrypt.push_back("--encrypt");
  a.SetMountArgs(encrypt);
  ASSERT_TRUE(a.Mount()) << a.Output();
  ASSERT_EQ(Shell("cp -r " + Quote(src) + "/. " + Quote(a.MountPoint())), 0);
  ASSERT_TRUE(UploadsDone(a)) << a.Output();
  EXPECT_EQ(Shell("python3 " + Quote(TANDREL_SCAN_STORAGE) + " " + Quote(server.MailDir()) +
                  " 季度报告 机密项目 notes-secret xlsx 'launch code' folder.txt"),
            0);

  CliMachine b(dir.Sub("b"), kUser, kPassword, server.ImapPort());
  b.SetMountArgs(args);
  ASSERT_TRUE(b.Mount()) << b.Output();
  EXPECT_TRUE(ShellEventually("diff -r " + Quote(src) + " " + Quote(b.MountPoint()), 60000));
  // A user who leaves: the exported identity opens a part with age.
  std::string identity = dir.Sub("identity.txt");
  ASSERT_EQ(b.Cli("key export " + Quote(identity), out), 0) << out;
  EXPECT_EQ(Shell("python3 " + Quote(TANDREL_SCAN_STORAGE) + " --age " + Quote(server.MailDir()) +
                  " " + Quote(identity) + " " + Quote(src + "/notes-secret.txt")),
            0);

  // A new passphrase rewrites the key message: both machines keep working,
  // the old passphrase no longer opens the drive, the new one does.
  {
    ScopedEnv fresh("TANDREL_NEW_PASSPHRASE", "new horse"), password("TANDREL_PASSWORD", kPassword);
    ASSERT_EQ(b.Cli("passphrase", out), 0) << out;
  }
  ASSERT_EQ(Shell("echo after > " + Quote(a.MountPoint() + "/after.txt")), 0);
  EXPECT_TRUE(ShellEventually("test -f " + Quote(b.MountPoint() + "/after.txt"), 60000));
  CliMachine c(dir.Sub("c"), kUser, kPassword, server.ImapPort());
  c.SetMountArgs(args);
  EXPECT_FALSE(c.Mount(10000));
  EXPECT_EQ(c.WaitExit(), 1);
  EXPECT_NE(c.Output().find("wrong passphrase"), std::string::npos) << c.Output();
  EXPECT_NE(Shell("test -e " + Quote(c.CacheDir())), 0) << "no cache was made";
  ScopedEnv renewed("TANDREL_PASSPHRASE", "new horse");
  ASSERT_TRUE(c.Mount()) << c.Output();
  EXPECT_TRUE(ShellEventually("test -f " + Quote(c.MountPoint() + "/after.txt"), 60000));
  EXPECT_EQ(c.Terminate(), 0) << c.Output();
  EXPECT_EQ(a.Terminate(), 0) << a.Output();
  EXPECT_EQ(b.Terminate(), 0) << b.Output();
}

}  // namespace

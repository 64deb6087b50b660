#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ScriptedPeer.h"
#include "TempDir.h"
#include "cli/AccountLogin.h"
#include "cli/CliCommands.h"
#include "cli/MountCommand.h"
#include "platform/Locations.h"
#include "store/HeldDeletions.h"
#include "store/MailboxQueries.h"

namespace {

TEST(AccountLoginTest, SslRuleAndPorts) {
  EXPECT_TRUE(AccountLogin::UsesSsl("someone@gmail.com"));
  EXPECT_FALSE(AccountLogin::UsesSsl("SOMEONE@GMAIL.COM"));
  EXPECT_FALSE(AccountLogin::UsesSsl("@gmail.com")) << "the first character does not count";
  EXPECT_FALSE(AccountLogin::UsesSsl("someone@example.org"));

  AccountRecord gmail = AccountLogin::Build("a@gmail.com", "pw", "imap.gmail.com", 0, false);
  EXPECT_EQ(gmail.port, 993);
  EXPECT_EQ(gmail.ssl_flag, 1);
  AccountRecord plain = AccountLogin::Build("a@example.org", "pw", "imap.example.org", 0, false);
  EXPECT_EQ(plain.port, 143);
  EXPECT_EQ(plain.ssl_flag, 0);
  EXPECT_EQ(plain.type, 1);
  EXPECT_EQ(plain.is_default, 1);
  EXPECT_EQ(plain.pwd, "pw");
  AccountRecord forced = AccountLogin::Build("a@example.org", "pw", "h", 0, true);
  EXPECT_EQ(forced.port, 993);
  EXPECT_EQ(forced.ssl_flag, 1);
  EXPECT_EQ(AccountLogin::Build("a@example.org", "pw", "h", 1143, false).port, 1143);
}

TEST(MountCommandTest, ParsesItsOptions) {
  MountCommand::Options o;
  std::string error;
  ASSERT_TRUE(MountCommand::Parse(
      {"--user", "u@x", "--server", "h", "--port", "1993", "--ssl", "--mountpoint", "/tmp/m"}, o,
      error))
      << error;
  EXPECT_EQ(o.user, "u@x");
  EXPECT_EQ(o.server, "h");
  EXPECT_EQ(o.port, 1993);
  EXPECT_TRUE(o.ssl);
  EXPECT_EQ(o.mount_point, "/tmp/m");

  MountCommand::Options bad;
  EXPECT_FALSE(MountCommand::Parse({"--user", "u@x"}, bad, error));
  EXPECT_FALSE(MountCommand::Parse({"--user", "u@x", "--server", "h", "--port", "0"}, bad, error));
  EXPECT_FALSE(
      MountCommand::Parse({"--user", "u@x", "--server", "h", "--port", "12x"}, bad, error));
  EXPECT_FALSE(MountCommand::Parse({"--user", "u@x", "--server", "h", "--what"}, bad, error));
  // The address names the account's database and cache folder.
  for (const char* user : {"u", "u@", "../u@x", "a/u@x", "a\\u@x"}) {
    EXPECT_FALSE(MountCommand::Parse({"--user", user, "--server", "h"}, bad, error)) << user;
  }
  EXPECT_FALSE(MountCommand::Parse({"--user"}, bad, error));
  MountCommand::Options help;
  EXPECT_TRUE(MountCommand::Parse({"--help"}, help, error));
  EXPECT_TRUE(help.help);
  for (const char* option :
       {"--user", "--server", "--port", "--ssl", "--mountpoint", "--help", "TANDREL_PASSWORD"}) {
    EXPECT_NE(std::string(MountCommand::HelpText()).find(option), std::string::npos) << option;
  }
}

TEST(MountCommandTest, MountPointChoice) {
  ScopedEnv home("HOME", "/home/someone");
  MountCommand::Options o;
  {
    ScopedEnv none("TANDREL_MOUNTPOINT", "");
    EXPECT_EQ(MountCommand::MountPointFor(o), "/home/someone/Tandrel");
  }
  ScopedEnv env("TANDREL_MOUNTPOINT", "/srv/drive");
  EXPECT_EQ(MountCommand::MountPointFor(o), "/srv/drive");
  o.mount_point = "/mnt/x";
  EXPECT_EQ(MountCommand::MountPointFor(o), "/mnt/x");
}

}  // namespace

namespace {

int RunCli(const std::vector<std::string>& args, std::string& out, std::string& err) {
  std::ostringstream o, e;
  int rc = CliCommands::Main(args, o, e);
  out = o.str();
  err = e.str();
  return rc;
}

TEST(CliCommandsTest, HelpListsEverySubcommandAndVersionAnswers) {
  std::string out, err;
  EXPECT_EQ(RunCli({"--help"}, out, err), 0);
  for (const char* word : {"mount", "unmount", "status", "--version", "--remember"})
    EXPECT_NE(out.find(word), std::string::npos) << word;
  EXPECT_EQ(RunCli({}, out, err), 2);
  EXPECT_NE(err.find("unmount"), std::string::npos);
  EXPECT_EQ(RunCli({"--version"}, out, err), 0);
  EXPECT_EQ(out.rfind("tandrel-cli ", 0), 0u) << out;
  EXPECT_EQ(RunCli({"frobnicate"}, out, err), 2);
  EXPECT_EQ(RunCli({"status", "--all"}, out, err), 2);
  EXPECT_EQ(RunCli({"mount", "--server", "h"}, out, err), 2) << "a server needs its user";
}

TEST(CliCommandsTest, StatusAndUnmountSayWhenNothingIsMounted) {
  TempDir dir("clistatus");
  ScopedEnv home("HOME", dir.path());
  ScopedEnv data("XDG_DATA_HOME", dir.Sub("share"));
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  std::string out, err;
  EXPECT_EQ(RunCli({"status"}, out, err), 1);
  EXPECT_NE(err.find("no account has been signed in"), std::string::npos) << err;
  ASSERT_TRUE(AccountLogin::Store(AccountLogin::Build("a@example.org", "", "h", 0, false)));
  EXPECT_EQ(RunCli({"status"}, out, err), 3);
  EXPECT_EQ(out, "Not mounted: a@example.org is not mounted anywhere\n");
  EXPECT_EQ(RunCli({"unmount"}, out, err), 3);
  EXPECT_NE(out.find("Not mounted"), std::string::npos);

  // Deletions held by the engine are listed, and the answer is recorded.
  EXPECT_EQ(RunCli({"deletions", "maybe"}, out, err), 2);
  EXPECT_EQ(RunCli({"deletions"}, out, err), 0);
  EXPECT_EQ(out, "No deletions wait for you.\n");
  ASSERT_TRUE(MailboxQueries("a@example.org").Migrate());
  HeldDeletions held(DataDir(), "a@example.org");
  ASSERT_TRUE(held.Hold("2 files vanished from the mailbox", {{"\\docs\\a", 1}, {"\\b", 2}}));
  EXPECT_EQ(RunCli({"deletions"}, out, err), 0);
  EXPECT_EQ(out.rfind("2 files vanished from the mailbox:\n  b\n  docs/a\n", 0), 0u) << out;
  EXPECT_EQ(RunCli({"deletions", "keep"}, out, err), 0);
  HeldDeletions::State state;
  ASSERT_TRUE(held.Read(state));
  EXPECT_EQ(state.decision, HeldDeletions::Decision::kKeep);
}

}  // namespace

namespace {

// Mounts against a scripted server; the exit code, stderr in err.
int MountAgainst(ScriptedPeer& peer, const TempDir& dir, std::string& out, std::string& err) {
  peer.Start();
  std::ostringstream captured;
  std::streambuf* kept = std::cerr.rdbuf(captured.rdbuf());
  std::string ignored;
  int rc = RunCli({"mount", "--user", "u@example.com", "--server", "127.0.0.1", "--port",
                   std::to_string(peer.Port()), "--mountpoint", dir.Sub("mnt")},
                  out, ignored);
  std::cerr.rdbuf(kept);
  err = captured.str();
  peer.Received();
  EXPECT_TRUE(peer.Ok());
  return rc;
}

// A refused login, and a server that keeps personal folders under "INBOX."
// and will not create the folder: the mount stops before mounting, in the
// server's own words.
TEST(CliCommandsTest, MountStopsWithTheServersTextWhenRefused) {
  TempDir dir("clirefused");
  ScopedEnv home("HOME", dir.path());
  ScopedEnv data("XDG_DATA_HOME", dir.Sub("share"));
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "");
  ScopedEnv password("TANDREL_PASSWORD", "pw");
  std::string out, err;
  ScriptedPeer login;
  login.Say("* OK ready\r\n")
      .Await("login")
      .Say("tag1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
  EXPECT_NE(MountAgainst(login, dir, out, err), 0);
  EXPECT_NE(err.find(AccountLogin::kFailedText), std::string::npos) << err;
  EXPECT_NE(err.find("NO [AUTHENTICATIONFAILED] Authentication failed."), std::string::npos)
      << err;

  ScriptedPeer create;
  create.Say("* OK ready\r\n")
      .Await("login")
      .Say("tag1 OK [CAPABILITY IMAP4rev1 NAMESPACE] in\r\n")
      .Await("NAMESPACE")
      .Say("* NAMESPACE ((\"INBOX.\" \".\")) NIL NIL\r\ntag1 OK done\r\n")
      .Await("LIST")
      .Say("tag1 OK done\r\n")
      .Await("LIST")
      .Say("tag1 OK done\r\n")
      .Await("create INBOX.tandrel")
      .Say("tag1 NO [NOPERM] Permission denied\r\n");
  EXPECT_NE(MountAgainst(create, dir, out, err), 0);
  EXPECT_NE(err.find("NO [NOPERM] Permission denied"), std::string::npos) << err;
  EXPECT_EQ(out.find("Mounted"), std::string::npos);
}

}  // namespace

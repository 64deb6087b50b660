// Undo through two real mounts on one Dovecot: rm -rf of a folder on A is
// brought back from B's terminal, byte for byte on both; a file edited
// three times lists its versions, and the first comes back as its content.
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "TempDir.h"

namespace {

constexpr const char* kUser = "undo@example.org";
constexpr const char* kPassword = "secret";
constexpr int kSyncMs = 60000;

TEST(DriveUndoTest, RmRfOnOneMachineIsRestoredFromAnotherAndVersionsComeBack) {
  TempDir dir{"undo"};
  DovecotServer server;
  TANDREL_START_DOVECOT(server);
  ASSERT_TRUE(server.AddUser(kUser, kPassword));
  std::string src = dir.Sub("src"), out;
  ASSERT_EQ(Shell("set -e; mkdir -p " + Quote(src + "/work/deep") + "; head -c 12000000 " +
                  "/dev/urandom > " + Quote(src + "/work/deep/data.bin") + "; echo notes > " +
                  Quote(src + "/work/notes.txt")),
            0);
  CliMachine a(dir.Sub("a"), kUser, kPassword, server.ImapPort());
  CliMachine b(dir.Sub("b"), kUser, kPassword, server.ImapPort());
  ASSERT_TRUE(a.Mount()) << a.Output();
  ASSERT_TRUE(b.Mount()) << b.Output();
  struct LogsOnFailure {
    const CliMachine &a, &b;
    ~LogsOnFailure() {
      if (!::testing::Test::HasFailure()) return;
      for (const CliMachine* m : {&a, &b})
        std::cerr << "log of " << m->Root() << ":\n"
                  << ReadFileBytes(m->Root() + "/share/tandrel/log/tandrel.log") << "\n";
    }
  } logs{a, b};
  const std::string in_a = Quote(a.MountPoint() + "/work"), in_b = Quote(b.MountPoint() + "/work");
  ASSERT_EQ(Shell("cp -r " + Quote(src + "/work") + " " + Quote(a.MountPoint())), 0);
  ASSERT_TRUE(ShellEventually("diff -r " + Quote(src + "/work") + " " + in_b, kSyncMs));

  ASSERT_EQ(Shell("rm -rf " + in_a), 0);
  ASSERT_TRUE(ShellEventually("test ! -e " + in_b, kSyncMs));
  ASSERT_TRUE(b.CliShows("trash", "/work/deep/data.bin", out, kSyncMs)) << out;
  EXPECT_NE(out.find("/work/notes.txt"), std::string::npos) << out;
  EXPECT_TRUE(b.CliShows("status", "trash and versions: 11.4 MiB", out)) << out;
  ASSERT_EQ(b.Cli("trash restore /work", out), 0) << out;
  EXPECT_TRUE(ShellEventually("diff -r " + Quote(src + "/work") + " " + in_b, kSyncMs));
  EXPECT_TRUE(ShellEventually("diff -r " + Quote(src + "/work") + " " + in_a, kSyncMs));
  EXPECT_TRUE(a.CliShows("trash", "The trash is empty", out, kSyncMs)) << out;

  // Three edits of one file on A: three versions on B, the first restored.
  const std::string plan = "/work/notes.txt";
  for (const char* text : {"second", "third", "fourth"}) {
    ASSERT_EQ(Shell(std::string("echo ") + text + " > " + Quote(a.MountPoint() + plan)), 0);
    ASSERT_TRUE(ShellEventually(
        std::string("grep -qx ") + text + " " + Quote(b.MountPoint() + plan), kSyncMs));
  }
  // Edits within an hour keep one version an hour: the newest (third).
  ASSERT_TRUE(b.CliShows("versions " + Quote(b.MountPoint() + plan), "  1  ", out, kSyncMs));
  ASSERT_EQ(b.Cli("versions restore " + Quote(b.MountPoint() + plan) + " 1", out), 0) << out;
  EXPECT_TRUE(ShellEventually("grep -qx third " + Quote(a.MountPoint() + plan), kSyncMs));
  EXPECT_TRUE(ShellEventually("grep -qx third " + Quote(b.MountPoint() + plan), kSyncMs));
  ASSERT_EQ(a.Terminate(), 0) << a.Output();
  ASSERT_EQ(b.Terminate(), 0) << b.Output();
}

}  // namespace

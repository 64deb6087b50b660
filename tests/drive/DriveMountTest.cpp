// The drive mounted for real by tandrel-cli against a private Dovecot,
// driven with ordinary tools; a second machine learns from the mailbox.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "TempDir.h"
#include "platform/FileHelpers.h"
#include "platform/FuseHost.h"

namespace {

constexpr const char* kUser = "drive@example.org";
constexpr const char* kPassword = "secret";
constexpr int kSyncMs = 90000;  // upper bound for a change to reach the other machine

class DriveMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TANDREL_START_DOVECOT(server_);
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
    a_ = NewMachine("a");
    ASSERT_TRUE(a_->Mount()) << a_->Output();
  }

  std::unique_ptr<CliMachine> NewMachine(const std::string& name) {
    return std::make_unique<CliMachine>(dir_.Sub(name), kUser, kPassword, server_.ImapPort());
  }
  std::string A(const std::string& sub = "") { return Quote(a_->MountPoint() + sub); }
  std::string B(const std::string& sub = "") { return Quote(b_->MountPoint() + sub); }
  std::string Src(const std::string& sub = "") { return Quote(dir_.Sub("src") + sub); }
  void StartB() {
    b_ = NewMachine("b");
    ASSERT_TRUE(b_->Mount()) << b_->Output();
  }

  // A tree with the awkward cases: empty and tiny files, one of several
  // parts, names with blanks, quotes and Chinese, nested folders.
  void MakeTree() {
    std::string s = dir_.Sub("src");
    ASSERT_EQ(Shell("set -e; mkdir -p " + Quote(s + "/tree/深 层/n2/n3") + "; cd " + Quote(s) +
                    "/tree; : > empty; printf x > one; head -c 25000000 /dev/urandom > big.bin;"
                    " echo blank > 'with blank.txt'; echo q > \"it's \\\"q\\\".txt\";"
                    " echo 中文 > 文件.txt; echo deep > '深 层/n2/n3/deep.txt'"),
              0);
  }

  TempDir dir_{"mount"};
  DovecotServer server_;
  std::unique_ptr<CliMachine> a_, b_;
};

TEST_F(DriveMountTest, CopiedTreeSurvivesRemountAndReachesSecondMachine) {
  MakeTree();
  ASSERT_EQ(Shell("cp -r " + Src("/tree") + " " + A()), 0);
  EXPECT_EQ(Shell("diff -r " + Src("/tree") + " " + A("/tree")), 0);
  EXPECT_EQ(Shell("test $(stat -c %s " + A("/tree/big.bin") + ") = 25000000"), 0);
  // Real dates and the fixed modes.
  EXPECT_EQ(Shell("test $(stat -c %Y " + A("/tree/one") + ") -gt 1600000000"), 0);
  EXPECT_EQ(Shell("test $(stat -c %a " + A("/tree/one") + ") = 644"), 0);
  EXPECT_EQ(Shell("test $(stat -c %a " + A("/tree") + ") = 755"), 0);
  EXPECT_EQ(Shell("chmod 600 " + A("/tree/one") + " && touch -d 2001-01-01 " + A("/tree/one")), 0);

  ASSERT_EQ(a_->Terminate(), 0) << a_->Output();
  EXPECT_FALSE(FuseHost::IsMountPoint(a_->MountPoint())) << "a dead mount was left behind";
  ASSERT_TRUE(a_->Mount()) << a_->Output();
  EXPECT_EQ(Shell("diff -r " + Src("/tree") + " " + A("/tree")), 0);

  StartB();
  EXPECT_TRUE(ShellEventually("diff -r " + Src("/tree") + " " + B("/tree"), kSyncMs))
      << b_->Output();
}

TEST_F(DriveMountTest, NamespaceChangesAndEditsReachSecondMachine) {
  std::string a = A();
  ASSERT_EQ(Shell("set -e; cd " + a +
                  "; mkdir -p d1/sub e1; echo f > d1/sub/f.txt; echo g > g.txt;"
                  " echo h > h.txt; echo keep > over.txt; echo replaced > new.txt;"
                  " seq 1 2000 > mid.txt; echo line1 > edit.txt; echo base > app.txt;"
                  " echo orig > saved.txt"),
            0);
  // rmdir: an empty folder goes, one with content stays with ENOTEMPTY.
  EXPECT_EQ(Shell("rmdir " + A("/e1")), 0);
  EXPECT_EQ(Shell("rmdir " + A("/d1") + " 2>&1 | grep -q 'not empty'"), 0);
  EXPECT_EQ(Shell("test -f " + A("/d1/sub/f.txt")), 0);
  // mv: rename, across folders, a folder with content, over an existing file.
  ASSERT_EQ(Shell("set -e; cd " + a +
                  "; mv g.txt g2.txt; mv h.txt d1/h.txt; mv d1 d2; mv new.txt over.txt; rm "
                  "g2.txt"),
            0);
  EXPECT_EQ(Shell("cd " + a + "; test ! -e g2.txt && test ! -e new.txt && test -f d2/sub/f.txt"),
            0);
  EXPECT_EQ(Shell("grep -qx replaced " + A("/over.txt")), 0);
  EXPECT_NE(Shell("mkdir " + A("/x") + " && mv -T " + A("/x") + " " + A("/d2") + " 2>/dev/null"),
            0);
  // Edits in place: echo >, >>, dd in the middle, save through a temp file.
  ASSERT_EQ(Shell("set -e; cd " + a +
                  "; echo line2 > edit.txt; echo more >> app.txt;"
                  " printf XYZ | dd of=mid.txt bs=1 seek=100 conv=notrunc status=none;"
                  " echo saved > .saved.tmp; mv .saved.tmp saved.txt"),
            0);
  std::string expected = dir_.Sub("expected");
  ASSERT_EQ(Shell("set -e; mkdir -p " + Quote(expected) + "; cd " + Quote(expected) +
                  "; seq 1 2000 > mid.txt; printf XYZ | dd of=mid.txt bs=1 seek=100 "
                  "conv=notrunc status=none; printf 'base\\nmore\\n' > app.txt"),
            0);
  EXPECT_EQ(Shell("cmp " + Quote(expected + "/mid.txt") + " " + A("/mid.txt")), 0);
  EXPECT_EQ(Shell("cmp " + Quote(expected + "/app.txt") + " " + A("/app.txt")), 0);
  EXPECT_EQ(
      Shell("grep -qx line2 " + A("/edit.txt") + " && test $(wc -l < " + A("/edit.txt") + ") = 1"),
      0);
  EXPECT_EQ(Shell("grep -qx saved " + A("/saved.txt") + " && test ! -e " + A("/.saved.tmp")), 0);

  StartB();
  EXPECT_TRUE(ShellEventually("diff -r " + A() + " " + B(), kSyncMs)) << b_->Output();
  // Later edits reach the other mount past the kernel's caches, both ways.
  ASSERT_EQ(Shell("echo changed > " + A("/edit.txt")), 0);
  EXPECT_TRUE(ShellEventually("grep -qx changed " + B("/edit.txt"), kSyncMs));
  ASSERT_EQ(Shell("echo from-b > " + B("/d2/from-b.txt") + " && rm " + B("/app.txt")), 0);
  EXPECT_TRUE(ShellEventually(
      "grep -qx from-b " + A("/d2/from-b.txt") + " && test ! -e " + A("/app.txt"), kSyncMs));
}

TEST_F(DriveMountTest, RsyncAndGitWorkInside) {
  MakeTree();
  ASSERT_EQ(Shell("rsync -a " + Src("/tree/") + " " + A("/synced/")), 0);
  EXPECT_EQ(Shell("diff -r " + Src("/tree") + " " + A("/synced")), 0);
  ASSERT_EQ(Shell("rsync -a " + Src("/tree/") + " " + A("/synced/")), 0) << "a second pass";
  ASSERT_EQ(Shell("set -e; mkdir " + A("/repo") + "; cd " + A("/repo") +
                  "; git init -q; echo code > main.c; git add main.c;"
                  " git -c user.name=t -c user.email=t@e commit -q -m first;"
                  " echo more >> main.c; git -c user.name=t -c user.email=t@e commit -q -am second;"
                  " git fsck >/dev/null 2>&1; test $(git rev-list --count HEAD) = 2"),
            0);
}

TEST_F(DriveMountTest, FioVerifiesAndItsFileReachesSecondMachine) {
  if (Shell("command -v fio >/dev/null") != 0) GTEST_SKIP() << "fio is not installed";
  ASSERT_EQ(Shell("cd " + A() +
                  " && fio --name=rw --filename=fio.dat --size=64m --bs=4k --rw=randrw "
                  "--ioengine=psync --verify=crc32c --do_verify=1 --verify_fatal=1 "
                  "--output=/dev/null"),
            0);
  std::string sum = dir_.Sub("sum");
  ASSERT_EQ(Shell("md5sum < " + A("/fio.dat") + " > " + Quote(sum)), 0);
  StartB();
  EXPECT_TRUE(ShellEventually("md5sum < " + B("/fio.dat") + " | cmp -s - " + Quote(sum), kSyncMs))
      << b_->Output();
}

TEST_F(DriveMountTest, VolumeFiguresRefusedNamesAndTheSizeLimit) {
  ASSERT_EQ(Shell("head -c 1000000 /dev/zero > " + A("/m")), 0);
  struct statvfs st {};
  ASSERT_EQ(::statvfs(a_->MountPoint().c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_frsize, 107374182400ull);
  EXPECT_EQ((st.f_blocks - st.f_bfree) * st.f_frsize, 1000000ull / 4096 * 4096 + 4096);
  EXPECT_EQ(Shell("df -h " + A() + " | grep -q '^Tandrel .*100G'"), 0);
  EXPECT_EQ(Shell("findmnt -n -o FSTYPE " + A() + " | grep -q 'Tandrel系统'"), 0);

  for (std::string bad : {"a|b", "a\rb", "a\nb"}) {
    errno = 0;
    EXPECT_LT(::open((a_->MountPoint() + "/" + bad).c_str(), O_CREAT | O_WRONLY, 0644), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(::mkdir((a_->MountPoint() + "/" + bad).c_str(), 0755), 0);
    EXPECT_EQ(errno, EINVAL);
  }
  errno = 0;
  EXPECT_LT(
      ::open((a_->MountPoint() + "/" + std::string(256, 'n')).c_str(), O_CREAT | O_WRONLY, 0644),
      0);
  EXPECT_EQ(errno, ENAMETOOLONG);

  int fd = ::open((a_->MountPoint() + "/huge").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, "x", 1, 2147483646), 1);
  errno = 0;
  EXPECT_LT(::pwrite(fd, "xy", 2, 2147483646), 0);
  EXPECT_EQ(errno, EFBIG);
  ::close(fd);
  // The close reaches the drive shortly after close() returns.
  EXPECT_TRUE(ShellEventually("test ! -e " + A("/huge"), 5000));
  EXPECT_EQ(Shell("ls -a " + A() + " | grep -v -x -e . -e .. -e m | wc -l | grep -qx 0"), 0);
}

TEST_F(DriveMountTest, OutsideUnmountEndsTheProcessAndABusyFolderIsRefused) {
  // The same folder again: already a mount point.
  std::string cmd = std::string(TANDREL_CLI_PATH) + " mount --user " + kUser +
                    " --server 127.0.0.1 --port " + std::to_string(server_.ImapPort()) +
                    " --mountpoint " + A();
  EXPECT_EQ(Shell("HOME=" + Quote(dir_.Sub("again")) +
                  " XDG_DATA_HOME=" + Quote(dir_.Sub("again")) + " TANDREL_PASSWORD=" + kPassword +
                  " " + cmd + " 2>&1 | grep -q 加载驱动失败，请重启计算机再运行本程序"),
            0);
  EXPECT_EQ(Shell("HOME=" + Quote(dir_.Sub("again")) + " TANDREL_PASSWORD=wrong " + cmd +
                  " 2>&1 | grep -q 登录失败"),
            0);

  ASSERT_EQ(Shell("echo kept > " + A("/kept.txt")), 0);
  ASSERT_EQ(Shell("fusermount3 -u " + A()), 0);
  EXPECT_EQ(a_->WaitExit(), 0) << a_->Output();

  // Ctrl-C unmounts cleanly as well; what was written is still there.
  ASSERT_TRUE(a_->Mount()) << a_->Output();
  EXPECT_EQ(Shell("grep -qx kept " + A("/kept.txt")), 0);
  EXPECT_EQ(a_->Terminate(20000, SIGINT), 0) << a_->Output();
  EXPECT_FALSE(FuseHost::IsMountPoint(a_->MountPoint()));
}

}  // namespace

namespace {

// Polls `tandrel-cli status` until its report holds every piece.
bool StatusShows(CliMachine& machine, const std::vector<std::string>& pieces, std::string& out,
                 int timeout_ms = 30000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    machine.Cli("status", out);
    bool all = true;
    for (const std::string& piece : pieces) all = all && out.find(piece) != std::string::npos;
    if (all) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

TEST_F(DriveMountTest, OfflineStartSigtermWithUploadPendingAndUnmountFromAnotherTerminal) {
  std::string out;
  ASSERT_EQ(Shell("echo before > " + A("/before.txt")), 0);
  EXPECT_TRUE(StatusShows(*a_, {"State:       up to date", "Uploads:     0 files"}, out, kSyncMs))
      << out;
  ASSERT_EQ(a_->Terminate(), 0) << a_->Output();
  server_.Stop();

  // The server is gone: the known account mounts from its cache.
  ASSERT_TRUE(a_->Mount()) << a_->Output();
  EXPECT_NE(a_->Output().find("cannot be reached: mounting from the cache (offline)"),
            std::string::npos)
      << a_->Output();
  EXPECT_EQ(Shell("grep -qx before " + A("/before.txt")), 0);
  ASSERT_EQ(Shell("echo offline > " + A("/offline.txt")), 0);
  EXPECT_TRUE(StatusShows(*a_, {"State:       offline", "Uploads:     1 file waiting"}, out))
      << out;

  // SIGTERM tells what is left for the next start.
  ASSERT_EQ(a_->Terminate(), 0) << a_->Output();
  EXPECT_NE(a_->Output().find("1 file not yet uploaded"), std::string::npos) << a_->Output();
  EXPECT_EQ(a_->Cli("status", out), 3);
  EXPECT_NE(out.find("Not mounted"), std::string::npos) << out;

  // Offline again; the engine reconnects by itself once the server answers.
  ASSERT_TRUE(a_->Mount()) << a_->Output();
  ASSERT_EQ(Shell("echo later > " + A("/later.txt")), 0);
  ASSERT_TRUE(server_.Restart()) << server_.Error();
  StartB();
  EXPECT_TRUE(ShellEventually("grep -qx offline " + B("/offline.txt") + " && grep -qx later " +
                                  B("/later.txt") + " && grep -qx before " + B("/before.txt"),
                              kSyncMs))
      << a_->Output();

  // Another terminal unmounts the current account.
  EXPECT_EQ(a_->Cli("unmount", out), 0) << out;
  EXPECT_EQ(a_->WaitExit(), 0) << a_->Output();
  EXPECT_FALSE(FuseHost::IsMountPoint(a_->MountPoint()));
  EXPECT_EQ(a_->Cli("unmount", out), 3) << out;
}

}  // namespace

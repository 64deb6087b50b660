// The drive mounted by tandrel-cli on a Dovecot with a 40 MiB storage quota:
// df shows the quota, a copy larger than it stays whole on the drive, the
// status says the mailbox is full, and deletes on the drive let the rest go.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CliMachine.h"
#include "DovecotServer.h"
#include "TempDir.h"

namespace {

constexpr const char* kUser = "quota@example.org";
constexpr const char* kPassword = "secret";
constexpr uint64_t kQuotaBytes = 40ull * 1024 * 1024;
constexpr int kWaitMs = 90000;

// Polls `tandrel-cli status` until its report holds every piece.
bool StatusShows(CliMachine& machine, const std::vector<std::string>& pieces, std::string& out,
                 int timeout_ms = kWaitMs) {
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

// The size df reports, once it is the quota's (the task thread asks for it
// as the drive mounts).
bool DfShowsQuota(const std::string& mount_point, struct statvfs& st) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    if (::statvfs(mount_point.c_str(), &st) == 0 &&
        static_cast<uint64_t>(st.f_blocks) * st.f_frsize == kQuotaBytes)
      return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

TEST(DriveQuotaTest, AFullMailboxKeepsEveryFileAndDeletesLetTheRestUpload) {
  TempDir dir{"quota"};
  DovecotServer::Options options;
  options.quota_kib = kQuotaBytes / 1024;
  DovecotServer server(options);
  TANDREL_START_DOVECOT(server);
  ASSERT_TRUE(server.AddUser(kUser, kPassword));
  CliMachine a(dir.Sub("a"), kUser, kPassword, server.ImapPort());
  ASSERT_TRUE(a.Mount()) << a.Output();
  std::string src = dir.Sub("src"), mnt = a.MountPoint();
  struct statvfs st {};
  EXPECT_TRUE(DfShowsQuota(mnt, st)) << "before anything was uploaded";

  // Five files of 8 MB: about 11 MB each as messages, so three fit.
  ASSERT_EQ(Shell("set -e; mkdir " + Quote(src) +
                  "; for i in 1 2 3 4 5; do head -c 8000000 "
                  "/dev/urandom > " +
                  Quote(src) + "/f$i; done; cp " + Quote(src) + "/f* " + Quote(mnt)),
            0);
  std::string out;
  EXPECT_TRUE(StatusShows(a, {"mailbox full (quota)", "Uploads:     2 files waiting"}, out)) << out;
  ASSERT_TRUE(DfShowsQuota(mnt, st));
  EXPECT_LE(st.f_bfree, st.f_blocks);
  EXPECT_LT(st.f_bfree, st.f_blocks / 4) << "three files fill most of it";
  EXPECT_EQ(Shell("df -h " + Quote(mnt) + " | grep -q ' 40M '"), 0);
  // Nothing is lost, and the drive still takes writes.
  ASSERT_EQ(Shell("echo more > " + Quote(mnt + "/more.txt")), 0);
  for (int i = 1; i <= 5; ++i) {
    std::string name = "/f" + std::to_string(i);
    EXPECT_EQ(Shell("cmp " + Quote(src + name) + " " + Quote(mnt + name)), 0) << name;
  }

  // Room made on the drive (whichever three go, one was uploaded and the
  // rest fits): the deleted files wait in the trash, which gives the oldest
  // back to the full mailbox, and the waiting files go up by themselves,
  // well before the minute the full mailbox made the uploads wait.
  ASSERT_EQ(Shell("cd " + Quote(mnt) + " && rm f1 f2 f3"), 0);
  EXPECT_TRUE(StatusShows(a, {"State:       up to date", "Uploads:     0 files"}, out, 45000))
      << out;
  EXPECT_NE(out.find("removed from the trash and versions"), std::string::npos) << out;
  EXPECT_EQ(Shell("cmp " + Quote(src + "/f5") + " " + Quote(mnt + "/f5")), 0);
  ASSERT_EQ(a.Terminate(), 0) << a.Output();
}

}  // namespace

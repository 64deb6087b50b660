#include "sync/TransferProgress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class TransferProgressTest : public ::testing::Test {
 protected:
  uint32_t now_ = 5000;
  TransferProgress progress_{[this] { return now_; }};
};

TEST_F(TransferProgressTest, NothingRunningGivesEmptyText) {
  EXPECT_EQ(progress_.StatusText(), "");
  progress_.BeginUpload("a.bin", 100);
  progress_.ClearUpload();
  EXPECT_EQ(progress_.StatusText(), "");
}

TEST_F(TransferProgressTest, BothTransfersShowDownloadFirst) {
  progress_.BeginDownload("a.bin(第2部分)", 4000);
  progress_.BeginUpload("b.txt", 1000);
  now_ += 10;
  progress_.AddDownloaded(1000);
  progress_.AddUploaded(500);
  EXPECT_EQ(progress_.StatusText(),
            "正在下载 a.bin(第2部分), 25% 100k/s\r\n正在上传 b.txt, 50% 50k/s");
}

TEST_F(TransferProgressTest, ZeroTotalIsCountedAgainstOne) {
  progress_.BeginDownload("d", 0);
  // A count of 0 reaching the total of 0 clears the name.
  EXPECT_EQ(progress_.StatusText(), "正在下载 d, 0% 0k/s\r\n");
  progress_.AddDownloaded(0);
  EXPECT_EQ(progress_.StatusText(), "");
}

TEST_F(TransferProgressTest, ReachingTheTotalLeavesTheTextAtOnce) {
  progress_.BeginUpload("u", 8192);
  progress_.AddUploaded(4096);
  EXPECT_NE(progress_.StatusText(), "");
  progress_.AddUploaded(4096);
  EXPECT_EQ(progress_.StatusText(), "");
  EXPECT_EQ(progress_.Upload().done, 8192u);
}

TEST_F(TransferProgressTest, SpeedWindowRestartsAfterTwentySeconds) {
  progress_.BeginUpload("u", 1u << 30);
  progress_.AddUploaded(2000);  // no time has passed: window / 1000
  EXPECT_EQ(progress_.Upload().speed, 2u);
  now_ += 10000;
  progress_.AddUploaded(1998000);
  EXPECT_EQ(progress_.Upload().speed, 200u);
  now_ += 10000;
  progress_.AddUploaded(2000000);  // 4 MB in 20 s; the window closes
  EXPECT_EQ(progress_.Upload().speed, 200u);
  EXPECT_EQ(progress_.Upload().window, 0u);
  EXPECT_EQ(progress_.Upload().window_start, now_);
  now_ += 1000;
  progress_.AddUploaded(50000);  // the new window alone
  EXPECT_EQ(progress_.Upload().speed, 50u);
}

TEST_F(TransferProgressTest, LargeTransfersKeepTheirPercentage) {
  progress_.BeginDownload("big", 100u << 20);
  progress_.AddDownloaded(50u << 20);
  EXPECT_EQ(progress_.StatusText(), "正在下载 big, 50% 52428k/s\r\n");
}

TEST_F(TransferProgressTest, OverlongLineIsCut) {
  progress_.BeginUpload(std::string(3000, 'n'), 10);
  std::string text = progress_.StatusText();
  EXPECT_EQ(text.size(), TransferProgress::kLineBuffer - 1);
  EXPECT_EQ(text.substr(0, 16), "正在上传 nnn");
}

}  // namespace

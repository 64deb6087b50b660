#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "TempDir.h"
#include "log/CLog.h"

namespace {

TEST(CLogTest, SwitchOffRecordsNothing) {
  CLog log(nullptr);
  EXPECT_FALSE(log.Enabled());
  for (int level = LOG_ERROR; level <= LOG_DEBUG; ++level)
    EXPECT_TRUE(log.Write(level, "x %d", level));
  EXPECT_EQ(log.Queue().Size(), 0u);
}

TEST(CLogTest, ThresholdDecidesWhatIsQueued) {
  CLog log(nullptr);
  log.SetEnabled(true);
  EXPECT_EQ(log.Threshold(), 1);
  for (int level = LOG_ERROR; level <= LOG_DEBUG; ++level) log.Write(level, "m%d", level);
  auto lines = log.Queue().TakeAll();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines.front().find("] LOG_ERROR m0"), std::string::npos);
  EXPECT_NE(lines.back().find("] LOG_WARNING m1"), std::string::npos);

  log.SetThreshold(3);
  for (int level = LOG_ERROR; level <= LOG_DEBUG; ++level) log.Write(level, "m%d", level);
  EXPECT_EQ(log.Queue().Size(), 4u);
}

TEST(CLogTest, LineFormatHasNoLeadingZerosAndNoLineEnd) {
  struct tm t {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 3;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(CLog::FormatLine(LOG_ERROR, "send data failed", t),
            "[2026-12-7 3:5:9] LOG_ERROR send data failed");
}

TEST(CLogTest, LongMessagesAreCut) {
  CLog log(nullptr);
  log.SetEnabled(true);
  std::string big(5000, 'a');
  log.Write(LOG_ERROR, "%s", big.c_str());
  auto lines = log.Queue().TakeAll();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines.front().size(), CLog::kLineMax);
  EXPECT_EQ(lines.front().back(), 'a');
}

TEST(CLogTest, EnvironmentTurnsOnTheDrainedFile) {
  TempDir dir("log");
  ScopedEnv data("XDG_DATA_HOME", dir.path());
  std::string path;
  {
    CLog log("2");
    EXPECT_TRUE(log.Enabled());
    EXPECT_EQ(log.Threshold(), 2);
    log.Write(LOG_INFO, "first %s", "line");
    log.Write(LOG_DEBUG, "not recorded");
    log.Write(LOG_ERROR, "second");
    log.Flush();
    path = log.Path();
    EXPECT_EQ(path, dir.path() + "/tandrel\\log\\tandrel.log");
  }
  std::string text = ReadFileBytes(dir.path() + "/tandrel/log/tandrel.log");
  EXPECT_NE(text.find("LOG_INFO first line\n"), std::string::npos);
  EXPECT_NE(text.find("LOG_ERROR second\n"), std::string::npos);
  EXPECT_EQ(text.find("not recorded"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace

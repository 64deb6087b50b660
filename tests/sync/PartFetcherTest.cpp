#include "sync/PartFetcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Got {
  int part = 0;
  bool failed = false;
};

std::vector<FileRecord> Parts(int n) {
  std::vector<FileRecord> parts(n);
  for (int i = 0; i < n; ++i) parts[i].part = i + 1;
  return parts;
}

bool Never(const Got&) { return false; }

TEST(PartFetcherTest, HandsOverEveryPartInOrderThenEnds) {
  auto parts = Parts(7);
  PartFetcher<Got> fetcher(
      parts,
      [](const FileRecord& p) {
        return Got{p.part, false};
      },
      Never);
  Got got;
  for (int i = 1; i <= 7; ++i) {
    ASSERT_TRUE(fetcher.Next(got));
    EXPECT_EQ(got.part, i);
  }
  EXPECT_FALSE(fetcher.Next(got));
  EXPECT_FALSE(fetcher.Next(got));  // stays ended
}

TEST(PartFetcherTest, AFailureThatEndsTheSessionIsHandedOverAndNothingAfterIt) {
  auto parts = Parts(6);
  std::atomic<int> calls{0};
  PartFetcher<Got> fetcher(
      parts,
      [&calls](const FileRecord& p) {
        ++calls;
        return Got{p.part, p.part == 3};
      },
      [](const Got& g) { return g.failed; });
  Got got;
  ASSERT_TRUE(fetcher.Next(got));
  ASSERT_TRUE(fetcher.Next(got));
  ASSERT_TRUE(fetcher.Next(got));
  EXPECT_TRUE(got.failed);
  EXPECT_FALSE(fetcher.Next(got));
  EXPECT_EQ(calls.load(), 3);
}

// The fetch thread never runs more than kAhead parts ahead of the consumer,
// however slow the consumer is: memory stays bounded.
TEST(PartFetcherTest, RunsAtMostTheAllowedNumberOfPartsAhead) {
  auto parts = Parts(10);
  std::mutex mutex;
  std::condition_variable changed;
  int fetched = 0;
  PartFetcher<Got> fetcher(
      parts,
      [&](const FileRecord& p) {
        std::lock_guard<std::mutex> lock(mutex);
        ++fetched;
        changed.notify_all();
        return Got{p.part, false};
      },
      Never);
  Got got;
  for (int taken = 1; taken <= 10; ++taken) {
    ASSERT_TRUE(fetcher.Next(got));
    std::unique_lock<std::mutex> lock(mutex);
    int want = std::min<int>(10, taken + static_cast<int>(PartFetcher<Got>::kAhead));
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return fetched >= want; }));
    EXPECT_LE(fetched, want);
  }
}

// A consumer that stops early (the engine is stopping) must not hang on a
// fetch thread that waits for room.
TEST(PartFetcherTest, LeavingEarlyEndsTheFetchThread) {
  auto parts = Parts(50);
  std::atomic<int> calls{0};
  {
    PartFetcher<Got> fetcher(
        parts,
        [&calls](const FileRecord& p) {
          ++calls;
          return Got{p.part, false};
        },
        Never);
    Got got;
    ASSERT_TRUE(fetcher.Next(got));
  }
  EXPECT_LE(calls.load(), 1 + static_cast<int>(PartFetcher<Got>::kAhead));
}

}  // namespace

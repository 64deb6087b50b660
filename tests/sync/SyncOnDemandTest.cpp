// Content on demand: a machine with a cache limit lists the whole drive at
// once, fetches what is read (no more than the window asks), and keeps the
// limit by giving back the least recently read files, never pinned or
// unuploaded ones.
#include <gtest/gtest.h>

#include "SyncMachinesFixture.h"
#include "platform/FileHelpers.h"
#include "store/CachePolicy.h"
#include "store/MetaStore.h"

namespace {

constexpr int64_t kLimit = 2 * 1024 * 1024;
constexpr int kSmall = 12;
constexpr size_t kSmallSize = 300 * 1000;
constexpr size_t kBigSize = 12 * 1024 * 1024;

class SyncOnDemand : public SyncMachines {
 protected:
  ContentCache& B() { return b_->engine().Content(); }
  std::string Policy() const { return tmp_.Sub("b") + "/share"; }

  // Uploads everything A has; false when it does not finish.
  bool Upload() {
    for (int i = 0; i < 20 && a_->Pending() != 0; ++i) a_->Step();
    return a_->Pending() == 0;
  }
  std::string Name(int i) { return "\\docs\\f" + std::to_string(i); }
  // Reads [offset, offset + n) through the cache; "" when the read failed.
  std::string ReadRange(const std::string& path, int64_t offset, size_t n) {
    bool complete = false;
    if (B().Ensure(path, offset, static_cast<int64_t>(n), complete) != ContentCache::Fetch::kReady)
      return "";
    return b_->ReadAt(path, offset, n);
  }
};

TEST_F(SyncOnDemand, ListsAtOnceFetchesWhatIsReadAndKeepsItsLimit) {
  ASSERT_TRUE(a_->Mkdir("\\docs"));
  ASSERT_TRUE(a_->Mkdir("\\keep"));
  for (int i = 0; i < kSmall; ++i) ASSERT_TRUE(a_->Write(Name(i), Bytes(kSmallSize, i)));
  ASSERT_TRUE(a_->Write("\\keep\\k", Bytes(kSmallSize, 100)));
  ASSERT_TRUE(a_->Write("\\big", Bytes(kBigSize, 200)));
  ASSERT_TRUE(Upload());

  MetaStore b_store(b_->engine().DataDirectory());
  CachePolicy policy(b_->engine().DataDirectory(), kUser);
  ASSERT_TRUE(policy.SetLimit(kLimit));
  ASSERT_TRUE(policy.Pin("\\keep"));
  b_->Pass();
  // Everything listed; nothing but the pinned file fetched.
  Listing listing = b_->List(false);
  EXPECT_EQ(listing.size(), static_cast<size_t>(kSmall + 4));
  EXPECT_EQ(listing["\\big"].size, static_cast<long long>(kBigSize));
  EXPECT_EQ(b_->Read("\\keep\\k"), Bytes(kSmallSize, 100));
  EXPECT_EQ(B().CachedBytes(), static_cast<int64_t>(kSmallSize));

  // 64 KiB in the middle of a 10 MiB part: a window of it, not the part.
  const int64_t at = 5 * 1024 * 1024 + 123457;
  EXPECT_EQ(ReadRange("\\big", at, 65536), Bytes(kBigSize, 200).substr(at, 65536));
  EXPECT_LT(B().CachedBytes(), static_cast<int64_t>(kSmallSize) + 512 * 1024);

  // Every file in turn: the limit holds after each, the pinned file stays.
  for (int i = 0; i < kSmall; ++i) {
    ASSERT_EQ(ReadRange(Name(i), 0, kSmallSize), Bytes(kSmallSize, i)) << i;
    EXPECT_LE(B().CachedBytes(), kLimit) << i;
  }
  EXPECT_EQ(b_->Read("\\keep\\k"), Bytes(kSmallSize, 100));
  EXPECT_EQ(b_->List(false).size(), listing.size());  // evicted files stay listed

  // Offline: cached content reads, content not cached fails at once.
  b_->Cut();
  EXPECT_EQ(ReadRange(Name(kSmall - 1), 0, 10), Bytes(kSmallSize, kSmall - 1).substr(0, 10));
  bool complete = false;
  EXPECT_EQ(B().Ensure(Name(0), 0, 10, complete), ContentCache::Fetch::kOffline);

  // A file written here and not yet uploaded is never evicted, even beyond
  // the limit and the part a reader may pass it by: reads of content not
  // cached wait for room instead.
  ASSERT_TRUE(b_->Write("\\mine", Bytes(kLimit + MetaStore::kPartSize, 300)));
  EXPECT_EQ(B().Ensure(Name(0), 0, 10, complete), ContentCache::Fetch::kNoRoom);
  EXPECT_EQ(b_->Read("\\mine"), Bytes(kLimit + MetaStore::kPartSize, 300));
  EXPECT_EQ(b_->Read("\\keep\\k"), Bytes(kSmallSize, 100));
}

// A reader going on in order: whole parts come, the next one fetched ahead
// on a second connection while this one is written; every byte as sent.
TEST_F(SyncOnDemand, AReaderInOrderGetsEveryByteThroughTheReadAhead) {
  const size_t size = 3 * MetaStore::kPartSize + 12345;
  const std::string bytes = Bytes(size, 7);
  ASSERT_TRUE(a_->Write("\\long", bytes));
  ASSERT_TRUE(Upload());
  ASSERT_TRUE(CachePolicy(b_->engine().DataDirectory(), kUser).SetLimit(64 << 20));
  b_->Pass();
  // A stop cuts the fetches' sessions; the start after it opens them again.
  b_->Stop();
  ASSERT_TRUE(b_->Start(100, 300));
  const size_t step = 1 << 20;
  for (size_t at = 0; at < size; at += step) {
    size_t n = std::min(step, size - at);
    ASSERT_EQ(ReadRange("\\long", static_cast<int64_t>(at), n), bytes.substr(at, n)) << at;
  }
  EXPECT_EQ(B().CachedBytes(), static_cast<int64_t>(size));
  b_->Stop();
}

}  // namespace

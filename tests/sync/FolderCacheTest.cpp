#include "sync/FolderCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

DriveEntry Entry(const std::string& name, int kind, uint64_t size = 0) {
  DriveEntry e;
  e.name = name;
  e.kind = kind;
  e.SetSize(size);
  return e;
}

TEST(FolderCacheTest, PutRemoveAndCopies) {
  FolderCache cache;
  EXPECT_FALSE(cache.HasFolders());
  cache.PutEntry("\\", Entry("a.txt", DriveEntry::kFile, 5));
  cache.SetFolder("\\docs\\", {});
  cache.PutEntry("\\", Entry("docs", DriveEntry::kFolder));
  EXPECT_TRUE(cache.HasFolder("\\docs\\"));
  FolderCache::Entries root;
  ASSERT_TRUE(cache.GetFolder("\\", root));
  EXPECT_EQ(root.size(), 2u);
  root.clear();  // a copy: the cache keeps its entries
  DriveEntry e;
  ASSERT_TRUE(cache.GetEntry("\\", "a.txt", e));
  EXPECT_EQ(e.Size(), 5u);
  cache.RemoveEntry("\\", "a.txt");
  EXPECT_FALSE(cache.GetEntry("\\", "a.txt", e));
  cache.RemoveFolder("\\docs\\");
  EXPECT_FALSE(cache.HasFolder("\\docs\\"));
  EXPECT_FALSE(cache.GetFolder("\\nope\\", root));
}

TEST(FolderCacheTest, ReaderNeverSeesAHalfReplacedTree) {
  FolderCache cache;
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  // The writer keeps replacing the tree until the reader has looked often
  // enough (bounded, should the reader never get a turn).
  std::thread writer([&] {
    for (int i = 0; i < 200000 && reads < 500; ++i) {
      FolderCache::Tree tree;
      for (int k = 0; k < 20; ++k) tree["\\"][std::to_string(k)] = Entry(std::to_string(k), 1, i);
      cache.ReplaceAll(std::move(tree));
    }
    stop = true;
  });
  while (!stop) {
    FolderCache::Entries root;
    if (!cache.GetFolder("\\", root)) continue;
    ASSERT_EQ(root.size(), 20u);
    uint64_t size = root.begin()->second.Size();
    for (const auto& [name, entry] : root) ASSERT_EQ(entry.Size(), size);
    ++reads;
  }
  writer.join();
  EXPECT_GT(reads, 0);
}

}  // namespace

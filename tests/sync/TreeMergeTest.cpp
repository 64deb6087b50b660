#include "sync/TreeMerge.h"

#include <gtest/gtest.h>

#include "TreeRecords.h"

namespace {

std::map<std::string, FolderRecord> ByFullName(const std::vector<FolderRecord>& list) {
  std::map<std::string, FolderRecord> map;
  for (const auto& f : list) map[f.full_name] = f;
  return map;
}

const FileRecord* FindFile(const TreeMerge::Result& r, int id) {
  for (const auto& f : r.files)
    if (f.file_id == id) return &f;
  return nullptr;
}

std::string FullOf(const TreeMerge::Result& r, int folder_id) {
  for (const auto& f : r.folders)
    if (f.id == folder_id) return f.full_name;
  return "?";
}

// 2026-12-08 10:15:00 in the local zone.
time_t Stamp() {
  struct tm t {};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 10;
  t.tm_min = 15;
  t.tm_isdst = -1;
  return mktime(&t);
}

TEST(ConflictName, GoesBeforeTheExtension) {
  EXPECT_EQ(TreeMerge::ConflictName("a.txt", Stamp(), 1), "a (conflict 2026-12-08 101500).txt");
  EXPECT_EQ(TreeMerge::ConflictName("a.tar.gz", Stamp(), 1),
            "a.tar (conflict 2026-12-08 101500).gz");
  EXPECT_EQ(TreeMerge::ConflictName("README", Stamp(), 1), "README (conflict 2026-12-08 101500)");
  EXPECT_EQ(TreeMerge::ConflictName(".bashrc", Stamp(), 1), ".bashrc (conflict 2026-12-08 101500)");
  EXPECT_EQ(TreeMerge::ConflictName("a.txt", Stamp(), 3), "a (conflict 2026-12-08 101500 3).txt");
}

TEST(TreeMergeTest, KeepsLocalFilesUnderTheirFoldersAndRenamesClashes) {
  // The other machine's tree: root, docs (id 2) with same.txt and theirs.txt.
  std::vector<FolderRecord> adopted{Folder(1, 0, "\\", "\\"), Folder(2, 1, "docs", "\\docs\\")};
  std::vector<FileRecord> adopted_files{File(100, 2, "same.txt"), File(101, 2, "theirs.txt")};
  // Ours: docs has id 2 too, plus mine (id 2 taken there, so it had id 3).
  std::map<std::string, FolderRecord> local =
      ByFullName({Folder(1, 0, "\\", "\\"), Folder(2, 1, "docs", "\\docs\\"),
                  Folder(3, 2, "mine", "\\docs\\mine\\"), Folder(4, 1, "gone", "\\gone\\")});
  std::map<int, FileRecord> local_files{{200, File(200, 2, "same.txt")},
                                        {201, File(201, 3, "deep.bin")},
                                        {202, File(202, 4, "deleted.txt")},
                                        {203, File(203, 1, "top")}};
  auto r = TreeMerge::Merge(adopted, adopted_files, local, local_files, {200, 201, 203}, Stamp());
  EXPECT_EQ(r.kept, 3);
  EXPECT_EQ(r.conflicts, 1) << "only same.txt changed its name";
  EXPECT_EQ(FindFile(r, 202), nullptr);
  ASSERT_NE(FindFile(r, 200), nullptr);
  EXPECT_EQ(FindFile(r, 200)->name, "same (conflict 2026-12-08 101500).txt");
  EXPECT_EQ(FullOf(r, FindFile(r, 200)->folder_id), "\\docs\\");
  ASSERT_NE(FindFile(r, 201), nullptr);
  EXPECT_EQ(FullOf(r, FindFile(r, 201)->folder_id), "\\docs\\mine\\");
  EXPECT_EQ(FullOf(r, FindFile(r, 203)->folder_id), "\\");
  // The recreated folder has an id the adopted tree does not use.
  int mine_id = FindFile(r, 201)->folder_id;
  EXPECT_GT(mine_id, 2);
  ASSERT_EQ(r.moves.size(), 1u);
  EXPECT_EQ(r.moves[0].file_id, 200);
  EXPECT_EQ(r.moves[0].from, "\\docs\\same.txt");
  EXPECT_EQ(r.moves[0].to, "\\docs\\same (conflict 2026-12-08 101500).txt");
}

TEST(TreeMergeTest, MovesFilesRenamedOrMovedElsewhere) {
  std::vector<FolderRecord> adopted{Folder(1, 0, "\\", "\\"), Folder(5, 1, "new", "\\new\\")};
  std::vector<FileRecord> adopted_files{File(1, 5, "b.txt"), File(2, 1, "a.txt"),
                                        File(3, 1, "stays")};
  std::map<std::string, FolderRecord> local =
      ByFullName({Folder(1, 0, "\\", "\\"), Folder(2, 1, "old", "\\old\\")});
  // A swap: 1 was \a.txt and becomes \new\b.txt, 2 was \old\x and becomes \a.txt.
  std::map<int, FileRecord> local_files{
      {1, File(1, 1, "a.txt")}, {2, File(2, 2, "x")}, {3, File(3, 1, "stays")}};
  auto r = TreeMerge::Merge(adopted, adopted_files, local, local_files, {}, Stamp());
  EXPECT_EQ(r.kept, 0);
  ASSERT_EQ(r.moves.size(), 2u);
  EXPECT_EQ(r.moves[0].from, "\\a.txt");
  EXPECT_EQ(r.moves[0].to, "\\new\\b.txt");
  EXPECT_EQ(r.moves[1].from, "\\old\\x");
  EXPECT_EQ(r.moves[1].to, "\\a.txt");
}

TEST(TreeMergeTest, SecondClashInOneSecondGetsANumber) {
  std::vector<FolderRecord> adopted{Folder(1, 0, "\\", "\\")};
  std::vector<FileRecord> adopted_files{File(1, 1, "a.txt"),
                                        File(2, 1, "a (conflict 2026-12-08 101500).txt")};
  std::map<std::string, FolderRecord> local = ByFullName({Folder(1, 0, "\\", "\\")});
  std::map<int, FileRecord> local_files{{9, File(9, 1, "a.txt")}};
  auto r = TreeMerge::Merge(adopted, adopted_files, local, local_files, {9}, Stamp());
  ASSERT_NE(FindFile(r, 9), nullptr);
  EXPECT_EQ(FindFile(r, 9)->name, "a (conflict 2026-12-08 101500 2).txt");
}

TEST(TreeMergeTest, AFolderNameIsTakenToo) {
  std::vector<FolderRecord> adopted{Folder(1, 0, "\\", "\\"), Folder(2, 1, "x", "\\x\\")};
  std::map<std::string, FolderRecord> local = ByFullName({Folder(1, 0, "\\", "\\")});
  std::map<int, FileRecord> local_files{{9, File(9, 1, "x")}};
  auto r = TreeMerge::Merge(adopted, {}, local, local_files, {9}, Stamp());
  ASSERT_NE(FindFile(r, 9), nullptr);
  EXPECT_EQ(FindFile(r, 9)->name, "x (conflict 2026-12-08 101500)");
}

}  // namespace

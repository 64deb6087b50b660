#include "sync/FolderIndex.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "TreeRecords.h"

namespace {

TEST(FolderIndexText, ComposesTheDocumentedLines) {
  std::map<std::string, FolderRecord> folders{{"\\", Folder(1, 0, "\\", "\\")},
                                              {"\\docs\\", Folder(2, 1, "docs", "\\docs\\")}};
  std::map<int, FileRecord> files{{7, File(7, 2, "a.txt")}};
  EXPECT_EQ(FolderIndex::Compose(folders, files),
            "[folder]\r\n1|0|\\|\\\r\n2|1|docs|\\docs\\\r\n\r\n[ftable]\r\n7|2|a.txt\r\n");
  EXPECT_EQ(FolderIndex::Compose({{"\\", Folder(1, 0, "\\", "\\")}}, {}),
            "[folder]\r\n1|0|\\|\\\r\n\r\n[ftable]\r\n");
}

TEST(FolderIndexText, ParsesWhatItComposes) {
  std::map<std::string, FolderRecord> folders{{"\\", Folder(1, 0, "\\", "\\")},
                                              {"\\报告\\", Folder(5, 1, "报告", "\\报告\\")}};
  std::map<int, FileRecord> files{{9, File(9, 5, "年度 2026.txt")}, {3, File(3, 1, "b")}};
  std::vector<FolderRecord> got_folders;
  std::vector<FileRecord> got_files;
  ASSERT_TRUE(FolderIndex::ParseText(FolderIndex::Compose(folders, files), got_folders, got_files));
  ASSERT_EQ(got_folders.size(), 2u);
  EXPECT_EQ(got_folders[1].full_name, "\\报告\\");
  EXPECT_EQ(got_folders[1].id, 5);
  ASSERT_EQ(got_files.size(), 2u);
  EXPECT_EQ(got_files[0].file_id, 3);
  EXPECT_EQ(got_files[1].name, "年度 2026.txt");
  EXPECT_EQ(got_files[1].folder_id, 5);
}

TEST(FolderIndexText, SkipsBadLinesAndTheUnterminatedLastOne) {
  std::vector<FolderRecord> folders;
  std::vector<FileRecord> files;
  EXPECT_FALSE(FolderIndex::ParseText("no head\r\n1|0|\\|\\\r\n", folders, files));
  ASSERT_TRUE(FolderIndex::ParseText(
      "[folder]\r\n1|0|\\|\\\r\n2|1|x\r\n\r\n[ftable]\r\n7|1|a|b\r\n8|1|ok\r\n9|1|lost", folders,
      files));
  EXPECT_EQ(folders.size(), 1u);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].file_id, 8);
}

TEST(FolderIndexNames, RefusesNamesThatLeaveTheFolder) {
  for (const char* bad : {"", ".", "..", "a/b", "..\\..\\x", "a|b", "a\rb", "a\nb"}) {
    EXPECT_FALSE(FolderIndex::IsSafeName(bad)) << bad;
  }
  EXPECT_FALSE(FolderIndex::IsSafeName(std::string("a\0b", 3)));
  for (const char* good : {"a", "...", ".hidden", "报告 2026.txt", "a b"}) {
    EXPECT_TRUE(FolderIndex::IsSafeName(good)) << good;
  }
}

TEST(FolderIndexValidate, KeepsOnlyTheProperChainOfNames) {
  std::vector<FolderRecord> folders{
      Folder(1, 0, "\\", "\\"),
      Folder(2, 1, "docs", "\\docs\\"),
      Folder(3, 2, "sub", "\\docs\\sub\\"),
      Folder(4, 1, "..", "\\..\\"),                // parent name
      Folder(5, 1, "x", "\\..\\..\\x\\"),          // full name off its chain
      Folder(6, 1, "..\\..\\x", "\\..\\..\\x\\"),  // separators in the name
      Folder(7, 4, "deep", "\\..\\deep\\"),        // below a refused folder
      Folder(8, 99, "orphan", "\\orphan\\"),       // no such parent
      Folder(9, 1, "docs", "\\docs\\"),            // second row of one full name
      Folder(2, 1, "dup", "\\dup\\"),              // second row of one id
  };
  std::vector<FileRecord> files{
      File(10, 2, "a.txt"), File(11, 4, "evil"),  File(12, 2, "..\\..\\..\\etc"),
      File(13, 3, "b"),     File(14, 2, "a.txt"), File(10, 1, "again"),
      File(15, 2, "sub"),   File(0, 1, "zero")};
  std::vector<std::string> rejected;
  ASSERT_TRUE(FolderIndex::Validate(folders, files, rejected));
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0].full_name, "\\");
  EXPECT_EQ(folders[1].full_name, "\\docs\\");
  EXPECT_EQ(folders[2].full_name, "\\docs\\sub\\");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].file_id, 10);
  EXPECT_EQ(files[1].file_id, 13);
  EXPECT_EQ(rejected.size(), 7u + 6u);
}

TEST(FolderIndexValidate, ChildrenBeforeParentsStillChain) {
  std::vector<FolderRecord> folders{Folder(3, 2, "b", "\\a\\b\\"), Folder(2, 1, "a", "\\a\\"),
                                    Folder(1, 0, "\\", "\\")};
  std::vector<FileRecord> files;
  std::vector<std::string> rejected;
  ASSERT_TRUE(FolderIndex::Validate(folders, files, rejected));
  EXPECT_EQ(folders.size(), 3u);
  EXPECT_TRUE(rejected.empty());
}

TEST(FolderIndexValidate, ATreeWithoutRootIsUnusable) {
  std::vector<FolderRecord> folders{Folder(2, 1, "a", "\\a\\"), Folder(1, 0, "x", "\\")};
  std::vector<FileRecord> files{File(5, 2, "f")};
  std::vector<std::string> rejected;
  EXPECT_FALSE(FolderIndex::Validate(folders, files, rejected));
  EXPECT_TRUE(folders.empty());
  EXPECT_TRUE(files.empty());
}

TEST(FolderIndexText, OriginsAndHistoryTravelWhereOldReadersPassThemOver) {
  std::map<std::string, FolderRecord> folders{{"\\", Folder(1, 0, "\\", "\\")}};
  FileRecord edited = File(9, 1, "a");
  edited.origin = 4;
  std::map<int, FileRecord> files{{9, edited}, {3, File(3, 1, "b")}};
  FolderIndex::History history{"t2", {"t1", "t0"}};
  std::string text = FolderIndex::Compose(folders, files, {}, history);
  EXPECT_NE(text.find("[origin]\r\n9|4\r\n[index]\r\ntoken|t2\r\nmerged|t1\r\n"),
            std::string::npos);
  // No added line has the three fields of a file row.
  for (size_t at = text.find("[origin]"), end; (end = text.find('\n', at)) != std::string::npos;
       at = end + 1) {
    EXPECT_NE(std::count(text.begin() + at, text.begin() + end, '|'), 2);
  }
  std::vector<FolderRecord> got_folders;
  std::vector<FileRecord> got_files;
  FolderIndex::History got;
  ASSERT_TRUE(FolderIndex::ParseText(text, got_folders, got_files, &got));
  ASSERT_EQ(got_files.size(), 2u);
  EXPECT_EQ(got_files[0].Origin(), 3);
  EXPECT_EQ(got_files[1].Origin(), 4);
  EXPECT_EQ(got.token, "t2");
  EXPECT_EQ(got.merged, (std::vector<std::string>{"t1", "t0"}));
  EXPECT_EQ(FolderIndex::ComposeTree(got_folders, got_files), FolderIndex::Compose(folders, files));
}

TEST(FolderIndexVersion, UidsCompareAsNumbers) {
  EXPECT_TRUE(FolderIndex::UidLess("9", "10"));
  EXPECT_FALSE(FolderIndex::UidLess("10", "9"));
  EXPECT_FALSE(FolderIndex::UidLess("10", "10"));
  EXPECT_TRUE(FolderIndex::UidLess("099", "100"));
}

}  // namespace

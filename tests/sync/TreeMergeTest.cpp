#include "sync/TreeMerge.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "TreeRecords.h"

namespace {

using Tree = TreeMerge::Tree;

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

FileRecord Edited(int id, int origin, int folder, const std::string& name) {
  FileRecord r = File(id, folder, name);
  r.origin = origin;
  return r;
}

// Drive paths of the merged files, each with its file id.
std::map<std::string, int> Paths(const TreeMerge::Result& r) {
  std::map<int, std::string> full;
  for (const auto& f : r.tree.folders) full[f.id] = f.full_name;
  std::map<std::string, int> paths;
  for (const auto& f : r.tree.files) paths[full[f.folder_id] + f.name] = f.file_id;
  return paths;
}

std::set<std::string> Folders(const TreeMerge::Result& r) {
  std::set<std::string> names;
  for (const auto& f : r.tree.folders) names.insert(f.full_name);
  return names;
}

const FolderRecord kRoot = Folder(1, 0, "\\", "\\");
const FolderRecord kDocs = Folder(7, 1, "docs", "\\docs\\");

Tree Base() { return {{kRoot, kDocs}, {File(10, 7, "a"), File(11, 7, "b"), File(12, 1, "c")}, {}}; }

TEST(TreeMerge, ChangesOnEitherSideAreAppliedTogether) {
  Tree local = Base(), remote = Base();
  local.files[0].name = "a2";                    // renamed here
  local.files.push_back(File(13, 1, "new"));     // added here
  remote.files[1] = Edited(20, 11, 7, "b");      // edited there
  remote.files.erase(remote.files.begin() + 2);  // deleted there
  remote.folders.push_back(Folder(30, 1, "empty", "\\empty\\"));
  auto r = TreeMerge::Merge(Base(), local, remote, Stamp());
  EXPECT_EQ(Paths(r), (std::map<std::string, int>{
                          {"\\docs\\a2", 10}, {"\\docs\\b", 20}, {"\\new", 13}}));
  EXPECT_EQ(Folders(r), (std::set<std::string>{"\\", "\\docs\\", "\\empty\\"}));
  ASSERT_EQ(r.moves.size(), 0u);  // a2 is already there locally
  EXPECT_EQ(r.conflicts, 0);
  // The same merge seen from the other machine gives the same tree.
  auto other = TreeMerge::Merge(Base(), remote, local, Stamp());
  EXPECT_EQ(Paths(other), Paths(r));
}

TEST(TreeMerge, EditAgainstEditKeepsBothEditAgainstDeleteKeepsTheEdit) {
  Tree local = Base(), remote = Base();
  local.files[0] = Edited(40, 10, 7, "a");
  remote.files[0] = Edited(41, 10, 7, "a");
  local.files[1] = Edited(42, 11, 7, "b");
  remote.files.erase(remote.files.begin() + 1);  // b deleted there, edited here
  local.files.erase(local.files.begin() + 2);    // c deleted here, moved there
  remote.files.back().folder_id = 7;
  auto r = TreeMerge::Merge(Base(), local, remote, Stamp());
  EXPECT_EQ(Paths(r), (std::map<std::string, int>{{"\\docs\\a", 41},
                                                  {"\\docs\\a (conflict 2026-12-08 101500)", 40},
                                                  {"\\docs\\b", 42}}));
  EXPECT_EQ(r.conflicts, 1);
  ASSERT_EQ(r.moves.size(), 1u);  // our edit makes way for theirs
  EXPECT_EQ(r.moves[0].file_id, 40);
}

// The other side only caught up with an edit made here, which this side
// edited past since (it keeps that content as a version): no conflict,
// from either machine.
TEST(TreeMerge, AnEditTheOtherSideAlreadyReplacedIsNoConflict) {
  Tree local = Base(), remote = Base();
  remote.files[0] = Edited(40, 10, 7, "a");
  local.files[0] = Edited(41, 10, 7, "a");
  KeptRecord version;
  version.file_id = 40;
  version.origin = 10;
  version.kind = KeptKind::kVersion;
  local.kept.push_back(version);
  auto r = TreeMerge::Merge(Base(), local, remote, Stamp());
  EXPECT_EQ(r.conflicts, 0);
  EXPECT_EQ(Paths(r)["\\docs\\a"], 41);
  auto other = TreeMerge::Merge(Base(), remote, local, Stamp());
  EXPECT_EQ(other.conflicts, 0);
  EXPECT_EQ(Paths(other)["\\docs\\a"], 41);
}

TEST(TreeMerge, RenamesAgainstRenamesAndNewNamesOnBothSides) {
  Tree local = Base(), remote = Base();
  local.files[0].name = "x";
  remote.files[0].name = "y";  // both renamed a: one name, the same on both machines
  local.files.push_back(File(50, 1, "same"));
  remote.files.push_back(File(51, 1, "same"));  // one new name, two contents
  auto r = TreeMerge::Merge(Base(), local, remote, Stamp());
  auto other = TreeMerge::Merge(Base(), remote, local, Stamp());
  EXPECT_EQ(Paths(r), Paths(other));
  EXPECT_EQ(Paths(r).count("\\docs\\x"), 1u);
  EXPECT_EQ(Paths(r).at("\\same"), 51);
  EXPECT_EQ(Paths(r).at("\\same (conflict 2026-12-08 101500)"), 50);
}

TEST(TreeMerge, FoldersDeletedMovedAndMadeTwice) {
  Tree local = Base(), remote = Base();
  // docs deleted there with its files; a file added inside it here.
  remote.folders.pop_back();
  remote.files.resize(1);
  remote.files[0] = File(12, 1, "c");
  local.files.push_back(File(60, 7, "kept"));
  // The same new folder on both sides, each with a file: one folder.
  local.folders.push_back(Folder(70, 1, "n", "\\n\\"));
  remote.folders.push_back(Folder(71, 1, "n", "\\n\\"));
  local.files.push_back(File(61, 70, "l"));
  remote.files.push_back(File(62, 71, "r"));
  // Two folders moved into each other: no loop.
  Tree base2 = Base();
  base2.folders.push_back(Folder(80, 1, "p", "\\p\\"));
  base2.folders.push_back(Folder(81, 1, "q", "\\q\\"));
  local.folders.push_back(Folder(80, 81, "p", "\\q\\p\\"));
  local.folders.push_back(Folder(81, 1, "q", "\\q\\"));
  remote.folders.push_back(Folder(80, 1, "p", "\\p\\"));
  remote.folders.push_back(Folder(81, 80, "q", "\\p\\q\\"));
  base2.files = Base().files;
  auto r = TreeMerge::Merge(base2, local, remote, Stamp());
  EXPECT_EQ(Paths(r), (std::map<std::string, int>{
                          {"\\c", 12}, {"\\docs\\kept", 60}, {"\\n\\l", 61},
                          {"\\n\\r", 62}}));
  std::set<std::string> folders = Folders(r);
  EXPECT_EQ(folders.count("\\docs\\"), 1u);
  EXPECT_EQ(folders.size(), 5u);  // root, docs, n, and p and q in some order
}

TEST(TreeMerge, WithoutABaseNothingIsDeleted) {
  Tree local = Base(), remote = Base();
  local.files.pop_back();
  remote.files.erase(remote.files.begin());
  auto r = TreeMerge::Merge(Tree(), local, remote, Stamp());
  EXPECT_EQ(Paths(r).size(), 3u);
}

}  // namespace

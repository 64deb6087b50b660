#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "platform/MountPoint.h"
#include "platform/RunningMd5.h"
#include "platform/UniqueFd.h"

namespace {

std::string RawMd5(const std::string& data) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), d, &len, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(d), len);
}

TEST(FileHelpersTest, DigestTextDropsLeadingZeros) {
  TempDir dir("md5");
  std::string content;
  for (int i = 0; i < 100000; ++i) {
    content = "seed " + std::to_string(i);
    if (static_cast<unsigned char>(RawMd5(content)[0]) == 0x0a) break;
  }
  ASSERT_EQ(static_cast<unsigned char>(RawMd5(content)[0]), 0x0a);
  WriteFileBytes(dir.Sub("f"), content);
  int64_t size = -1;
  int stamp = 0;
  std::string md5;
  ASSERT_TRUE(GetFileMd5(dir.Sub("f"), size, stamp, md5));
  EXPECT_EQ(md5[0], 'a');
  EXPECT_EQ(size, static_cast<int>(content.size()));
  EXPECT_GT(stamp, 1700000000);
}

// The drive's digest of a file written in order must be GetFileMd5's to the
// letter (leading zeros dropped), whether taken in the writes or read back
// behind them; any other write order falls back to a read.
TEST(FileHelpersTest, RunningDigestMatchesTheFilesOnlyWhenWrittenInOrder) {
  TempDir dir("md5");
  for (size_t size : {size_t{70000}, RunningMd5::kInlineBytes * 3 + 5}) {
    std::string content;
    for (int i = 0; static_cast<unsigned char>(RawMd5(content)[0]) != 0x0a && i < 100000; ++i)
      content = std::string(size, 'x') + std::to_string(i);
    WriteFileBytes(dir.Sub("f"), content);
    int64_t file_size = 0;
    int stamp = 0;
    std::string read_md5, running_md5;
    ASSERT_TRUE(GetFileMd5(dir.Sub("f"), file_size, stamp, read_md5));
    UniqueFd fd(::open(dir.Sub("f").c_str(), O_RDONLY));
    RunningMd5 in_order;
    in_order.Resized(0);
    for (size_t at = 0; at < content.size(); at += 65536) {
      size_t n = std::min<size_t>(65536, content.size() - at);
      in_order.Wrote(fd.get(), content.data() + at, n, at);
    }
    ASSERT_TRUE(in_order.Finish(content.size(), running_md5)) << size;
    EXPECT_EQ(running_md5, read_md5) << size;
  }

  UniqueFd fd(::open(dir.Sub("f").c_str(), O_RDONLY));
  const char* bytes = "0123456789abcdefghij";
  RunningMd5 rewritten, holed, short_of_file, cut;
  rewritten.Wrote(fd.get(), bytes, 10, 0);
  rewritten.Wrote(fd.get(), bytes, 10, 0);
  holed.Wrote(fd.get(), bytes + 10, 10, 10);
  short_of_file.Wrote(fd.get(), bytes, 10, 0);
  cut.Wrote(fd.get(), bytes, 20, 0);
  cut.Resized(10);
  std::string md5;
  for (RunningMd5* d : {&rewritten, &holed, &cut}) EXPECT_FALSE(d->Finish(20, md5));
  EXPECT_FALSE(short_of_file.Finish(20, md5));
}

TEST(FileHelpersTest, DigestOfEmptyFileAndMissingFile) {
  TempDir dir("md5");
  WriteFileBytes(dir.Sub("empty"), "");
  int64_t size = -1;
  int stamp = 0;
  std::string md5 = "junk";
  ASSERT_TRUE(GetFileMd5(dir.Sub("empty"), size, stamp, md5));
  // d4 1d 8c d9 8f 00 b2 04 e9 80 09 98 ec f8 42 7e
  EXPECT_EQ(md5, "d41d8cd98f0b24e980998ecf8427e");
  EXPECT_EQ(size, 0);
  EXPECT_FALSE(GetFileMd5(dir.Sub("missing"), size, stamp, md5));
}

TEST(FileHelpersTest, DigestTakesFilesOfTwoGibibytesAndMore) {
  TempDir dir("md5");
  std::string path = dir.Sub("big");
  WriteFileBytes(path, "");
  ASSERT_EQ(::truncate(path.c_str(), 2147483651LL), 0);  // sparse
  int64_t size = 0;
  int stamp = 0;
  std::string md5;
  ASSERT_TRUE(GetFileMd5(path, size, stamp, md5));
  EXPECT_EQ(size, 2147483651LL);
}

TEST(FileHelpersTest, PathAndTextHelpers) {
  std::string folder, name;
  ASSERT_TRUE(SplitPath("\\docs\\a.txt", folder, name));
  EXPECT_EQ(folder, "\\docs\\");
  EXPECT_EQ(name, "a.txt");
  ASSERT_TRUE(SplitPath("\\", folder, name));
  EXPECT_EQ(folder, "\\");
  EXPECT_EQ(name, "");
  EXPECT_FALSE(SplitPath("plain", folder, name));

  std::vector<std::string> parts;
  SplitAt("a|b||c|", '|', parts);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "b", "", "c", ""}));
  parts.clear();
  SplitAt("", '|', parts);
  EXPECT_EQ(parts, (std::vector<std::string>{""}));

  std::string buf = "one\r\ntwo\nthree";
  size_t pos = 0;
  EXPECT_EQ(ReadLine(buf, pos), "one");
  EXPECT_EQ(buf[pos], '\n');
  ++pos;
  EXPECT_EQ(ReadLine(buf, pos), "two");
  ++pos;
  EXPECT_EQ(ReadLine(buf, pos), "three");
  EXPECT_EQ(pos, buf.size());

  EXPECT_EQ(NumberToText(18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(NativePath("\\a\\\\b/c"), "/a//b/c");
}

TEST(FileHelpersTest, MakeDirCreatesParents) {
  TempDir dir("mk");
  std::string deep = dir.path() + "\\x\\y\\\\z\\";
  EXPECT_FALSE(DirExists(deep));
  EXPECT_TRUE(MakeDir(deep));
  EXPECT_TRUE(DirExists(dir.path() + "/x/y/z"));
  EXPECT_TRUE(MakeDir(deep));
  EXPECT_TRUE(FileExists(dir.path() + "/x"));
  EXPECT_FALSE(FileExists(dir.path() + "/nothing"));
}

TEST(FileHelpersTest, MoveWithinAndAcrossFileSystems) {
  TempDir dir("mv");
  ASSERT_TRUE(MakeDir(dir.Sub("src/sub")));
  WriteFileBytes(dir.Sub("src/sub/f.txt"), "hello");
  ASSERT_TRUE(MoveByShell(dir.Sub("moved"), dir.Sub("src")));
  EXPECT_EQ(ReadFileBytes(dir.Sub("moved/sub/f.txt")), "hello");
  EXPECT_FALSE(DirExists(dir.Sub("src")));

  struct statfs a {
  }, b{};
  ASSERT_EQ(statfs(dir.path().c_str(), &a), 0);
  if (statfs("/dev/shm", &b) != 0 || a.f_type == b.f_type) GTEST_SKIP() << "no second file system";
  {
    ScopedEnv tmp("TMPDIR", "/dev/shm");
    TempDir other("mv");
    ASSERT_TRUE(MoveByShell(other.Sub("across"), dir.Sub("moved")));
    EXPECT_EQ(ReadFileBytes(other.Sub("across/sub/f.txt")), "hello");
    EXPECT_FALSE(DirExists(dir.Sub("moved")));
    ASSERT_TRUE(MoveByShell(dir.Sub("back.txt"), other.Sub("across/sub/f.txt")));
    EXPECT_EQ(ReadFileBytes(dir.Sub("back.txt")), "hello");
  }
}

TEST(LocationsTest, DataDocumentsAndCacheDirs) {
  TempDir dir("loc");
  ScopedEnv home("HOME", dir.path());
  {
    ScopedEnv unset_data("XDG_DATA_HOME", "");
    ScopedEnv unset_config("XDG_CONFIG_HOME", "");
    EXPECT_EQ(DataDir(), dir.path() + "/.local/share/tandrel");
    EXPECT_EQ(DocumentsDir(), dir.path() + "/Documents");
  }
  ScopedEnv data("XDG_DATA_HOME", dir.Sub("data"));
  EXPECT_EQ(DataDir(), dir.Sub("data") + "/tandrel");
  ScopedEnv config("XDG_CONFIG_HOME", dir.Sub("cfg"));
  MakeDir(dir.Sub("cfg"));
  WriteFileBytes(dir.Sub("cfg/user-dirs.dirs"), "# x\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  EXPECT_EQ(DocumentsDir(), dir.path() + "/Dokumente");

  EXPECT_EQ(CacheDir("/d/", "u@x.com"), "/d/\\Tandrel\\u@x.com\\");
  EXPECT_EQ(CacheDir("", "u@x.com"), "");
  for (const char* name : {"", ".", "..", "../u@x.com", "a/b", "a\\b"}) {
    EXPECT_EQ(CacheDir("/d/", name), "") << name;
    EXPECT_FALSE(IsSingleName(name)) << name;
  }
  EXPECT_FALSE(IsSingleName(std::string("a\0b", 3)));
  EXPECT_TRUE(IsSingleName("..a@b.c"));
  std::string prog = ProgramDir();
  ASSERT_FALSE(prog.empty());
  EXPECT_EQ(prog.back(), '/');
}

TEST(MountPointTest, TrueOnlyForTheRootOfAMountAlsoThroughALink) {
  TempDir dir("mnt");
  EXPECT_TRUE(IsMountPoint("/"));
  ASSERT_EQ(::symlink("/", dir.Sub("root").c_str()), 0);
  EXPECT_TRUE(IsMountPoint(dir.Sub("root")));
  EXPECT_FALSE(IsMountPoint(dir.path()));
  EXPECT_FALSE(IsMountPoint(dir.Sub("missing")));
}

}  // namespace

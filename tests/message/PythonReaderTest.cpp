#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "MessageTestUtil.h"

using namespace message_test;

namespace {

struct PipeCloser {
  void operator()(FILE* f) const { pclose(f); }
};

// Runs the checker; returns its exit status and collects what it printed.
int RunChecker(const std::string& args, std::string& output) {
  std::string command = "python3 '" TANDREL_MESSAGE_TEST_DIR "/check_eml.py' " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PythonReaderTest : public ::testing::Test {
 protected:
  // Writes the part with our writer and lets Python's email package read it.
  void Check(const std::string& name, const std::string& bytes, const std::string& codec,
             int part = 1, int total_part = 1) {
    std::string local = dir_.Sub("local.bin");
    WriteFileBytes(local, bytes);
    int size = static_cast<int>(bytes.size());
    PartHeader record = FilePart(name, local, size, size * total_part, part, total_part);
    if (total_part > 1) {
      // The local file holds the whole file; this part is its first.
      WriteFileBytes(local, bytes + std::string(bytes.size() * (total_part - 1), 'z'));
    }
    std::string eml = dir_.Sub("m.eml");
    ASSERT_NE(WriteMessage(record, eml), "<SaveToEml failed>");
    WriteFileBytes(dir_.Sub("payload"), bytes);
    std::string expected_name = name;
    if (total_part > 1) expected_name += "(第" + std::to_string(part) + "部分)";
    WriteFileBytes(dir_.Sub("name"), expected_name);
    std::string output;
    int rc = RunChecker(
        "'" + eml + "' '" + dir_.Sub("payload") + "' '" + dir_.Sub("name") + "' " + codec, output);
    EXPECT_EQ(rc, 0) << output;
    EXPECT_EQ(output, "ok\n");
  }

  TempDir dir_{"py"};
};

TEST_F(PythonReaderTest, ChineseNameAndBinaryPart) {
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes += static_cast<char>(i * 7);
  Check("报告 2026.txt", bytes, "gbk");
}

TEST_F(PythonReaderTest, PartOfSeveralWithLineSizedBody) {
  Check("data.bin", std::string(54 * 20, '\x5a'), "gbk", 1, 3);
}

TEST_F(PythonReaderTest, EmptyPartAndEmojiName) {
  Check("smile \xF0\x9F\x98\x80.txt", "", "gb18030");
}

}  // namespace

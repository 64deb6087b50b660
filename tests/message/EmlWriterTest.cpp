#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <clocale>
#include <string>
#include <vector>

#include "MessageTestUtil.h"
#include "log/CLog.h"
#include "message/Base64.h"
#include "message/EmlWriter.h"

using namespace message_test;

namespace {

const std::string kCloser = std::string("\r\n\r\n--") + kBoundary + "--";

std::string Bytes(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 167 + seed * 13) & 0xff);
  return s;
}

std::string OpensslBase64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The body as the format lays it out: 72-character lines, each but a
// shorter last one ended by CR LF.
std::string ExpectedBody(const std::string& bytes) {
  std::string b64 = OpensslBase64(bytes), out;
  for (size_t i = 0; i < b64.size(); i += 72) {
    out += b64.substr(i, 72);
    if (b64.size() - i >= 72) out += "\r\n";
  }
  return out;
}

std::string HeaderLine(const std::string& message, const std::string& prefix) {
  size_t pos = message.find("\r\n" + prefix);
  if (pos == std::string::npos) return "<missing " + prefix + ">";
  size_t end = message.find("\r\n", pos + 2);
  return message.substr(pos + 2, end - pos - 2);
}

class EmlWriterTest : public ::testing::Test {
 protected:
  std::string Local(const std::string& bytes) {
    std::string path = dir_.Sub("local.bin");
    WriteFileBytes(path, bytes);
    return path;
  }
  std::string Eml() const { return dir_.Sub("out.eml"); }

  TempDir dir_{"eml"};
  UtcZone utc_;
};

TEST_F(EmlWriterTest, InfoObjectOfTheExamplePart) {
  EmlWriter writer(FilePart("a.txt", "", 5, 5));
  EXPECT_EQ(writer.InfoObject(kTime),
            "{\"file\":\"=?gb2312?B?YS50eHQ=?=\",\"id\":\"7\",\"size\":\"5\",\"total_size\":\"5\","
            "\"part\":\"1\",\"total_part\":\"1\",\"time\":\"1290000000\","
            "\"md5\":\"0123456789abcdef0123456789abcdef\"}");
}

TEST_F(EmlWriterTest, APartCarriesItsFilesTime) {
  PartHeader part = FilePart("a.txt", "", 5, 5);
  part.time = 1049522828;
  EXPECT_NE(EmlWriter(part).InfoObject(kTime).find("\"time\":\"1049522828\""), std::string::npos);
}

TEST_F(EmlWriterTest, InfoObjectOfTheFolderIndex) {
  EmlWriter writer(FolderIndex("", 512));
  EXPECT_EQ(writer.InfoObject(kTime),
            "{\"folder\":\"folder.txt\",\"id\":\"0\",\"size\":\"512\",\"time\":\"1290000000\","
            "\"md5\":\"0123456789abcdef0123456789abcdef\"}");
}

TEST_F(EmlWriterTest, InfoHeaderFolding) {
  // 45 bytes of object give exactly 60 base64 characters: one physical line.
  std::string sixty = Base64Encode(std::string(45, 'x'));
  ASSERT_EQ(sixty.size(), 60u);
  EXPECT_EQ(FoldLines("X-tdr-info: " + sixty, true), "X-tdr-info: " + sixty);
  std::string longer = Base64Encode(std::string(48, 'x'));
  EXPECT_EQ(FoldLines("X-tdr-info: " + longer, true),
            "X-tdr-info: " + longer.substr(0, 60) + "\r\n\t" + longer.substr(60));
}

TEST_F(EmlWriterTest, WholeMessageOfTheExamplePart) {
  int length = 0;
  std::string message = WriteMessage(FilePart("a.txt", Local("hello"), 5, 5), Eml(), &length);
  std::string expected =
      "Date:Wed, 17 Nov 10 13:20:00 +0800\r\n"
      "From:<u@example.com>\r\n"
      "To:<u@example.com>\r\n"
      "Subject:=?gb2312?B?zsS8/jphLnR4dA==?=\r\n"
      "X-Mailer: tandrel 1.0\r\n"
      "X-tdr-info: eyJmaWxlIjoiPT9nYjIzMTI/Qj9ZUzUwZUhRPT89IiwiaWQiOiI3Iiwic2l6\r\n"
      "\tZSI6IjUiLCJ0b3RhbF9zaXplIjoiNSIsInBhcnQiOiIxIiwidG90YWxfcGFydCI6IjEiLCJ0\r\n"
      "\taW1lIjoiMTI5MDAwMDAwMCIsIm1kNSI6IjAxMjM0NTY3ODlhYmNkZWYwMTIzNDU2Nzg5YWJj\r\n"
      "\tZGVmIn0=\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-type: multipart/mixed;\r\n"
      " boundary=\"next-part-23b23mb3tsfd1dfasdf\"\r\n"
      "\r\n"
      "--next-part-23b23mb3tsfd1dfasdf\r\n"
      "Content-Type: application/octet-stream; name=\"=?gb2312?B?YS50eHQ=?=\"\r\n"
      "Content-Disposition: attachment; filename=\"=?gb2312?B?YS50eHQ=?=\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "aGVsbG8=\r\n"
      "\r\n"
      "--next-part-23b23mb3tsfd1dfasdf--";
  EXPECT_EQ(message, expected);
  EXPECT_EQ(length, static_cast<int>(expected.size()));
}

TEST_F(EmlWriterTest, BodyLayoutForSmallAndLineSizedParts) {
  for (size_t n : {0, 1, 2, 3, 52, 53, 54, 55, 108, 163}) {
    std::string bytes = Bytes(n);
    PartHeader record = FilePart("b.bin", Local(bytes), static_cast<int>(n), static_cast<int>(n));
    int length = 0;
    std::string message = WriteMessage(record, Eml(), &length);
    std::string header = EmlWriter(record).Header(kTime);
    ASSERT_EQ(message.compare(0, header.size(), header), 0) << n;
    EXPECT_EQ(message.substr(header.size()), ExpectedBody(bytes) + kCloser) << n;
    EXPECT_EQ(length, static_cast<int>(message.size())) << n;
  }
}

TEST_F(EmlWriterTest, MultipleOf54EndsWithThreeLineBreaks) {
  std::string bytes = Bytes(54 * 3);
  std::string message = WriteMessage(FilePart("c.bin", Local(bytes), 162, 162), Eml());
  std::string tail = OpensslBase64(bytes).substr(144) + "\r\n\r\n\r\n--" + kBoundary + "--";
  ASSERT_GE(message.size(), tail.size());
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}

TEST_F(EmlWriterTest, LastPartStartsAtItsOffset) {
  // Part 3 of 3 of a 25000000-byte file: 4028480 bytes from 20971520 on.
  const int total = 25000000, last = 4028480;
  std::string file = Bytes(total, 3);
  std::string message = WriteMessage(FilePart("big.bin", Local(file), last, total, 3, 3), Eml());
  std::string part = file.substr(20971520);
  ASSERT_EQ(part.size(), static_cast<size_t>(last));
  size_t body = message.find("\r\n\r\n", message.find("Content-Transfer-Encoding"));
  ASSERT_NE(body, std::string::npos);
  EXPECT_TRUE(message.compare(body + 4, std::string::npos, ExpectedBody(part) + kCloser) == 0);
}

TEST_F(EmlWriterTest, MiddlePartAndSuffixes) {
  std::string file = Bytes(300, 5);
  PartHeader record = FilePart("a.txt", Local(file), 100, 300, 2, 3);
  std::string message = WriteMessage(record, Eml());
  // 文件:a.txt(第2部分,共3部分) and a.txt(第2部分) in GBK.
  std::string subject =
      "\xCE\xC4\xBC\xFE:a.txt(\xB5\xDA"
      "2\xB2\xBF\xB7\xD6,\xB9\xB2"
      "3\xB2\xBF\xB7\xD6)";
  std::string name =
      "a.txt(\xB5\xDA"
      "2\xB2\xBF\xB7\xD6)";
  EXPECT_EQ(HeaderLine(message, "Subject:"), "Subject:=?gb2312?B?" + OpensslBase64(subject) + "?=");
  EXPECT_EQ(
      HeaderLine(message, "Content-Disposition:"),
      "Content-Disposition: attachment; filename=\"=?gb2312?B?" + OpensslBase64(name) + "?=\"");
  EXPECT_NE(message.find(ExpectedBody(file.substr(100, 100)) + kCloser), std::string::npos);
}

TEST_F(EmlWriterTest, OnePartFileHasNoSuffix) {
  std::string message = WriteMessage(FilePart("a.txt", Local("hello"), 5, 5), Eml());
  EXPECT_EQ(HeaderLine(message, "Subject:"), "Subject:=?gb2312?B?zsS8/jphLnR4dA==?=");
  EXPECT_EQ(HeaderLine(message, "Content-Type: app"),
            "Content-Type: application/octet-stream; name=\"=?gb2312?B?YS50eHQ=?=\"");
}

TEST_F(EmlWriterTest, FolderIndexMessage) {
  std::string text = "[folder]\r\n1|0|\\|\\\r\n\r\n[ftable]\r\n";
  std::string message =
      WriteMessage(FolderIndex(Local(text), static_cast<int>(text.size())), Eml());
  EXPECT_EQ(HeaderLine(message, "Subject:"),
            "Subject:=?gb2312?B?zsS8/rzQ0MXPorHtKMenzfLO8Mm+KQ==?=");
  EXPECT_EQ(HeaderLine(message, "Content-Disposition:"),
            "Content-Disposition: attachment; filename=\"=?gb2312?B?Zm9sZGVyLnR4dA==?=\"");
  EXPECT_NE(message.find(ExpectedBody(text) + kCloser), std::string::npos);
}

TEST_F(EmlWriterTest, NamesTravelAsGb18030) {
  // 报告 is B1 A8 B8 E6 in GBK; the emoji has no GBK form and takes four
  // GB18030 bytes.
  std::string message =
      WriteMessage(FilePart("报告 2026.txt\xF0\x9F\x98\x80", Local("x"), 1, 1), Eml());
  std::string wire = "\xB1\xA8\xB8\xE6 2026.txt\x94\x39\xFC\x36";
  EXPECT_EQ(
      HeaderLine(message, "Content-Disposition:"),
      "Content-Disposition: attachment; filename=\"=?gb2312?B?" + OpensslBase64(wire) + "?=\"");
}

TEST_F(EmlWriterTest, DateIsEnglishWhateverTheLocale) {
  // Whatever locale the machine offers besides C, the date stays English.
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "zh_CN.UTF-8", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) break;
  }
  EmlWriter writer(FilePart("a.txt", "", 5, 5));
  std::string header = writer.Header(kTime + 86400 * 200);  // a June day
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(header.substr(0, header.find("\r\n")), "Date:Sun, 05 Jun 11 13:20:00 +0800");
}

TEST_F(EmlWriterTest, FailuresAreReported) {
  int length = 0;
  PartHeader record = FilePart("a.txt", Local("hello"), 5, 5);
  EmlWriter writer(record);
  EXPECT_FALSE(writer.SaveToEml(dir_.Sub("missing/dir/out.eml"), length));

  record.source_path = dir_.Sub("no-such-file");
  EmlWriter no_local(record);
  no_local.SetTime(kTime);
  EXPECT_FALSE(no_local.SaveToEml(Eml(), length));
  EXPECT_EQ(ReadFileBytes(Eml()), no_local.Header(kTime));  // the header only

  // A directory opens but cannot be read: a read error.
  record.source_path = dir_.path();
  EmlWriter unreadable(record);
  EXPECT_FALSE(unreadable.SaveToEml(Eml(), length));
}

TEST_F(EmlWriterTest, ShortLocalFileGivesWhatCouldBeRead) {
  int length = 0;
  EmlWriter writer(FilePart("a.txt", Local("hel"), 5, 5));
  writer.SetTime(kTime);
  ASSERT_TRUE(writer.SaveToEml(Eml(), length));
  std::string message = ReadFileBytes(Eml());
  EXPECT_EQ(message.substr(message.size() - 4 - kCloser.size()), "aGVs" + kCloser);
  EXPECT_EQ(length, static_cast<int>(message.size()));
}

TEST_F(EmlWriterTest, LogsBeginAndEnd) {
  CLog* log = CLog::Instance();
  log->SetEnabled(true);
  log->SetThreshold(3);
  log->Queue().TakeAll();
  WriteMessage(FilePart("a.txt", Local("hello"), 5, 5), Eml());
  std::vector<std::string> lines;
  for (auto& line : log->Queue().TakeAll()) lines.push_back(line);
  log->SetEnabled(false);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("begin write eml"), std::string::npos);
  EXPECT_NE(lines[1].find("end write eml"), std::string::npos);
}

}  // namespace

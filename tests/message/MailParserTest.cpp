#include <gtest/gtest.h>

#include <string>

#include "MessageTestUtil.h"
#include "message/Base64.h"
#include "message/EmlWriter.h"
#include "message/MailParser.h"

using namespace message_test;

namespace {

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 59 + 11) & 0xff);
  return s;
}

std::string HeaderPart(const std::string& message) {
  return message.substr(0, message.find("\r\n\r\n") + 4);
}

class MailParserTest : public ::testing::Test {
 protected:
  std::string Write(const PartHeader& record) { return WriteMessage(record, dir_.Sub("m.eml")); }
  std::string Local(const std::string& bytes) {
    std::string path = dir_.Sub("local.bin");
    WriteFileBytes(path, bytes);
    return path;
  }

  TempDir dir_{"parse"};
};

TEST_F(MailParserTest, OwnHeaderAloneGivesTheWholeRecord) {
  std::string message = Write(FilePart("a.txt", Local(Bytes(300)), 100, 300, 2, 3));
  MailParser parser;
  parser.Parse(HeaderPart(message));
  const PartHeader& info = parser.info;
  EXPECT_EQ(info.name, "a.txt(第2部分)");
  EXPECT_EQ(info.file_id, 7);
  EXPECT_EQ(info.size, 100);
  EXPECT_EQ(info.total_size, 300);
  EXPECT_EQ(info.part, 2);
  EXPECT_EQ(info.total_part, 3);
  EXPECT_EQ(info.md5, kMd5);
  EXPECT_EQ(info.time, kTime);  // the writer's "time" key is honoured
  EXPECT_EQ(info.kind, MessageKind::kFilePart);
  EXPECT_TRUE(parser.attachments.empty());
  EXPECT_EQ(parser.delimiter, "--");  // "Content-type" is not "Content-Type"
  EXPECT_EQ(parser.headers.at("X-Mailer"), " tandrel 1.0");
  EXPECT_EQ(parser.headers.at("From"), "<u@example.com>");
  EXPECT_EQ(parser.headers.count("Content-type"), 1u);
}

TEST_F(MailParserTest, WholeMessageGivesThePartBytes) {
  for (size_t n : {0, 1, 2, 3, 53, 54, 55, 108, 1000}) {
    std::string bytes = Bytes(n);
    MailParser parser;
    parser.Parse(Write(FilePart("a.txt", Local(bytes), static_cast<int>(n), static_cast<int>(n))));
    ASSERT_EQ(parser.attachments.size(), 1u) << n;
    EXPECT_EQ(parser.attachments.begin()->first, "a.txt");
    EXPECT_EQ(parser.attachments.begin()->second, bytes) << n;
    EXPECT_EQ(parser.info.size, static_cast<int>(n));
  }
}

// A buffer handed back from an earlier part, larger or smaller than the
// next content and holding old bytes, must not show through.
TEST_F(MailParserTest, AReusedBufferGivesTheSameBytes) {
  std::string buffer(5000, 'x');
  for (size_t n : {1000, 3, 0, 4000, 7000}) {
    std::string bytes = Bytes(n);
    std::string message =
        Write(FilePart("a.txt", Local(bytes), static_cast<int>(n), static_cast<int>(n)));
    MailParser parser;
    parser.ReuseBuffer(std::move(buffer));
    parser.Parse(message);
    ASSERT_EQ(parser.attachments.size(), 1u) << n;
    EXPECT_EQ(parser.attachments.begin()->second, bytes) << n;
    buffer = std::move(parser.attachments.begin()->second);
  }
}

TEST_F(MailParserTest, FolderIndexMessage) {
  std::string text = "[folder]\r\n1|0|\\|\\\r\n2|1|docs|\\docs\\\r\n\r\n[ftable]\r\n7|2|a.txt\r\n";
  PartHeader record = FolderIndex(Local(text), static_cast<int>(text.size()));
  record.file_id = 42;
  MailParser parser;
  parser.Parse(Write(record));
  EXPECT_EQ(parser.info.name, "folder.txt");
  EXPECT_EQ(parser.info.kind, MessageKind::kFolderIndex);
  EXPECT_EQ(parser.info.file_id, 42);
  EXPECT_EQ(parser.info.size, static_cast<int>(text.size()));
  EXPECT_EQ(parser.info.time, kTime);
  EXPECT_EQ(parser.info.total_part, 0);
  ASSERT_EQ(parser.attachments.size(), 1u);
  EXPECT_EQ(parser.attachments.at("folder.txt"), text);
}

TEST_F(MailParserTest, ProperlySpelledContentTypeWithBoundary) {
  MailParser parser;
  parser.Parse(
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n"
      "\r\n"
      "--b\r\n"
      "--b\r\n"
      "consumed with the first differing line\r\n"
      "Content-Disposition: attachment;\r\n"
      "\tfilename=\"x.bin\"\r\n"
      "\r\n"
      "AAEC\r\n"
      "AwQ=\r\n"
      "--b--\r\n");
  EXPECT_EQ(parser.delimiter, "--b");
  ASSERT_EQ(parser.attachments.size(), 1u);
  EXPECT_EQ(parser.attachments.at("x.bin"), std::string("\x00\x01\x02\x03\x04", 5));
}

TEST_F(MailParserTest, PartsWithoutNameAreSkippedToTheDelimiter) {
  MailParser parser;
  parser.Parse(
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: text/plain\r\n\r\nnot kept\r\n--b\r\n"
      "Content-Disposition: attachment; filename=\"y\"\r\n\r\neQ==\r\n--b--");
  ASSERT_EQ(parser.attachments.size(), 1u);
  EXPECT_EQ(parser.attachments.at("y"), "y");
}

TEST_F(MailParserTest, HeaderWithoutEmptyLineLosesItsLastField) {
  MailParser parser;
  parser.Parse("A: 1\r\nB: 2\r\n folded\r\nno colon here\r\nC: 3");
  EXPECT_EQ(parser.headers.size(), 2u);
  EXPECT_EQ(parser.headers.at("A"), " 1");
  EXPECT_EQ(parser.headers.at("B"), " 2 folded");
  EXPECT_EQ(parser.headers.count("C"), 0u);
  EXPECT_EQ(parser.info.kind, MessageKind::kUnknown);
}

TEST_F(MailParserTest, LinesEndAtNulAndLoseOnlyTheirCarriageReturn) {
  MailParser parser;
  parser.Parse(std::string("A: x\0hidden\r\nB: y\r\r\nC:\tz\n\n", 26));
  EXPECT_EQ(parser.headers.at("A"), " x");
  EXPECT_EQ(parser.headers.at("B"), " y\r");
  EXPECT_EQ(parser.headers.at("C"), "\tz");
}

TEST_F(MailParserTest, TimeFallsBackToCTime) {
  std::string object = "{\"file\":\"=?gb2312?B?YS50eHQ=?=\",\"id\":\"3\",\"c_time\":\"1234\"}";
  MailParser parser;
  parser.Parse("X-tdr-info: " + Base64Encode(object) + "\r\n\r\n");
  EXPECT_EQ(parser.info.name, "a.txt");
  EXPECT_EQ(parser.info.time, 1234);
  EXPECT_EQ(parser.info.file_id, 3);

  std::string both = "{\"folder\":\"folder.txt\",\"c_time\":\"1\",\"time\":\"2\"}";
  MailParser second;
  second.Parse("X-tdr-info: " + Base64Encode(both) + "\r\n\r\n");
  EXPECT_EQ(second.info.time, 2);
  EXPECT_EQ(second.info.kind, MessageKind::kFolderIndex);
}

TEST_F(MailParserTest, NumbersConvertLikeTheCLibraryWithoutOverflow) {
  std::string object =
      "{\"file\":\"n\",\"id\":\"12abc\",\"size\":\"x\",\"part\":\"99999999999999999999\","
      "\"total_part\":\"-3\",\"total_size\":\"5368709121\"}";
  MailParser parser;
  parser.Parse("X-tdr-info: " + Base64Encode(object) + "\r\n\r\n");
  EXPECT_EQ(parser.info.name, "n");
  EXPECT_EQ(parser.info.file_id, 12);
  EXPECT_EQ(parser.info.size, 0);
  EXPECT_EQ(parser.info.part, 2147483647);
  EXPECT_EQ(parser.info.total_part, -3);
  EXPECT_EQ(parser.info.total_size, 5368709121LL);  // sizes are 64-bit
}

TEST_F(MailParserTest, ChineseAndEmojiNamesSurviveTheTrip) {
  for (std::string name : {"报告 2026.txt", "smile \xF0\x9F\x98\x80.png", "Ærø €.txt"}) {
    MailParser parser;
    parser.Parse(Write(FilePart(name, Local("content"), 7, 7)));
    EXPECT_EQ(parser.info.name, name);
    ASSERT_EQ(parser.attachments.size(), 1u);
    EXPECT_EQ(parser.attachments.begin()->first, name);
    EXPECT_EQ(parser.attachments.begin()->second, "content");
  }
}

TEST_F(MailParserTest, MissingClosingDelimiterDropsTheAttachment) {
  std::string message = Write(FilePart("a.txt", Local("hello"), 5, 5));
  MailParser parser;
  parser.Parse(message.substr(0, message.rfind("--next")));
  EXPECT_TRUE(parser.attachments.empty());
  EXPECT_EQ(parser.info.kind, MessageKind::kFilePart);
}

TEST_F(MailParserTest, HostileTextStaysBounded) {
  // A header of a million folded lines.
  std::string folded = "X-tdr-info: eyJm\r\n";
  for (int i = 0; i < 1000000; ++i) folded += " A\r\n";
  MailParser many;
  many.Parse(folded + "\r\n");
  EXPECT_EQ(many.headers.at("X-tdr-info").size(), 5 + 2000000u);
  EXPECT_EQ(many.info.kind, MessageKind::kFolderIndex);

  // An unterminated quote, a "B?" without "?=", a boundary without its
  // closing quote.
  MailParser odd;
  odd.Parse(
      "Content-Type: multipart/mixed; boundary=\"open\r\n"
      "X-tdr-info: " +
      Base64Encode("{\"file\":\"=?gb2312?B?YS50") +
      "\r\n\r\n"
      "--x\r\nContent-Disposition: attachment; filename=\"B?YWJj\r\n\r\nYWJj\r\n--");
  EXPECT_EQ(odd.delimiter, "--");
  EXPECT_TRUE(odd.attachments.empty());
  EXPECT_EQ(odd.info.name, "");
  EXPECT_EQ(odd.info.kind, MessageKind::kFolderIndex);

  MailParser trailing;
  trailing.Parse("Content-Type: x; boundary=\"");
  EXPECT_EQ(trailing.delimiter, "--");
  MailParser short_key;
  short_key.Parse("Content-Type: x; boundary\r\n\r\n");
  EXPECT_EQ(short_key.delimiter, "--");
  MailParser empty;
  empty.Parse("");
  EXPECT_TRUE(empty.headers.empty());
}

TEST_F(MailParserTest, DelimiterAfterNulOrInLaterLinesIsFoundExactly) {
  // The boundary text hidden behind a NUL does not end the attachment; the
  // next line holding it does.
  MailParser parser;
  parser.Parse(
      std::string("Content-Type: m; boundary=\"bb\"\r\n\r\n--bb\r\nskipped\r\n"
                  "Content-Disposition: a; filename=\"f\"\r\n\r\n"
                  "YWJj\0--bb\r\nZGVm\r\nx--bby\r\n",
                  114));
  ASSERT_EQ(parser.attachments.count("f"), 1u);
  EXPECT_EQ(parser.attachments.at("f"), "abcdef");
}

}  // namespace

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "message/Base64.h"

namespace {

std::string OpensslBase64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return s;
}

TEST(Base64Test, EncodeMatchesOpensslAndDecodesBack) {
  for (size_t n : {0, 1, 2, 3, 4, 53, 54, 55, 1000, 4096}) {
    std::string data = Bytes(n);
    std::string text = Base64Encode(data);
    EXPECT_EQ(text, OpensslBase64(data)) << n;
    EXPECT_EQ(Base64Decode(text), data) << n;
  }
  EXPECT_EQ(Base64Encode("hello"), "aGVsbG8=");
}

TEST(Base64Test, FoldedEncoderEqualsEncodeThenFold) {
  for (size_t n = 0; n < 400; n += 7) {
    std::string data = Bytes(n * 3 + n % 3);
    std::string out(Base64FoldedSize(data.size()), '\0');
    size_t written = Base64EncodeFolded(reinterpret_cast<const unsigned char*>(data.data()),
                                        data.size(), out.data());
    ASSERT_EQ(written, out.size());
    EXPECT_EQ(out, FoldLines(OpensslBase64(data), false)) << data.size();
  }
}

TEST(Base64Test, DecodeHandlesAForeignByteAtEveryPosition) {
  std::string data = Bytes(60);
  std::string text = OpensslBase64(data);  // 80 characters, every alphabet range
  for (size_t pos = 0; pos <= text.size(); ++pos) {
    std::string noisy = text;
    noisy.insert(pos, pos % 2 ? "\r\n" : "\x80");
    EXPECT_EQ(Base64Decode(noisy), data) << pos;
  }
  std::string all = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  EXPECT_EQ(Base64Encode(Base64Decode(all + all)), all + all);
}

TEST(Base64Test, DecodeSkipsForeignBytesAndStopsAtPadding) {
  EXPECT_EQ(Base64Decode(" aGVs\r\n\tbG8=\xff"), "hello");
  EXPECT_EQ(Base64Decode("YQ==YWJj"), "a");   // nothing after the first "="
  EXPECT_EQ(Base64Decode("YWJjZA"), "abcd");  // whole bytes of a partial group
  EXPECT_EQ(Base64Decode("YWJjZ"), "abc");    // a lone sextet is no byte
  EXPECT_EQ(Base64Decode(""), "");
  EXPECT_EQ(Base64Decode("\x80\x81 !"), "");
}

// Each line decoded on its own, as the message reader does line by line.
std::string DecodePerLine(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf;
    size_t stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
    out += Base64Decode(text.substr(start, stop - start));
    start = lf == std::string::npos ? text.size() : lf + 1;
  }
  return out;
}

// The sweep takes only lines that decode alike on their own and together,
// and leaves the rest for the line-by-line reader: the two parts joined
// equal a decode line by line, whatever the text.
TEST(Base64Test, LineSweepStopsWhereLinesStopBeingRegular) {
  std::string folded = FoldLines(OpensslBase64(Bytes(1000)), false);  // 72-character lines
  std::vector<std::string> texts = {folded, "", "\r\n", "AAAA", "AAAA\r\n", "AAA\r\nAAAA\r\n"};
  const std::vector<std::string> noises = {"=", std::string(1, '\0'), "\n", "\r", " ", "-"};
  for (size_t pos = 0; pos < folded.size(); pos += 37) {
    for (const std::string& noise : noises) {
      std::string t = folded;
      t.insert(pos, noise);
      texts.push_back(t);
    }
    std::string cut = folded;
    cut.erase(pos, 4);  // a shorter line in the middle
    texts.push_back(cut);
  }
  texts.push_back("AAAAAAAA\r\nAAAA\r\nAAAAAAAA\r\n");  // lengths differ
  for (const std::string& t : texts) {
    std::string out(Base64DecodeBound(t.size()), '\0');
    size_t consumed = 0;
    size_t written = Base64DecodeLines(t.data(), t.size(), out.data(), consumed);
    ASSERT_LE(consumed, t.size());
    ASSERT_TRUE(consumed == 0 || t.compare(consumed - 2, 2, "\r\n") == 0);
    out.resize(written);
    EXPECT_EQ(out + DecodePerLine(t.substr(consumed)), DecodePerLine(t)) << t.size();
  }
  std::string out(Base64DecodeBound(folded.size()), '\0');
  size_t consumed = 0;
  Base64DecodeLines(folded.data(), folded.size(), out.data(), consumed);
  EXPECT_EQ(consumed, folded.rfind("\r\n", folded.size() - 3) + 2) << "all but the short last line";
}

TEST(Base64Test, FoldLinesWithoutContinuationKeepsFinalBreak) {
  std::string line(72, 'A');
  EXPECT_EQ(FoldLines("", false), "");
  EXPECT_EQ(FoldLines(std::string(71, 'A'), false), std::string(71, 'A'));
  EXPECT_EQ(FoldLines(line, false), line + "\r\n");
  EXPECT_EQ(FoldLines(line + line + "B", false), line + "\r\n" + line + "\r\nB");
}

TEST(Base64Test, FoldLinesWithContinuationIndentsAndDropsFinalBreak) {
  std::string line(72, 'A');
  EXPECT_EQ(FoldLines(line, true), line);
  EXPECT_EQ(FoldLines(line + "BC", true), line + "\r\n\tBC");
  EXPECT_EQ(FoldLines(line + line, true), line + "\r\n\t" + line);
}

TEST(Base64Test, DecodeEncodedWord) {
  EXPECT_EQ(DecodeEncodedWord("=?gb2312?B?YS50eHQ=?="), "a.txt");
  EXPECT_EQ(DecodeEncodedWord("folder.txt"), "folder.txt");
  EXPECT_EQ(DecodeEncodedWord("?B?YWJj?="), "?B?YWJj?=");  // word at position 0
  EXPECT_EQ(DecodeEncodedWord("x?B?YWJj"), "x?B?YWJj");    // no "?="
  EXPECT_EQ(DecodeEncodedWord("x?B?"
                              "?="),
            "x?B?"
            "?=");                                               // decodes to nothing
  EXPECT_EQ(DecodeEncodedWord("=?utf-8?B?YWJj?= tail"), "abc");  // charset not looked at
}

}  // namespace

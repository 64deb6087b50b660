#include <gtest/gtest.h>

#include <string>

#include "platform/WireCodePage.h"

namespace {

TEST(WireCodePageTest, GbkCharactersBecomeTheirGbkBytes) {
  EXPECT_EQ(WireCodePage::FromUtf8("文件夹信息表(千万勿删)"),
            "\xCE\xC4\xBC\xFE\xBC\xD0\xD0\xC5\xCF\xA2\xB1\xED(\xC7\xA7\xCD\xF2\xCE\xF0\xC9\xBE)");
  EXPECT_EQ(WireCodePage::ToUtf8("\xB1\xA8\xB8\xE6 2026.txt"), "报告 2026.txt");
  EXPECT_EQ(WireCodePage::FromUtf8("plain.txt"), "plain.txt");
}

TEST(WireCodePageTest, CharactersOutsideGbkRoundTrip) {
  for (std::string text : {"\xF0\x9F\x98\x80", "Ærø €", "한국어", "a\xE2\x80\x8Bz"}) {
    std::string wire = WireCodePage::FromUtf8(text);
    EXPECT_NE(wire, text);
    EXPECT_EQ(WireCodePage::ToUtf8(wire), text);
  }
  EXPECT_EQ(WireCodePage::FromUtf8("\xF0\x9F\x98\x80"), "\x94\x39\xFC\x36");
}

TEST(WireCodePageTest, InvalidBytesPassUnchanged) {
  // A stray continuation byte, a truncated sequence at the end, an overlong
  // form: each kept as it is, the text around them converted.
  EXPECT_EQ(WireCodePage::FromUtf8("a\x80"
                                   "文\xE6\x96"),
            "a\x80\xCE\xC4\xE6\x96");
  EXPECT_EQ(WireCodePage::FromUtf8("\xC0\xAF"), "\xC0\xAF");
  EXPECT_EQ(WireCodePage::ToUtf8("\xFF"
                                 "\xCE\xC4"
                                 "\x80"),
            "\xFF"
            "文"
            "\x80");
  EXPECT_EQ(WireCodePage::ToUtf8("x\x81"), "x\x81");  // lead byte without its trail
  EXPECT_EQ(WireCodePage::ToUtf8(""), "");
}

TEST(WireCodePageTest, LongTextConverts) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "\xC2\x80";  // each four bytes in GB18030
  std::string wire = WireCodePage::FromUtf8(text);
  EXPECT_EQ(wire.size(), 80000u);
  EXPECT_EQ(WireCodePage::ToUtf8(wire), text);
}

}  // namespace

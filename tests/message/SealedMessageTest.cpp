// Messages of an encrypted drive: written sealed, they name nothing and
// carry no readable content; read back only with the drive's key, whole,
// unaltered and in their own place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "MessageTestUtil.h"
#include "ServerProcess.h"
#include "message/Base64.h"
#include "message/DriveKey.h"
#include "message/EmlWriter.h"
#include "message/MailParser.h"
#include "platform/WireCodePage.h"

using namespace message_test;

namespace {

const std::string kName = "季度报告-机密.xlsx";
constexpr int kPartSize = 100000;

std::string Content() {
  std::string s;
  while (s.size() < 3 * kPartSize) s += "secret ledger line " + std::to_string(s.size()) + "\n";
  s.resize(3 * kPartSize);
  return s;
}

class SealedMessageTest : public ::testing::Test {
 protected:
  SealedMessageTest() : key_(*DriveKey::Generate()), other_(*DriveKey::Generate()) {
    WriteFileBytes(dir_.Sub("local.bin"), content_);
  }

  // Part `part` of the three-part file, sealed with key (plain without).
  std::string Write(int part, const DriveKey* key) {
    PartHeader record = FilePart(kName, dir_.Sub("local.bin"), kPartSize, 3 * kPartSize, part, 3);
    EmlWriter writer(record);
    writer.SetKey(key);
    writer.SetTime(kTime);
    int length = 0;
    std::string path = dir_.Sub("part" + std::to_string(part) + ".eml");
    if (!writer.SaveToEml(path, length)) return {};
    return ReadFileBytes(path);
  }

  static MailParser::Sealing Read(const std::string& message, const DriveKey* key,
                                  PartHeader* info = nullptr, std::string* content = nullptr) {
    MailParser parser;
    parser.SetKey(key);
    parser.Parse(message);
    if (info) *info = parser.info;
    if (content)
      *content = parser.attachments.empty() ? "<none>" : parser.attachments.begin()->second;
    return parser.sealing;
  }

  TempDir dir_{"sealed"};
  UtcZone utc_;
  std::string content_ = Content();
  DriveKey key_, other_;
};

TEST_F(SealedMessageTest, NamesAndContentStayInsideAndComeBackWithTheKey) {
  std::string message = Write(2, &key_);
  ASSERT_FALSE(message.empty());
  std::string part = content_.substr(kPartSize, kPartSize);
  for (const std::string& hidden :
       {kName, WireCodePage::FromUtf8(kName), Base64Encode(WireCodePage::FromUtf8(kName)),
        std::string("xlsx"), std::string("secret ledger"), Base64Encode(part.substr(0, 54)),
        std::string(kMd5), std::string("X-tdr-info")})
    EXPECT_EQ(message.find(hidden), std::string::npos) << hidden;
  EXPECT_NE(message.find("filename=\"part.age\""), std::string::npos);

  PartHeader info;
  std::string got;
  ASSERT_EQ(Read(message, &key_, &info, &got), MailParser::Sealing::kOpened);
  EXPECT_EQ(info.name, kName + "(第2部分)");
  EXPECT_EQ(info.kind, MessageKind::kFilePart);
  EXPECT_EQ(info.part, 2);
  EXPECT_EQ(info.total_size, 3 * kPartSize);
  EXPECT_EQ(info.md5, kMd5);
  EXPECT_TRUE(got == part);
  // The header alone, as a listing fetches it.
  ASSERT_EQ(Read(message.substr(0, message.find("\r\n\r\n") + 4), &key_, &info, &got),
            MailParser::Sealing::kOpened);
  EXPECT_EQ(info.part, 2);
  EXPECT_TRUE(got == "<none>");
  // Every message gets a subject of its own.
  EXPECT_NE(message.substr(0, message.find("X-Mailer")),
            Write(2, &key_).substr(0, message.find("X-Mailer")));
}

TEST_F(SealedMessageTest, ForeignAlteredOrMisplacedMessagesAreRefused) {
  std::string two = Write(2, &key_), three = Write(3, &key_), plain = Write(2, nullptr);
  PartHeader info;
  std::string got;
  EXPECT_EQ(Read(two, &other_, &info, &got), MailParser::Sealing::kRefused);
  EXPECT_EQ(info.kind, MessageKind::kUnknown);
  EXPECT_TRUE(got == "<none>");
  EXPECT_EQ(Read(plain, &key_, &info, &got), MailParser::Sealing::kRefused) << "a forgery";
  EXPECT_EQ(info.kind, MessageKind::kUnknown);
  EXPECT_EQ(Read(two, nullptr, &info), MailParser::Sealing::kPlain);
  EXPECT_EQ(info.kind, MessageKind::kUnknown) << "a reader without the key ignores it";

  // Part 2's content under part 3's header.
  size_t body2 = two.find("\r\n\r\n", two.find("Content-Transfer-Encoding"));
  size_t body3 = three.find("\r\n\r\n", three.find("Content-Transfer-Encoding"));
  EXPECT_EQ(Read(three.substr(0, body3) + two.substr(body2), &key_, &info, &got),
            MailParser::Sealing::kRefused);
  EXPECT_TRUE(got == "<none>");
  std::string altered = two;
  size_t middle = body2 + (two.size() - body2) / 2;
  altered[middle] = altered[middle] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Read(altered, &key_), MailParser::Sealing::kRefused);
  // Cut after its first lines, the closing delimiter kept.
  std::string cut = two.substr(0, body2 + 4 + 74 * 100) + "\r\n\r\n--" + kBoundary + "--";
  EXPECT_EQ(Read(cut, &key_), MailParser::Sealing::kRefused);
}

// What a user who leaves does: the attachment, as any mail reader saves it,
// opens with age and the exported identity.
TEST_F(SealedMessageTest, AnAttachmentOpensWithAgeAndTheIdentity) {
  if (::access("/usr/bin/age", X_OK) != 0) {
    if (ServerProcess::RequiredByCi()) FAIL() << "age is not installed";
    GTEST_SKIP() << "age is not installed";
  }
  MailParser keyless;
  keyless.Parse(Write(3, &key_));
  ASSERT_EQ(keyless.attachments.count("part.age"), 1u);
  WriteFileBytes(dir_.Sub("part.age"), keyless.attachments["part.age"]);
  WriteFileBytes(dir_.Sub("key.txt"), key_.identity().ToString() + "\n");
  ASSERT_TRUE(ServerProcess::Run(
      {"age", "-d", "-i", dir_.Sub("key.txt"), "-o", dir_.Sub("out"), dir_.Sub("part.age")},
      dir_.Sub("age.log")))
      << ReadFileBytes(dir_.Sub("age.log"));
  EXPECT_TRUE(ReadFileBytes(dir_.Sub("out")) == content_.substr(2 * kPartSize));
}

TEST_F(SealedMessageTest, TheFolderIndexTravelsSealedToo) {
  std::string text = "sealed tree listing";
  WriteFileBytes(dir_.Sub("folder.txt"), text);
  EmlWriter writer(FolderIndex(dir_.Sub("folder.txt"), static_cast<int>(text.size())));
  writer.SetKey(&key_);
  int length = 0;
  ASSERT_TRUE(writer.SaveToEml(dir_.Sub("index.eml"), length));
  std::string message = ReadFileBytes(dir_.Sub("index.eml"));
  EXPECT_EQ(message.find("folder.txt"), std::string::npos);
  PartHeader info;
  std::string got;
  ASSERT_EQ(Read(message, &key_, &info, &got), MailParser::Sealing::kOpened);
  EXPECT_EQ(info.kind, MessageKind::kFolderIndex);
  EXPECT_EQ(got, text);
}

}  // namespace

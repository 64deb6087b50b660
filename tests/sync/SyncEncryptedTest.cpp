// Engines of an encrypted drive on one Dovecot mailbox: what they seal the
// server stores without a name or a byte of content; they read each other's
// tree whole, and ignore whatever was not sealed with their key.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "SyncMachinesFixture.h"
#include "message/Base64.h"
#include "message/DriveKey.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "platform/WireCodePage.h"
#include "store/CachePolicy.h"
#include "sync/PartHeaders.h"

namespace {

const std::string kFolder = "\\机密项目";
const std::string kName = "季度报告.xlsx";

class SyncEncrypted : public SyncMachines {
 protected:
  void SetUp() override {
    SyncMachines::SetUp();
    a_->engine().SetKey(key_);
    b_->engine().SetKey(key_);
  }

  // Every stored message file of the mailbox, with what it must not hold.
  void ExpectNoneHolds(const std::vector<std::string>& hidden) {
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(server_.MailDir())) {
      if (!entry.is_regular_file()) continue;
      std::string bytes = ReadFileBytes(entry.path().string());
      ++files;
      for (const std::string& text : hidden)
        EXPECT_EQ(bytes.find(text), std::string::npos) << text << " in " << entry.path();
    }
    EXPECT_GT(files, 3);
  }

  DriveKey key_ = *DriveKey::Generate();
};

TEST_F(SyncEncrypted, TheTreeTravelsWholeAndTheServerSeesNoNameOrContent) {
  const std::string big = Bytes(12000000, 5), note = "the launch code is 0000\n";
  ASSERT_TRUE(a_->Mkdir(kFolder));
  ASSERT_TRUE(a_->Write(kFolder + "\\" + kName, big));
  ASSERT_TRUE(a_->Write("\\notes-secret.txt", note));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_TRUE(b_->Read(kFolder + "\\" + kName) == big);
  EXPECT_EQ(b_->Read("\\notes-secret.txt"), note);

  std::string wire = WireCodePage::FromUtf8(kName);
  ExpectNoneHolds({kName, wire, Base64Encode(wire), "机密项目", WireCodePage::FromUtf8("机密项目"),
                   "notes-secret", Base64Encode("notes-secret"), "launch code",
                   Base64Encode(note).substr(0, 16), Base64Encode(big.substr(0, 54)), "folder.txt",
                   "X-tdr-info"});

  // Without the key a message is no part of the drive: a forged one and a
  // machine of another key change nothing.
  PartHeader forged;
  forged.name = "forged.txt";
  forged.file_id = 999;
  forged.size = forged.total_size = static_cast<int>(note.size());
  forged.part = forged.total_part = 1;
  forged.kind = MessageKind::kFilePart;
  forged.source_path = tmp_.Sub("forged.txt");
  forged.from = forged.to = kUser;
  WriteFileBytes(forged.source_path, note);
  int length = 0;
  ASSERT_TRUE(EmlWriter(forged).SaveToEml(tmp_.Sub("forged.eml"), length));
  ASSERT_TRUE(AppendFile(tmp_.Sub("forged.eml")));
  std::unique_ptr<EngineMachine> other = NewMachine("other");
  ASSERT_TRUE(other);
  other->engine().SetKey(*DriveKey::Generate());
  ASSERT_TRUE(EngineMachine::Converge({other.get()}));
  EXPECT_TRUE(other->List().empty());
  int messages = Box().messages;
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_EQ(Sizes(a_->List()).count("\\forged.txt"), 0u);
  EXPECT_EQ(Sizes(a_->List()).size(), 3u);
  EXPECT_EQ(Box().messages, messages);
}

// A stored part altered on the server is never written here: fetched again,
// and said, until the server gives the sealed bytes back.
TEST_F(SyncEncrypted, AnAlteredPartIsRefusedUntilItsBytesComeBack) {
  const std::string content = Bytes(300000, 9);
  ASSERT_TRUE(a_->Write("\\ledger.bin", content));
  ASSERT_TRUE(EngineMachine::Converge({a_.get()}));
  std::string stored, original;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(server_.MailDir())) {
    if (!entry.is_regular_file()) continue;
    std::string bytes = ReadFileBytes(entry.path().string());
    if (bytes.find("part.age") == std::string::npos) continue;
    stored = entry.path().string();
    original = bytes;
  }
  ASSERT_FALSE(stored.empty());
  std::string altered = original;
  size_t at = altered.size() / 2;  // a base64 character of the body, another one in its place
  altered[at] = altered[at] == 'A' ? 'B' : 'A';
  WriteFileBytes(stored, altered);

  for (int round = 0; round < 3; ++round) b_->Pass();
  EXPECT_NE(b_->Read("\\ledger.bin"), content);
  EXPECT_NE(b_->status().Take().last_error.find("failed its authentication"), std::string::npos)
      << b_->status().Take().last_error;
  WriteFileBytes(stored, original);
  ASSERT_TRUE(Converge());
  EXPECT_TRUE(b_->Read("\\ledger.bin") == content);
}

// Content on demand stays ranged: a read fetches and decrypts only the age
// chunks it needs, and a chunk that does not authenticate is never written.
TEST_F(SyncEncrypted, OnDemandReadsDecryptOnlyTheChunksTheyNeed) {
  const std::string big = Bytes(12000000, 3);
  ASSERT_TRUE(a_->Write("\\big.bin", big));
  ASSERT_TRUE(EngineMachine::Converge({a_.get()}));
  ASSERT_TRUE(CachePolicy(b_->engine().DataDirectory(), kUser).SetLimit(4 << 20));
  b_->Pass();
  ContentCache& cache = b_->engine().Content();
  auto read = [&](int64_t at, size_t n) {
    bool complete = false;
    if (cache.Ensure("\\big.bin", at, static_cast<int64_t>(n), complete) !=
        ContentCache::Fetch::kReady)
      return std::string();
    return b_->ReadAt("\\big.bin", at, n);
  };
  const int64_t at = 5 * 1024 * 1024 + 123457, tail = static_cast<int64_t>(big.size()) - 100;
  EXPECT_TRUE(read(at, 1000) == big.substr(at, 1000));
  EXPECT_TRUE(read(tail, 100) == big.substr(tail));  // the final chunk
  EXPECT_LE(cache.CachedBytes(), 4 * 65536);

  // One base64 character of chunk 100 of part 1 (the largest message), in
  // the middle of the chunk, altered on the server.
  std::string stored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(server_.MailDir())) {
    if (entry.is_regular_file() && entry.file_size() > 10000000 &&
        ReadFileBytes(entry.path().string()).find("part.age") != std::string::npos)
      stored = entry.path().string();
  }
  ASSERT_FALSE(stored.empty());
  std::string original = ReadFileBytes(stored), altered = original;
  size_t body = altered.find("\r\n\r\n", altered.find("part.age")) + 4;
  size_t sealed_at = 300 + 16 + 100 * 65552 + 20000;
  size_t pos = body + sealed_at / 54 * 74 + 20;
  altered[pos] = altered[pos] == 'A' ? 'B' : 'A';
  WriteFileBytes(stored, altered);
  const int64_t in_chunk = 100 * 65536 + 20000;
  EXPECT_EQ(read(in_chunk, 100), "");
  EXPECT_NE(b_->status().Take().last_error.find("failed its authentication"), std::string::npos);
  WriteFileBytes(stored, original);
  EXPECT_TRUE(read(in_chunk, 100) == big.substr(in_chunk, 100));
}

}  // namespace

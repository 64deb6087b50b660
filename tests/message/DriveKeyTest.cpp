#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "message/DriveKey.h"

namespace {

constexpr int kFastWorkFactor = 10;

DriveKey NewKey() {
  std::optional<DriveKey> key = DriveKey::Generate();
  EXPECT_TRUE(key.has_value());
  return *key;
}

TEST(DriveKeyTest, SealedKeyOpensOnlyWithItsPassphraseAndWhole) {
  DriveKey key = NewKey();
  std::optional<std::string> sealed = key.Seal("correct horse", kFastWorkFactor);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->find(key.identity().ToString()), std::string::npos);

  std::optional<DriveKey> opened;
  ASSERT_EQ(DriveKey::Unseal(*sealed, "correct horse", opened), DriveKey::Unsealed::kOpened);
  EXPECT_EQ(opened->identity().ToString(), key.identity().ToString());
  // The keys derived from it are the same too: what one machine sealed,
  // another opens.
  std::string object;
  EXPECT_TRUE(opened->OpenObject(*key.SealObject("{\"name\":\"a\"}"), object));
  EXPECT_EQ(opened->BindingTag(3, 1), key.BindingTag(3, 1));

  EXPECT_EQ(DriveKey::Unseal(*sealed, "correct horse ", opened),
            DriveKey::Unsealed::kWrongPassphrase);
  EXPECT_FALSE(opened.has_value());
  std::string damaged = *sealed;
  damaged[damaged.size() - 20] ^= 1;
  EXPECT_EQ(DriveKey::Unseal(damaged, "correct horse", opened), DriveKey::Unsealed::kDamaged);
  EXPECT_EQ(DriveKey::Unseal(sealed->substr(0, 40), "correct horse", opened),
            DriveKey::Unsealed::kDamaged);
  EXPECT_FALSE(opened.has_value());
}

TEST(DriveKeyTest, SealedObjectsOpenOnlyUnalteredUnderTheirOwnKey) {
  DriveKey key = NewKey(), other = NewKey();
  const std::string object = "{\"name\":\"报告.docx\",\"size\":12}";
  std::optional<std::string> sealed = key.SealObject(object);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->find("docx"), std::string::npos);
  EXPECT_EQ(sealed->find_first_of("\r\n=: "), std::string::npos) << "one header-safe line";
  EXPECT_NE(*sealed, *key.SealObject(object)) << "a fresh nonce each time";

  std::string out;
  ASSERT_TRUE(key.OpenObject(*sealed, out));
  EXPECT_EQ(out, object);
  EXPECT_FALSE(other.OpenObject(*sealed, out));
  std::string altered = *sealed;
  altered[altered.size() / 2] = altered[altered.size() / 2] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(key.OpenObject(altered, out));
  EXPECT_FALSE(key.OpenObject(sealed->substr(0, 20), out));
  EXPECT_FALSE(key.OpenObject("", out));
}

TEST(DriveKeyTest, BindingTagsNeedTheKey) {
  DriveKey key = NewKey(), other = NewKey();

  EXPECT_EQ(key.BindingTag(7, 2), key.BindingTag(7, 2));
  EXPECT_NE(key.BindingTag(7, 2), key.BindingTag(7, 3));
  EXPECT_NE(key.BindingTag(1, 12), key.BindingTag(11, 2));
  EXPECT_NE(key.BindingTag(7, 2), other.BindingTag(7, 2));
}

}  // namespace

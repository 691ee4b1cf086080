// Hash texts against digests computed independently, salt drawing and the
// Base64 form of secrets.
#include "history/password_hash.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "util/text_util.h"

namespace zefa {
namespace {

Text T(const std::string& utf8) { return Utf8ToText(utf8); }

const std::string kSalt = "AbCdEfGh12345678";

bool IsSalt(const Text& salt) {
  return salt.size() == kSaltLength && salt.find_first_not_of(kSaltAlphabet) == Text::npos;
}

TEST(HashPasswordTest, KnownAnswersForEveryAlgorithm) {
  struct Case {
    const char* algorithm;
    int64_t iterations;
    const char* digest;
  };
  const Case cases[] = {
      {"md5", 0, "5065a09e1afab435087790d54b4499ff"},
      {"md5", 1000, "1afec46a2103043e61e67005f0125868"},
      {"sha1", 0, "ea1177eff27f6d3dcbf9a6587672bc765e8f6582"},
      {"sha1", 1000, "4fde6ce4a556018509a5b7c5d5d3555c2a44130f"},
      {"sha256", 0, "f06df988ef40fab9c7616254fe45a0131914a7a67731824c18b8be92112c51bb"},
      {"sha256", 1, "58036c07cf8c31dd2f9f1a99e492f06f5435437473a0a69d8b8463ab24428319"},
      {"sha256", 1000, "fc211608ff410f1f7f04820a2c0bac1b3bfeb03f0d325187bd98ab65453aa8e1"},
      {"sha512", 0,
       "f94d944ea12c92694e266ad3509e062de973f9f98166eb230f021886361a031d5436e7e8b7027e0c1d1435bd4b2"
       "63"
       "355a77ab343e54f43f5679d40d81c1727d5"},
      {"sha512", 1000,
       "c2e7f82972227fa9c8148448c4eb60fbbb9deb80661d24fc2962918d743a6f81f38857b5b7cb0dcfd315bf105b9"
       "c0"
       "c919c401faaf51a74c92461cbb5a4efb857"},
  };
  for (const Case& c : cases) {
    const std::string expected = std::string("$1:") + c.algorithm + ":" +
                                 std::to_string(c.iterations) + ":" + kSalt + ":" + c.digest;
    EXPECT_EQ(HashPassword(ZT("Secret1!"), T(c.algorithm), c.iterations, T(kSalt)), T(expected))
        << c.algorithm << " " << c.iterations;
  }
}

TEST(HashPasswordTest, NameIsMatchedExactlyAndWrittenAsPassed) {
  const std::string sha256_0 = "f06df988ef40fab9c7616254fe45a0131914a7a67731824c18b8be92112c51bb";
  const std::string sha256_1000 =
      "fc211608ff410f1f7f04820a2c0bac1b3bfeb03f0d325187bd98ab65453aa8e1";
  EXPECT_EQ(HashPassword(ZT("Secret1!"), ZT("SHA256"), 1000, T(kSalt)),
            T("$1:SHA256:1000:" + kSalt + ":" + sha256_1000));
  // Only the exact lower-case names pick another digest.
  for (const char* name : {"MD5", "Sha1", "SHA512", "sha-512", "whirlpool", ""}) {
    EXPECT_EQ(HashPassword(ZT("Secret1!"), T(name), 0, T(kSalt)),
              T(std::string("$1:") + name + ":0:" + kSalt + ":" + sha256_0))
        << name;
  }
  // Negative counts run no extra iteration but are written as passed.
  EXPECT_EQ(HashPassword(ZT("Secret1!"), ZT("sha256"), -3, T(kSalt)),
            T("$1:sha256:-3:" + kSalt + ":" + sha256_0));
}

TEST(HashPasswordTest, WholeAlphabetSaltAndNonAsciiText) {
  const Text salt(kSaltAlphabet);
  EXPECT_EQ(HashPassword(T("Pässwörd€😀"), ZT("sha256"), 1000, salt),
            ZT("$1:sha256:1000:") + salt +
                ZT(":7f66aead7ceb00ed06f45288b62179a88f8092ce58f60ab0bc4c7d47de7250b2"));
  EXPECT_EQ(HashPassword(Text(), ZT("sha256"), 0, T(kSalt)),
            T("$1:sha256:0:" + kSalt +
              ":f4d797fa313f2770746f818fa9333f3dba50f940cef7ff9423edb506941402b0"));
}

TEST(HashPasswordTest, EmptySaltDrawsAFreshOneThatReproducesTheHash) {
  const Text password = ZT("Secret1!");
  const Text first = HashPassword(password, ZT("sha256"), 10, Text());
  const Text second = HashPassword(password, ZT("sha256"), 10, Text());
  EXPECT_EQ(password, ZT("Secret1!")) << "a copy is hashed, the caller's text stays";
  const std::vector<Text> fields = SplitFields(first, ZT(':'));
  ASSERT_EQ(fields.size(), 5u) << TextToUtf8(first);
  EXPECT_EQ(fields[0], ZT("$1"));
  ASSERT_TRUE(IsSalt(fields[3]));
  EXPECT_EQ(fields[4].size(), 64u);
  EXPECT_EQ(HashPassword(password, ZT("sha256"), 10, fields[3]), first);
  EXPECT_NE(SplitFields(second, ZT(':'))[3], fields[3]);
}

TEST(RandomTextTest, LengthAlphabetAndEveryCharacterDrawn) {
  const Text drawn = RandomText(72 * 200, kSaltAlphabet);
  ASSERT_EQ(drawn.size(), 72u * 200u);
  std::map<WChar, int> counts;
  for (WChar c : drawn) ++counts[c];
  EXPECT_EQ(counts.size(), kSaltAlphabet.size());
  for (const auto& [c, n] : counts) {
    EXPECT_NE(kSaltAlphabet.find(c), TextView::npos);
    // Expected 200 each, standard deviation about 14: wide bounds, never flaky.
    EXPECT_GT(n, 100);
    EXPECT_LT(n, 300);
  }
  EXPECT_TRUE(IsSalt(RandomText(kSaltLength, kSaltAlphabet)));
  EXPECT_NE(RandomText(kSaltLength, kSaltAlphabet), RandomText(kSaltLength, kSaltAlphabet));
}

TEST(RandomTextTest, DegenerateRequests) {
  EXPECT_EQ(RandomText(5, ZT("x")), ZT("xxxxx"));
  EXPECT_EQ(RandomText(0, kSaltAlphabet), Text());
  EXPECT_EQ(RandomText(5, TextView()), Text());
}

TEST(Base64TextTest, EncodesUtf8BytesWithPadding) {
  EXPECT_EQ(Base64Text(T("say \"hi\" — Grüße 😀")), ZT("c2F5ICJoaSIg4oCUIEdyw7zDn2Ug8J+YgA=="));
  EXPECT_EQ(Base64Text(ZT("")), ZT(""));
  EXPECT_EQ(Base64Text(ZT("a")), ZT("YQ=="));
  EXPECT_EQ(Base64Text(ZT("ab")), ZT("YWI="));
  EXPECT_EQ(Base64Text(ZT("abc")), ZT("YWJj"));
  // A lone surrogate is sent as U+FFFD, as everywhere else text becomes UTF-8.
  const Text lone = Text(ZT("x")) + static_cast<WChar>(0xDC00) + ZT("y");
  EXPECT_EQ(Base64Text(lone), ZT("eO+/vXk="));
}

TEST(Base64TextTest, LongTextHasNoBreaksAndPadsOnlyAtTheEnd) {
  // Longer than one internal encoding piece (3 MiB), one byte over a group.
  const size_t groups = size_t{1} << 20;
  const Text text(groups * 3 + 1, ZT('a'));
  Text expected;
  for (size_t i = 0; i < groups; ++i) expected += ZT("YWFh");
  expected += ZT("YQ==");
  EXPECT_EQ(Base64Text(text), expected);
}

}  // namespace
}  // namespace zefa

#include <gtest/gtest.h>

#include "platform/characters.h"

namespace zefa::platform {
namespace {

// The test program never calls setlocale, so these also show that the case
// tables do not depend on the process's "C" locale.

TEST(CharacterCase, CasedLettersOfSeveralScripts) {
  struct Pair {
    WChar upper, lower;
  };
  for (const Pair p : {Pair{u'A', u'a'}, Pair{u'É', u'é'}, Pair{u'Σ', u'σ'}, Pair{u'Я', u'я'},
                       Pair{u'Ł', u'ł'}, Pair{u'Ａ', u'ａ'}}) {
    EXPECT_TRUE(IsCharUpper(p.upper)) << int(p.upper);
    EXPECT_FALSE(IsCharLower(p.upper)) << int(p.upper);
    EXPECT_TRUE(IsCharLower(p.lower)) << int(p.lower);
    EXPECT_FALSE(IsCharUpper(p.lower)) << int(p.lower);
    EXPECT_EQ(CharLower(p.upper), p.lower) << int(p.upper);
    EXPECT_EQ(CharLower(p.lower), p.lower) << int(p.lower);
  }
}

TEST(CharacterCase, LettersWithoutASimplePartner) {
  EXPECT_TRUE(IsCharLower(u'ß'));
  EXPECT_EQ(CharLower(u'ß'), u'ß');
  EXPECT_TRUE(IsCharLower(u'ς'));  // final sigma
  EXPECT_EQ(CharLower(u'ς'), u'ς');
  EXPECT_TRUE(IsCharUpper(u'ẞ'));  // capital sharp s
  EXPECT_EQ(CharLower(u'ẞ'), u'ß');
  EXPECT_FALSE(IsCharUpper(u'ǅ'));  // title case: neither class, lowers to ǆ
  EXPECT_FALSE(IsCharLower(u'ǅ'));
  EXPECT_EQ(CharLower(u'ǅ'), u'ǆ');
}

TEST(CharacterCase, NonLettersCaselessLettersAndSurrogatesHaveNoCase) {
  for (const WChar c : {u'0', u'9', u' ', u'!', u'\t', u'€', u'א', u'中', WChar{0xD83D},
                        WChar{0xDE00}, WChar{0xDBFF}, WChar{0}}) {
    EXPECT_FALSE(IsCharUpper(c)) << int(c);
    EXPECT_FALSE(IsCharLower(c)) << int(c);
    EXPECT_EQ(CharLower(c), c) << int(c);
  }
}

TEST(CharacterCase, NoUnitIsBothCasesAndLowerFormsStayInTheirClass) {
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    const WChar c = static_cast<WChar>(u);
    ASSERT_FALSE(IsCharUpper(c) && IsCharLower(c)) << u;
    if (IsCharLower(c)) {
      ASSERT_EQ(CharLower(c), c) << u;
    }
  }
}

TEST(SecureWipe, ZeroesExactlyTheGivenRange) {
  char buffer[32];
  std::fill(std::begin(buffer), std::end(buffer), 'x');
  SecureWipe(buffer + 1, 30);
  EXPECT_EQ(buffer[0], 'x');
  for (int i = 1; i <= 30; ++i) EXPECT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(buffer[31], 'x');
  SecureWipe(nullptr, 0);  // harmless
}

}  // namespace
}  // namespace zefa::platform

// Letter case from the system's tables: the same answers the rules rely on
// on every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "platform/characters.h"

namespace zefa::platform {
namespace {

TEST(CharacterCaseWindows, CasedLettersOfSeveralScripts) {
  struct Pair {
    WChar upper, lower;
  };
  for (const Pair p : {Pair{L'A', L'a'}, Pair{L'É', L'é'}, Pair{L'Σ', L'σ'}, Pair{L'Я', L'я'},
                       Pair{L'Ł', L'ł'}, Pair{L'Ａ', L'ａ'}}) {
    EXPECT_TRUE(IsCharUpper(p.upper)) << int(p.upper);
    EXPECT_FALSE(IsCharLower(p.upper)) << int(p.upper);
    EXPECT_TRUE(IsCharLower(p.lower)) << int(p.lower);
    EXPECT_FALSE(IsCharUpper(p.lower)) << int(p.lower);
    EXPECT_EQ(CharLower(p.upper), p.lower) << int(p.upper);
    EXPECT_EQ(CharLower(p.lower), p.lower) << int(p.lower);
  }
  EXPECT_TRUE(IsCharLower(L'ß'));
  EXPECT_EQ(CharLower(L'ß'), L'ß');
}

TEST(CharacterCaseWindows, NonLettersCaselessLettersAndSurrogatesHaveNoCase) {
  for (const WChar c :
       {WChar{L'0'}, WChar{L'9'}, WChar{L' '}, WChar{L'!'}, WChar{L'\t'}, WChar{L'€'}, WChar{L'א'},
        WChar{L'中'}, WChar{0xD83D}, WChar{0xDE00}, WChar{0xDBFF}, WChar{0}}) {
    EXPECT_FALSE(IsCharUpper(c)) << int(c);
    EXPECT_FALSE(IsCharLower(c)) << int(c);
    EXPECT_EQ(CharLower(c), c) << int(c);
  }
}

TEST(CharacterCaseWindows, NoUnitIsBothCasesAndLowerFormsStayInTheirClass) {
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    const WChar c = static_cast<WChar>(u);
    ASSERT_FALSE(IsCharUpper(c) && IsCharLower(c)) << u;
    if (IsCharLower(c)) {
      ASSERT_EQ(CharLower(c), c) << u;
    }
  }
}

TEST(SecureWipeWindows, ZeroesExactlyTheGivenRange) {
  char buffer[32];
  std::fill(std::begin(buffer), std::end(buffer), 'x');
  SecureWipe(buffer + 1, 30);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(buffer[31], 'x');
  EXPECT_TRUE(std::all_of(buffer + 1, buffer + 31, [](char c) { return c == 0; }));
  SecureWipe(nullptr, 10);  // nothing to wipe, nothing happens
}

}  // namespace
}  // namespace zefa::platform

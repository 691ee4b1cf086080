// Control characters of names bound for a log line: every one that could
// end or forge a line is written out, everything else stays as it is.
#include <gtest/gtest.h>

#include "logging/escape_controls.h"

namespace zefa {
namespace {

TEST(EscapeControlCharacters, WritesOutEveryLineBreakingCharacter) {
  const Text name(ZT("a\0b\r\nc\td\x1b"
                     "e\x7f"
                     "f\x85g\x2028h\x2029i"),
                  18);
  EXPECT_EQ(EscapeControlCharacters(name),
            ZT("a\\x00b\\x0d\\x0ac\\x09d\\x1be\\x7ff\\x85g\\u2028h\\u2029i"));
  const std::string utf8(
      "a\0b\r\nc\td\x1b"
      "e\x7f"
      "f\xc2\x85g\xe2\x80\xa8h\xe2\x80\xa9i",
      23);
  EXPECT_EQ(EscapeControlCharacters(std::string_view(utf8)),
            "a\\x00b\\x0d\\x0ac\\x09d\\x1be\\x7ff\\x85g\\u2028h\\u2029i");
}

TEST(EscapeControlCharacters, LeavesOrdinaryNamesAlone) {
  EXPECT_EQ(EscapeControlCharacters(TextView(ZT("J\u00fcrgen O'Neil \U0001F600 EXAMPLE\\alice"))),
            ZT("J\u00fcrgen O'Neil \U0001F600 EXAMPLE\\alice"));
  // U+00A0 and U+2027 sit next to the escaped ranges; truncated sequences
  // at the end pass through unchanged.
  EXPECT_EQ(EscapeControlCharacters(std::string_view("\xc2\xa0\xe2\x80\xa7\xc2")),
            "\xc2\xa0\xe2\x80\xa7\xc2");
  EXPECT_EQ(EscapeControlCharacters(TextView()), Text());
}

}  // namespace
}  // namespace zefa

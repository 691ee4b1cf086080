// Values written into filters and DNs, and DNs taken apart, by the rules of
// the LDAP string representations.
#include <gtest/gtest.h>

#include "platform/directory_names.h"

namespace zefa {
namespace {

TEST(DirectoryNames, FilterValuesMatchOnlyThemselves) {
  EXPECT_EQ(EscapeFilterValue(ZT("tom(x)")), ZT("tom\\28x\\29"));
  EXPECT_EQ(EscapeFilterValue(ZT("domain*")), ZT("domain\\2a"));
  EXPECT_EQ(EscapeFilterValue(ZT("a\\b")), ZT("a\\5cb"));
  EXPECT_EQ(EscapeFilterValue(Text(ZT("a\0b"), 3)), ZT("a\\00b"));
  // Everything else, non-ASCII included, goes in as it is.
  EXPECT_EQ(EscapeFilterValue(ZT("J\u00f8rn, S=|&!~<>")), ZT("J\u00f8rn, S=|&!~<>"));
}

TEST(DirectoryNames, DnValuesKeepTheirSeparatorsInside) {
  EXPECT_EQ(EscapeDnValue(ZT("Smith, John")), ZT("Smith\\, John"));
  EXPECT_EQ(EscapeDnValue(ZT("a+b;c\"d<e>f\\g")), ZT("a\\+b\\;c\\\"d\\<e\\>f\\\\g"));
  EXPECT_EQ(EscapeDnValue(ZT("#1 ")), ZT("\\#1\\ "));
  EXPECT_EQ(EscapeDnValue(ZT(" x#y")), ZT("\\ x#y"));
  EXPECT_EQ(EscapeDnValue(ZT("pipe|user (1)=*")), ZT("pipe|user (1)=*"));
  EXPECT_EQ(EscapeDnValue(Text(ZT("a\0"), 2)), ZT("a\\00"));
}

TEST(DirectoryNames, TheParentStartsAfterTheFirstUnescapedComma) {
  EXPECT_EQ(ParentDn(ZT("CN=Smith\\, John,OU=Sales,DC=example,DC=test")),
            ZT("OU=Sales,DC=example,DC=test"));
  EXPECT_EQ(ParentDn(ZT("CN=Smith\\2C John,OU=Sales")), ZT("OU=Sales"));
  EXPECT_EQ(ParentDn(ZT("CN=back\\\\,OU=Sales")), ZT("OU=Sales"));  // an escaped "\" before ","
  EXPECT_EQ(ParentDn(ZT("OU=a\\,b\\,c,DC=test")), ZT("DC=test"));
  EXPECT_EQ(ParentDn(ZT("CN=pipe|user,OU=Sales")), ZT("OU=Sales"));
  EXPECT_EQ(ParentDn(ZT("DC=test")), Text());
  EXPECT_EQ(ParentDn(ZT("CN=x\\,")), Text());
  EXPECT_EQ(ParentDn(Text()), Text());
}

}  // namespace
}  // namespace zefa

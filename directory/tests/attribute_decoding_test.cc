// Attribute values to the text forms every other module reads.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include "directory/attribute_decoding.h"

namespace zefa {
namespace {

class PinnedTimeZone {
 public:
  explicit PinnedTimeZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  ~PinnedTimeZone() {
    unsetenv("TZ");
    tzset();
  }
};

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(AttributeDecoding, GuidAndSid) {
  const std::string guid = Bytes({0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xaa,
                                  0xbb, 0xcc, 0xdd, 0xee, 0xff});
  EXPECT_EQ(GuidText(guid), ZT("00112233-4455-6677-8899-AABBCCDDEEFF"));
  EXPECT_EQ(GuidText(guid).size(), 36u);
  // S-1-5-21-1-2-3-1106
  const std::string sid = Bytes(
      {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0x52, 0x04, 0, 0});
  EXPECT_EQ(SidText(sid), ZT("S-1-5-21-1-2-3-1106"));
  EXPECT_EQ(SidText(Bytes({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0})),
            ZT("S-1-5-32-545"));
  EXPECT_EQ(SidText(Bytes({1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0})), ZT("S-1-5-11"));
  EXPECT_EQ(SidText("junk"), ZT(""));
  EXPECT_EQ(SidText(Bytes({1, 3, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0})), ZT("")) << "too short";
}

TEST(AttributeDecoding, FileTimesInLocalTime) {
  PinnedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(FileTimeText("0"), ZT("0"));
  EXPECT_EQ(FileTimeText("9223372036854775807"), ZT("0"));
  EXPECT_EQ(FileTimeText("-9223372036854775808"), ZT("0"));
  // 2026-12-13 09:00:00 UTC is 10:00 in Berlin's winter.
  EXPECT_EQ(FileTimeText("134416260000000000"), ZT("2026-12-13 10:00:00"));
  // 2026-07-01 00:00:00 UTC is 02:00 in summer.
  EXPECT_EQ(FileTimeText("134273376000000000"), ZT("2026-07-01 02:00:00"));
  EXPECT_EQ(FileTimeText("-18000000000"), ZT("-30")) << "an interval in a date attribute";
}

TEST(AttributeDecoding, IntervalsInWholeMinutesAndDays) {
  EXPECT_EQ(IntervalText("-18000000000", 600000000), ZT("30"));
  EXPECT_EQ(IntervalText("-36288000000000", 864000000000), ZT("42"));
  EXPECT_EQ(IntervalText("-35856000000000", 864000000000), ZT("41")) << "41.5 days";
  EXPECT_EQ(IntervalText("-9223372036854775808", 864000000000), ZT("0"));
}

TEST(AttributeDecoding, GeneralizedAndUtcTimes) {
  PinnedTimeZone tz("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(GeneralizedTimeText("20261213150000.0Z"), ZT("2026-12-13 10:00:00"));
  EXPECT_EQ(GeneralizedTimeText("16010101000000.0Z"), ZT(""));
  EXPECT_EQ(GeneralizedTimeText("garbage"), ZT(""));
  EXPECT_EQ(UtcTimeText("261213150000Z"), ZT("2026-12-13 10:00:00"));
  EXPECT_EQ(UtcTimeText("700101050000Z"), ZT("1970-01-01 00:00:00"));
  PinnedTimeZone utc("UTC0");
  EXPECT_EQ(GeneralizedTimeText("20261213150000.0Z"), ZT("2026-12-13 15:00:00"));
}

// Found by the attribute fuzz target ("636000000000" as a UTC time, month
// 60): out-of-range fields gave a normalised date of some other day, and
// year 0000 month 00 a text with the year "-001" that no date reader takes.
TEST(AttributeDecoding, TimesWithFieldsOutsideTheCalendarAreEmpty) {
  PinnedTimeZone utc("UTC0");
  EXPECT_EQ(UtcTimeText("636000000000"), ZT(""));
  EXPECT_EQ(GeneralizedTimeText("00000000000000.0Z"), ZT(""));
  EXPECT_EQ(GeneralizedTimeText("20261300000000.0Z"), ZT("")) << "month 13";
  EXPECT_EQ(GeneralizedTimeText("20260230000000.0Z"), ZT("")) << "30 February";
  EXPECT_EQ(GeneralizedTimeText("20250229000000.0Z"), ZT("")) << "29 February, no leap year";
  EXPECT_EQ(GeneralizedTimeText("20261213240000.0Z"), ZT("")) << "hour 24";
  EXPECT_EQ(GeneralizedTimeText("20261213006000.0Z"), ZT("")) << "minute 60";
  EXPECT_EQ(UtcTimeText("261213000060Z"), ZT("")) << "second 60";
  EXPECT_EQ(UtcTimeText("261200000000Z"), ZT("")) << "day 00";
  EXPECT_EQ(GeneralizedTimeText("20240229235959.0Z"), ZT("2024-02-29 23:59:59"));
  EXPECT_EQ(GeneralizedTimeText("20000229000000.0Z"), ZT("2000-02-29 00:00:00"));
  EXPECT_EQ(UtcTimeText("991231235959Z"), ZT("1999-12-31 23:59:59"));
}

TEST(AttributeDecoding, NamesOverrideTheSchemaSyntax) {
  EXPECT_EQ(ChooseValueForm(ZT("pwdlastset"), ZT("2.5.5.16|65")), ValueForm::FileTime);
  EXPECT_EQ(ChooseValueForm(ZT("usnchanged"), ZT("2.5.5.16|65")), ValueForm::Plain);
  EXPECT_EQ(ChooseValueForm(ZT("objectguid"), ZT("")), ValueForm::Guid);
  EXPECT_EQ(ChooseValueForm(ZT("msds-lockoutduration"), ZT("2.5.5.16|65")), ValueForm::Minutes);
  EXPECT_EQ(ChooseValueForm(ZT("maxpwdage"), ZT("")), ValueForm::Days);
  EXPECT_EQ(ChooseValueForm(ZT("tokengroups"), ZT("2.5.5.17|4")), ValueForm::TokenGroups);
  EXPECT_EQ(ChooseValueForm(ZT("objectsid"), ZT("2.5.5.17|4")), ValueForm::Sid);
  EXPECT_EQ(ChooseValueForm(ZT("whenchanged"), ZT("2.5.5.11|24")), ValueForm::GeneralizedTime);
  EXPECT_EQ(ChooseValueForm(ZT("x"), ZT("2.5.5.11|23")), ValueForm::UtcTime);
  EXPECT_EQ(ChooseValueForm(ZT("mail"), ZT("")), ValueForm::Plain);
}

}  // namespace
}  // namespace zefa

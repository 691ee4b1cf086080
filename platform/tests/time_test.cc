#include <gtest/gtest.h>

#include <ctime>

#include "platform/time.h"
#include "platform/tests/test_folder.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;

// Rules written out, so the tests do not need the time-zone database.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

constexpr int64_t kWinterNoonUtc = 1705320000;  // 2024-01-15 12:00:00 UTC
constexpr int64_t kSummerNoonUtc = 1721044800;  // 2024-07-15 12:00:00 UTC

TEST(TimeZones, ConversionFollowsStandardAndDaylightTime) {
  {
    ScopedEnv tz("TZ", kBerlin);
    EXPECT_EQ(UtcToLocal(kWinterNoonUtc), kWinterNoonUtc + 3600);
    EXPECT_EQ(UtcToLocal(kSummerNoonUtc), kSummerNoonUtc + 7200);
    EXPECT_EQ(LocalToUtc(kWinterNoonUtc + 3600), kWinterNoonUtc);
    EXPECT_EQ(LocalToUtc(kSummerNoonUtc + 7200), kSummerNoonUtc);
  }
  {
    ScopedEnv tz("TZ", kNewYork);
    EXPECT_EQ(UtcToLocal(kWinterNoonUtc), kWinterNoonUtc - 5 * 3600);
    EXPECT_EQ(UtcToLocal(kSummerNoonUtc), kSummerNoonUtc - 4 * 3600);
    EXPECT_EQ(LocalToUtc(kSummerNoonUtc - 4 * 3600), kSummerNoonUtc);
  }
  {
    ScopedEnv tz("TZ", "UTC0");
    EXPECT_EQ(UtcToLocal(kSummerNoonUtc), kSummerNoonUtc);
    EXPECT_EQ(LocalToUtc(kSummerNoonUtc), kSummerNoonUtc);
  }
}

TEST(TimeZones, RepeatedLocalHourResolvesToOneOfItsInstants) {
  ScopedEnv tz("TZ", kBerlin);
  const int64_t local = 1729996200;  // 2024-10-27 02:30 local happens twice
  const int64_t utc = LocalToUtc(local);
  EXPECT_TRUE(utc == local - 7200 || utc == local - 3600) << utc;
}

TEST(TimeZones, LocalNowIsTheClockShiftedByTheOffset) {
  ScopedEnv tz("TZ", "JST-9");
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  const int64_t now = LocalNow();
  const int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(now, before + 9 * 3600);
  EXPECT_LE(now, after + 9 * 3600);
}

}  // namespace
}  // namespace zefa::platform

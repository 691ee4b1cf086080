#include "util/date_value.h"

#include <cstdio>

namespace zefa {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// civil-from-days algorithms).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

CivilTime DateValueToCivil(int64_t value) {
  CivilTime c;
  const int64_t days = FloorDiv(value, 86400);
  int64_t rest = value - days * 86400;
  CivilFromDays(days, c.year, c.month, c.day);
  c.hour = static_cast<int>(rest / 3600);
  rest %= 3600;
  c.minute = static_cast<int>(rest / 60);
  c.second = static_cast<int>(rest % 60);
  return c;
}

int64_t CivilToDateValue(const CivilTime& c) {
  return DaysFromCivil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
}

Text FormatDateValue(int64_t value) {
  const CivilTime c = DateValueToCivil(value);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02d %02d:%02d:%02d",
                static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute, c.second);
  return AsciiToText(buffer);
}

int64_t ParseDateValue(TextView text) {
  // yyyy-mm-dd hh:ii:ss
  if (text.size() != 19) return -1;
  auto digits = [&](size_t at, size_t count, int64_t& out) {
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
      if (text[i] < ZT('0') || text[i] > ZT('9')) return false;
      out = out * 10 + (text[i] - ZT('0'));
    }
    return true;
  };
  if (text[4] != ZT('-') || text[7] != ZT('-') || text[10] != ZT(' ') || text[13] != ZT(':') ||
      text[16] != ZT(':'))
    return -1;
  int64_t y, mo, d, h, mi, s;
  if (!digits(0, 4, y) || !digits(5, 2, mo) || !digits(8, 2, d) || !digits(11, 2, h) ||
      !digits(14, 2, mi) || !digits(17, 2, s))
    return -1;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return -1;
  CivilTime c{y,
              static_cast<int>(mo),
              static_cast<int>(d),
              static_cast<int>(h),
              static_cast<int>(mi),
              static_cast<int>(s)};
  return CivilToDateValue(c);
}

}  // namespace zefa

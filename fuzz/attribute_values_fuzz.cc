// Directory attribute values to text, for every value form (in UTC, so the
// expected dates need no time-zone rules).
//   - GUIDs: 36 characters that read back to the first 16 bytes;
//   - SIDs: empty exactly for invalid bytes, otherwise a text that reads
//     back to the same bytes;
//   - file times, generalized and UTC times: the date text of an
//     independent calendar (the C library's), empty for a malformed time;
//   - intervals: the whole minutes or days of a plain decimal reading.
// Input: one byte choosing the form, then the value bytes.
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "directory/attribute_decoding.h"
#include "fuzz/fuzz_check.h"

using zefa::Text;
using zefa::ValueForm;

namespace {

std::string Narrow(const Text& text) {
  std::string out;
  for (char16_t c : text) {
    FUZZ_CHECK(c < 0x80);
    out.push_back(static_cast<char>(c));
  }
  return out;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void CheckGuid(const std::string& bytes) {
  const std::string text = Narrow(zefa::GuidText(bytes));
  FUZZ_CHECK(text.size() == 36);
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      FUZZ_CHECK(text[i] == '-');
    } else {
      FUZZ_CHECK(Hex(text[i]) >= 0);
      digits.push_back(text[i]);
    }
  }
  std::string back(16, '\0');
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i)
    back[kOrder[i]] = static_cast<char>(Hex(digits[2 * i]) << 4 | Hex(digits[2 * i + 1]));
  std::string expected = bytes.substr(0, 16);
  expected.resize(16, '\0');
  FUZZ_CHECK(back == expected);
}

void CheckSid(const std::string& bytes) {
  const std::string text = Narrow(zefa::SidText(bytes));
  const bool valid =
      bytes.size() >= 8 && static_cast<unsigned char>(bytes[0]) == 1 &&
      static_cast<unsigned char>(bytes[1]) <= 15 &&
      bytes.size() == 8 + 4 * static_cast<size_t>(static_cast<unsigned char>(bytes[1]));
  FUZZ_CHECK(text.empty() == !valid);
  if (!valid) return;
  FUZZ_CHECK(text.compare(0, 4, "S-1-") == 0);
  std::string back = "\x01";
  back.push_back(bytes[1]);
  const char* p = text.c_str() + 4;
  char* end = nullptr;
  const unsigned long long authority = std::strtoull(p, &end, 10);
  FUZZ_CHECK(end != p && authority < (1ULL << 48));
  for (int shift = 40; shift >= 0; shift -= 8)
    back.push_back(static_cast<char>(authority >> shift));
  for (p = end; *p != '\0'; p = end) {
    FUZZ_CHECK(*p == '-');
    ++p;
    const unsigned long long sub = std::strtoull(p, &end, 10);
    FUZZ_CHECK(end != p && sub <= 0xFFFFFFFFULL);
    for (int shift = 0; shift < 32; shift += 8) back.push_back(static_cast<char>(sub >> shift));
  }
  FUZZ_CHECK(back == bytes);
}

// The date text of UTC seconds by the C library's calendar.
std::string LibcDate(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm fields{};
  FUZZ_CHECK(gmtime_r(&t, &fields) != nullptr);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02d %02d:%02d:%02d",
                static_cast<long long>(fields.tm_year) + 1900, fields.tm_mon + 1, fields.tm_mday,
                fields.tm_hour, fields.tm_min, fields.tm_sec);
  return buffer;
}

// A plain decimal: optional sign, digits, within 64 bits.
std::optional<int64_t> Decimal(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > (static_cast<__int128>(1) << 63)) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT64_MAX) return std::nullopt;
  return static_cast<int64_t>(value);
}

void CheckFileTime(const std::string& bytes) {
  const Text text = zefa::FileTimeText(bytes);
  if (bytes == "0" || bytes == "9223372036854775807" || bytes == "-9223372036854775808") {
    FUZZ_CHECK(text == u"0");
    return;
  }
  const std::optional<int64_t> ticks = Decimal(bytes);
  if (!ticks) return;
  if (*ticks < 0) {
    FUZZ_CHECK(Narrow(text) == std::to_string(*ticks / 600000000));
  } else {
    FUZZ_CHECK(Narrow(text) == LibcDate(*ticks / 10000000 - 11644473600LL));
  }
}

void CheckInterval(const std::string& bytes, int64_t units) {
  const Text text = zefa::IntervalText(bytes, units);
  if (bytes == "-9223372036854775808") {
    FUZZ_CHECK(text == u"0");
    return;
  }
  const std::optional<int64_t> value = Decimal(bytes);
  if (!value) return;
  const int64_t whole = *value / units;
  FUZZ_CHECK(Narrow(text) == std::to_string(whole < 0 ? -whole : whole));
}

bool TwoDigits(const std::string& s, size_t at, int& value) {
  if (s.size() < at + 2 || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9')
    return false;
  value = (s[at] - '0') * 10 + (s[at + 1] - '0');
  return true;
}

// The expected text of a time given by its fields: empty unless they name
// a real second of the calendar.
std::string FieldsDate(int year, int month, int day, int hour, int minute, int second) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return "";
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > days) return "";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                minute, second);
  return buffer;
}

void CheckGeneralizedTime(const std::string& bytes) {
  const std::string text = Narrow(zefa::GeneralizedTimeText(bytes));
  int c = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (bytes == "16010101000000.0Z" || !TwoDigits(bytes, 0, c) || !TwoDigits(bytes, 2, y) ||
      !TwoDigits(bytes, 4, mo) || !TwoDigits(bytes, 6, d) || !TwoDigits(bytes, 8, h) ||
      !TwoDigits(bytes, 10, mi) || !TwoDigits(bytes, 12, s)) {
    FUZZ_CHECK(text.empty());
    return;
  }
  FUZZ_CHECK(text == FieldsDate(c * 100 + y, mo, d, h, mi, s));
}

void CheckUtcTime(const std::string& bytes) {
  const std::string text = Narrow(zefa::UtcTimeText(bytes));
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!TwoDigits(bytes, 0, y) || !TwoDigits(bytes, 2, mo) || !TwoDigits(bytes, 4, d) ||
      !TwoDigits(bytes, 6, h) || !TwoDigits(bytes, 8, mi) || !TwoDigits(bytes, 10, s)) {
    FUZZ_CHECK(text.empty());
    return;
  }
  FUZZ_CHECK(text == FieldsDate(y > 69 ? 1900 + y : 2000 + y, mo, d, h, mi, s));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 9) {
    case 0:
      CheckGuid(bytes);
      break;
    case 1:
      CheckSid(bytes);
      break;
    case 2:
      CheckFileTime(bytes);
      break;
    case 3:
      CheckInterval(bytes, 600000000);
      break;
    case 4:
      CheckInterval(bytes, 864000000000);
      break;
    case 5:
      CheckGeneralizedTime(bytes);
      break;
    case 6:
      CheckUtcTime(bytes);
      break;
    case 7:
      FUZZ_CHECK(zefa::DecodeValue(ValueForm::Plain, bytes) == zefa::Utf8ToText(bytes));
      FUZZ_CHECK(zefa::DecodeValue(ValueForm::TokenGroups, bytes) == zefa::SidText(bytes));
      break;
    default:
      FUZZ_CHECK(zefa::DecodeValue(ValueForm::Days, bytes) ==
                 zefa::IntervalText(bytes, 864000000000));
      FUZZ_CHECK(zefa::DecodeValue(ValueForm::Minutes, bytes) ==
                 zefa::IntervalText(bytes, 600000000));
      break;
  }
  return 0;
}

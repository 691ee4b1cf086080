#include "directory/attribute_decoding.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/directory_names.h"
#include "util/date_value.h"
#include "util/text_util.h"
#include "platform/time.h"
#include "platform/directory.h"

namespace zefa {

namespace {

constexpr int64_t kFileTimeTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr size_t kSchemaCacheLimit = 1024;

struct DecodingCaches {
  std::mutex schema_lock;  // SchemaSyntaxLock
  std::map<Text, Text> schema;
  std::mutex sid_lock;  // SidNameLock
  std::map<Text, Text> sid_names;
};

DecodingCaches& Caches() {
  static DecodingCaches* caches = new DecodingCaches;
  return *caches;
}

bool IsOneOf(const Text& name, std::initializer_list<const WChar*> names) {
  for (const WChar* candidate : names)
    if (name == candidate) return true;
  return false;
}

bool ParseInteger(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  value = parsed;
  return true;
}

bool Digits(const std::string& text, size_t at, size_t count, int& value) {
  if (text.size() < at + count) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

Text LocalDateText(int64_t utc_seconds) {
  return FormatDateValue(platform::UtcToLocal(utc_seconds));
}

// A time read from the directory names a real second of the calendar, or it
// is malformed (month 13, 30 February, hour 24 ...) and decodes to empty
// text like any other malformed time, not to some normalised date.
bool IsCalendarTime(int64_t year, int month, int day, int hour, int minute, int second) {
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
  return day >= 1 && day <= days;
}

Text CivilUtcText(int64_t year, int month, int day, int hour, int minute, int second) {
  if (!IsCalendarTime(year, month, day, hour, minute, second)) return Text();
  return LocalDateText(CivilToDateValue(CivilTime{year, month, day, hour, minute, second}));
}

Text SidAccountName(const Text& sid) {
  DecodingCaches& caches = Caches();
  std::lock_guard<std::mutex> guard(caches.sid_lock);
  const auto cached = caches.sid_names.find(sid);
  if (cached != caches.sid_names.end()) return cached->second;
  Text name = platform::LookupAccountNameOfSid(sid);
  if (!name.empty()) caches.sid_names[sid] = name;
  return name;
}

}  // namespace

Text GuidText(const std::string& bytes) {
  std::string b = bytes;
  b.resize(16, '\0');
  auto byte = [&](int i) { return static_cast<unsigned>(static_cast<unsigned char>(b[i])); };
  char out[40];
  std::snprintf(out, sizeof out,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", byte(3),
                byte(2), byte(1), byte(0), byte(5), byte(4), byte(7), byte(6), byte(8), byte(9),
                byte(10), byte(11), byte(12), byte(13), byte(14), byte(15));
  return AsciiToText(out);
}

Text SidText(const std::string& bytes) {
  if (bytes.size() < 8) return Text();
  const unsigned revision = static_cast<unsigned char>(bytes[0]);
  const size_t count = static_cast<unsigned char>(bytes[1]);
  if (revision != 1 || count > 15 || bytes.size() != 8 + 4 * count) return Text();
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | static_cast<unsigned char>(bytes[i]);
  std::string out = "S-1-" + std::to_string(authority);
  for (size_t i = 0; i < count; ++i) {
    uint32_t sub = 0;
    for (int k = 3; k >= 0; --k)
      sub = (sub << 8) | static_cast<unsigned char>(bytes[8 + 4 * i + k]);
    out += "-" + std::to_string(sub);
  }
  return AsciiToText(out);
}

Text FileTimeText(const std::string& decimal) {
  if (decimal == "0" || decimal == "9223372036854775807" || decimal == "-9223372036854775808")
    return ZT("0");
  int64_t ticks = 0;
  if (!ParseInteger(decimal, ticks)) return Utf8ToText(decimal);
  if (ticks < 0) return IntegerToText(ticks / 600000000);
  return LocalDateText(ticks / kFileTimeTicksPerSecond - kSecondsFrom1601To1970);
}

Text IntervalText(const std::string& decimal, int64_t units) {
  if (decimal == "-9223372036854775808") return ZT("0");
  int64_t value = 0;
  if (!ParseInteger(decimal, value)) return Utf8ToText(decimal);
  const int64_t whole = value / units;
  return IntegerToText(whole < 0 ? -whole : whole);
}

Text GeneralizedTimeText(const std::string& text) {
  if (text == "16010101000000.0Z") return Text();
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || !Digits(text, 4, 2, month) || !Digits(text, 6, 2, day) ||
      !Digits(text, 8, 2, hour) || !Digits(text, 10, 2, minute) || !Digits(text, 12, 2, second))
    return Text();
  return CivilUtcText(year, month, day, hour, minute, second);
}

Text UtcTimeText(const std::string& text) {
  int yy, month, day, hour, minute, second;
  if (!Digits(text, 0, 2, yy) || !Digits(text, 2, 2, month) || !Digits(text, 4, 2, day) ||
      !Digits(text, 6, 2, hour) || !Digits(text, 8, 2, minute) || !Digits(text, 10, 2, second))
    return Text();
  return CivilUtcText(yy > 69 ? 1900 + yy : 2000 + yy, month, day, hour, minute, second);
}

ValueForm ChooseValueForm(const Text& name, const Text& syntax) {
  if (Contains(name, ZT("guid"))) return ValueForm::Guid;
  if (IsOneOf(name,
              {ZT("accountexpires"), ZT("badpasswordtime"), ZT("creationtime"), ZT("lastlogon"),
               ZT("lastlogontimestamp"), ZT("lockouttime"), ZT("pwdlastset")}))
    return ValueForm::FileTime;
  if (IsOneOf(name, {ZT("lockoutduration"), ZT("lockoutobservationwindow"),
                     ZT("msds-lockoutduration"), ZT("msds-lockoutobservationwindow")}))
    return ValueForm::Minutes;
  if (IsOneOf(name, {ZT("maxpwdage"), ZT("minpwdage"), ZT("msds-maximumpasswordage"),
                     ZT("msds-minimumpasswordage")}))
    return ValueForm::Days;
  if (name == ZT("tokengroups")) return ValueForm::TokenGroups;
  if (syntax == ZT("2.5.5.10|4")) return ValueForm::Guid;
  if (syntax == ZT("2.5.5.17|4")) return ValueForm::Sid;
  if (syntax == ZT("2.5.5.11|24")) return ValueForm::GeneralizedTime;
  if (syntax == ZT("2.5.5.11|23")) return ValueForm::UtcTime;
  return ValueForm::Plain;
}

Text DecodeValue(ValueForm form, const std::string& bytes) {
  switch (form) {
    case ValueForm::Guid:
      return GuidText(bytes);
    case ValueForm::Sid:
    case ValueForm::TokenGroups:
      return SidText(bytes);
    case ValueForm::GeneralizedTime:
      return GeneralizedTimeText(bytes);
    case ValueForm::UtcTime:
      return UtcTimeText(bytes);
    case ValueForm::FileTime:
      return FileTimeText(bytes);
    case ValueForm::Minutes:
      return IntervalText(bytes, 600000000);
    case ValueForm::Days:
      return IntervalText(bytes, 864000000000);
    case ValueForm::Plain:
      break;
  }
  return Utf8ToText(bytes);
}

Text LookupAttributeSyntax(DirectoryConnection& connection, const Text& attribute_name) {
  const Text key = ToLower(attribute_name);
  DecodingCaches& caches = Caches();
  std::lock_guard<std::mutex> guard(caches.schema_lock);
  if (caches.schema.size() > kSchemaCacheLimit) caches.schema.clear();
  const auto cached = caches.schema.find(key);
  if (cached != caches.schema.end()) return cached->second;
  std::vector<platform::DirectoryEntry> entries;
  Text syntax;
  const Text filter = ZT("(&(objectClass=attributeSchema)(lDAPDisplayName=") +
                      EscapeFilterValue(attribute_name) + ZT("))");
  const int rc = platform::DirectorySearch(
      connection.handle, CurrentNamingContexts().SchemaNamingContext, 1, filter,
      {ZT("cn"), ZT("attributeSyntax"), ZT("oMSyntax")}, 0, entries);
  // Only the schema's answer is kept; a search that failed (a server that
  // did not answer in time) is asked again next time.
  if (rc != 0) return syntax;
  if (!entries.empty()) {
    Text om;
    for (const platform::DirectoryAttribute& a : entries.front().attributes) {
      if (a.values.empty()) continue;
      if (ToLower(a.name) == ZT("attributesyntax")) syntax = Utf8ToText(a.values.front());
      if (ToLower(a.name) == ZT("omsyntax")) om = Utf8ToText(a.values.front());
    }
    if (!om.empty()) syntax += ZT("|") + om;
  }
  caches.schema[key] = syntax;
  return syntax;
}

Text DecodeAttributeValues(DirectoryConnection& connection,
                           const platform::DirectoryAttribute& attribute) {
  const Text name = ToLower(attribute.name);
  const ValueForm form = ChooseValueForm(name, LookupAttributeSyntax(connection, attribute.name));
  Text out;
  for (const std::string& value : attribute.values) {
    if (!out.empty()) out += ZT("|");
    Text text = DecodeValue(form, value);
    if (form == ValueForm::TokenGroups && !text.empty()) {
      const Text account = SidAccountName(text);
      if (!account.empty()) text += ZT(":") + account;
    }
    out += text;
  }
  return out;
}

void ClearDecodingCaches() {
  DecodingCaches& caches = Caches();
  {
    std::lock_guard<std::mutex> guard(caches.schema_lock);
    caches.schema.clear();
  }
  std::lock_guard<std::mutex> guard(caches.sid_lock);
  caches.sid_names.clear();
}

}  // namespace zefa

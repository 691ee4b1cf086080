// Dates and times in the user's language: the system's locale formatting
// with the user's default locale.

#include "platform/windows/win_util.h"

#include "platform/locale.h"

namespace zefa::platform {

namespace {

// Date values are local times read as UTC, so the fields come without any
// time-zone conversion.
bool Fields(int64_t date_value, SYSTEMTIME& fields) {
  FILETIME file_time;
  return SecondsToFileTime(date_value, file_time) &&
         FileTimeToSystemTime(&file_time, &fields) != FALSE;
}

// Asks `format` for the length first, then fills a buffer of that size.
template <typename Format>
Text Formatted(const Text& picture, Format format) {
  if (picture.empty() || HasNul(picture)) return Text();
  const int needed = format(nullptr, 0);
  if (needed <= 0) return Text();
  Text buffer(static_cast<size_t>(needed), L'\0');
  const int written = format(buffer.data(), needed);
  if (written <= 0) return Text();
  buffer.resize(static_cast<size_t>(written) - 1);  // the count includes the NUL
  return buffer;
}

}  // namespace

Text FormatUserDate(int64_t date_value, const Text& picture) {
  SYSTEMTIME fields;
  if (!Fields(date_value, fields)) return Text();
  return Formatted(picture, [&](wchar_t* buffer, int size) {
    return GetDateFormatW(LOCALE_USER_DEFAULT, 0, &fields, picture.c_str(), buffer, size);
  });
}

Text FormatUserTime(int64_t date_value, const Text& picture) {
  SYSTEMTIME fields;
  if (!Fields(date_value, fields)) return Text();
  return Formatted(picture, [&](wchar_t* buffer, int size) {
    return GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &fields, picture.c_str(), buffer, size);
  });
}

}  // namespace zefa::platform

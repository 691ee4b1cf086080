// Dates in the user's language: the pictures of the date and time formats
// are translated element by element into strftime conversions under the
// user's locale. Locale data that is not UTF-8 is converted with iconv.

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "platform/locale.h"

namespace zefa::platform {

namespace {

// The user's locale for time names and their character set; "C" when the
// locale named by the environment is not installed.
class UserLocale {
 public:
  UserLocale() {
    handle_ = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (handle_ == static_cast<locale_t>(0))
      handle_ = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }
  ~UserLocale() {
    if (handle_ != static_cast<locale_t>(0)) freelocale(handle_);
  }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;
  locale_t handle() const { return handle_; }

 private:
  locale_t handle_;
};

// One strftime conversion ("%a", "%OB" ...) in the locale's character set.
std::string Strftime(const char* conversion, const struct tm& fields, locale_t locale) {
  char buffer[256];
  const size_t length = strftime_l(buffer, sizeof buffer, conversion, &fields, locale);
  return std::string(buffer, length);
}

Text LocaleBytesToText(const std::string& bytes, locale_t locale) {
  const char* codeset = nl_langinfo_l(CODESET, locale);
  if (codeset == nullptr || strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0)
    return Utf8ToText(bytes);
  bool ascii = true;
  for (unsigned char c : bytes) ascii = ascii && c < 0x80;
  if (ascii) return Utf8ToText(bytes);
  iconv_t converter = iconv_open("UTF-8", codeset);
  if (converter == reinterpret_cast<iconv_t>(-1)) return Utf8ToText(bytes);
  std::string in = bytes;
  std::string out(in.size() * 4 + 16, '\0');
  char* in_at = in.data();
  size_t in_left = in.size();
  char* out_at = out.data();
  size_t out_left = out.size();
  const size_t done = iconv(converter, &in_at, &in_left, &out_at, &out_left);
  iconv_close(converter);
  if (done == static_cast<size_t>(-1)) return Utf8ToText(bytes);
  out.resize(out.size() - out_left);
  return Utf8ToText(out);
}

Text Number(int value, bool two_digits) {
  std::string digits = std::to_string(value);
  if (two_digits && digits.size() < 2) digits.insert(digits.begin(), '0');
  return AsciiToText(digits);
}

enum class PictureKind { kDate, kTime };

// The text of one run of a picture letter, or nullopt when the letter is no
// picture of this kind (it is then copied as it is).
std::optional<Text> ExpandRun(PictureKind kind, WChar letter, size_t run, bool day_before,
                              const struct tm& fields, locale_t locale) {
  auto names = [&](const char* conversion) {
    return LocaleBytesToText(Strftime(conversion, fields, locale), locale);
  };
  if (kind == PictureKind::kDate) {
    switch (letter) {
      case u'd':
        if (run == 1) return Number(fields.tm_mday, false);
        if (run == 2) return Number(fields.tm_mday, true);
        return names(run == 3 ? "%a" : "%A");
      case u'M':
        if (run == 1) return Number(fields.tm_mon + 1, false);
        if (run == 2) return Number(fields.tm_mon + 1, true);
        // After a day number a language with cases wants the genitive form,
        // which %b/%B give; standing alone the nominative (%Ob/%OB).
        if (run == 3) return names(day_before ? "%b" : "%Ob");
        return names(day_before ? "%B" : "%OB");
      case u'y':
        if (run == 1) return Number((fields.tm_year + 1900) % 100, false);
        if (run == 2) return Number((fields.tm_year + 1900) % 100, true);
        return AsciiToText(std::to_string(fields.tm_year + 1900));
      case u'g':
        return names("%EC");
      default:
        return std::nullopt;
    }
  }
  switch (letter) {
    case u'h': {
      const int hour = fields.tm_hour % 12 == 0 ? 12 : fields.tm_hour % 12;
      return Number(hour, run >= 2);
    }
    case u'H':
      return Number(fields.tm_hour, run >= 2);
    case u'm':
      return Number(fields.tm_min, run >= 2);
    case u's':
      return Number(fields.tm_sec, run >= 2);
    case u't': {
      Text designator = names("%p");
      if (run == 1 && designator.size() > 1) designator.resize(1);
      return designator;
    }
    default:
      return std::nullopt;
  }
}

Text FormatPicture(PictureKind kind, int64_t date_value, const Text& picture) {
  if (picture.empty()) return Text();
  const time_t seconds = static_cast<time_t>(date_value);
  struct tm fields {};
  if (gmtime_r(&seconds, &fields) == nullptr) return Text();  // date values read as UTC
  UserLocale locale;
  if (locale.handle() == static_cast<locale_t>(0)) return Text();
  Text out;
  bool day_before = false;
  size_t i = 0;
  while (i < picture.size()) {
    const WChar c = picture[i];
    if (c == u'\'') {  // quoted literal; '' inside stands for one quote
      ++i;
      while (i < picture.size()) {
        if (picture[i] == u'\'' && i + 1 < picture.size() && picture[i + 1] == u'\'') {
          out += u'\'';
          i += 2;
        } else if (picture[i] == u'\'') {
          ++i;
          break;
        } else {
          out += picture[i++];
        }
      }
      continue;
    }
    size_t run = 1;
    while (i + run < picture.size() && picture[i + run] == c) ++run;
    const std::optional<Text> expanded =
        ExpandRun(kind, c, run, day_before, fields, locale.handle());
    if (expanded) {
      out += *expanded;
      if (c == u'd' && run <= 2) day_before = true;
    } else {
      out.append(run, c);
    }
    i += run;
  }
  return out;
}

}  // namespace

Text FormatUserDate(int64_t date_value, const Text& picture) {
  return FormatPicture(PictureKind::kDate, date_value, picture);
}

Text FormatUserTime(int64_t date_value, const Text& picture) {
  return FormatPicture(PictureKind::kTime, date_value, picture);
}

}  // namespace zefa::platform

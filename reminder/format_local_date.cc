#include "reminder/format_local_date.h"

#include "platform/time.h"
#include "platform/locale.h"

namespace zefa {

Text FormatLocalDate(int64_t date_value, const Text& pattern) {
  if (date_value == 0) date_value = platform::LocalNow();
  size_t split = pattern.find(u'h');
  if (split == Text::npos) split = pattern.find(u'H');
  if (split == Text::npos) split = pattern.find(u'm');
  if (split == Text::npos) return Text();
  const Text date_part = pattern.substr(0, split);
  const Text time_part = pattern.substr(split);
  const Text date = date_part.empty() ? Text() : platform::FormatUserDate(date_value, date_part);
  return date + platform::FormatUserTime(date_value, time_part);
}

}  // namespace zefa

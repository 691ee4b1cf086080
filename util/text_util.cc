#include "util/text_util.h"

#include "platform/characters.h"
#include "platform/files.h"

namespace zefa {

Text ToLower(TextView text) {
  Text out(text);
  for (WChar& c : out) c = platform::CharLower(c);
  return out;
}

void ReplaceAll(Text& text, TextView from, TextView to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != Text::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

void ReplaceRepeatedly(Text& text, TextView from, TextView to) {
  if (from.empty() || to.find(from) != TextView::npos) return;
  while (text.find(from) != Text::npos) ReplaceAll(text, from, to);
}

Text TrimBlanks(TextView text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && text[begin] == ZT(' ')) ++begin;
  while (end > begin && text[end - 1] == ZT(' ')) --end;
  return Text(text.substr(begin, end - begin));
}

std::vector<Text> SplitFields(TextView text, WChar separator) {
  std::vector<Text> fields;
  size_t start = 0;
  for (;;) {
    const size_t pos = text.find(separator, start);
    if (pos == TextView::npos) {
      fields.emplace_back(text.substr(start));
      return fields;
    }
    fields.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

Text JoinPath(TextView folder, TextView name) {
  Text out(folder);
  out.push_back(platform::PathSeparator());
  out.append(name);
  return out;
}

void WipeText(Text& text) {
  if (!text.empty()) platform::SecureWipe(text.data(), text.size() * sizeof(WChar));
  text.clear();
}

}  // namespace zefa

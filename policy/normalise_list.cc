#include "policy/normalise_list.h"

#include "platform/characters.h"
#include "util/text_util.h"

namespace zefa {

// One pass: line ends become ";", runs of ";" collapse as they are written,
// letters are lower-cased; quotes go in a second pass, after the collapse,
// as the step-by-step form removes them (so `a;";b` keeps its ";;").
Text NormaliseList(TextView text, bool drop_quotes) {
  if (text.empty()) return Text();
  Text list;
  list.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    WChar c = text[i];
    if (c == ZT('\r') && i + 1 < text.size() && text[i + 1] == ZT('\n')) {
      c = ZT(';');
      ++i;
    } else if (c == ZT('\n')) {
      c = ZT(';');
    } else {
      c = platform::CharLower(c);
    }
    if (c == ZT(';') && !list.empty() && list.back() == ZT(';')) continue;
    list.push_back(c);
  }
  if (drop_quotes) {
    size_t write = 0;
    for (const WChar c : list)
      if (c != ZT('"')) list[write++] = c;
    list.resize(write);
  }
  if (list.empty() || list.back() != ZT(';')) list.push_back(ZT(';'));
  return list;
}

bool DropEmptyEntries(Text& list) {
  Text kept;
  kept.reserve(list.size());
  bool dropped = false;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(ZT(';'), start);
    if (end == Text::npos) end = list.size();
    if (end == start) {
      dropped = true;
    } else {
      kept.append(list, start, end - start);
      kept.push_back(ZT(';'));
    }
    start = end + 1;
  }
  if (dropped) list = std::move(kept);
  return dropped;
}

std::vector<Text> SplitForbiddenWords(TextView text) {
  std::vector<Text> words;
  for (Text& field : SplitFields(NormaliseList(text, false), ZT(';'))) {
    if (!field.empty()) words.push_back(std::move(field));
  }
  return words;
}

}  // namespace zefa

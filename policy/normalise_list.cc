#include "policy/normalise_list.h"

#include "util/text_util.h"

namespace zefa {

Text NormaliseList(TextView text, bool drop_quotes) {
  if (text.empty()) return Text();
  Text list(text);
  ReplaceAll(list, ZT("\r\n"), ZT(";"));
  list = ToLower(list);
  ReplaceAll(list, ZT("\n"), ZT(";"));
  ReplaceRepeatedly(list, ZT(";;"), ZT(";"));
  if (drop_quotes) ReplaceAll(list, ZT("\""), ZT(""));
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

#include "rules/similarity.h"

#include "rules/character_sets.h"
#include "util/text_util.h"

namespace zefa {

Text SimilarityReduction(Text& password) {
  Text lower = ToLower(password);
  Text text = ZT("_") + lower + ZT("_");
  WipeText(lower);
  for (WChar& ch : text)
    if (IsDigitChar(ch) || IsSpecialChar(ch)) ch = ZT('_');
  Text reduced;
  reduced.reserve(text.size());
  for (WChar ch : text)
    if (!(ch == ZT('_') && !reduced.empty() && reduced.back() == ZT('_'))) reduced.push_back(ch);
  WipeText(text);
  WipeText(password);
  return reduced;
}

}  // namespace zefa

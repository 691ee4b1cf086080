#include "rules/similarity.h"

#include "platform/characters.h"
#include "rules/character_sets.h"
#include "util/text_util.h"

namespace zefa {

// Every buffer here holds the lower-cased password, so each is sized once
// (a growing buffer would free an unwiped copy) and wiped before it goes.
Text SimilarityReduction(Text& password) {
  Text text;
  text.reserve(password.size() + 2);
  text.push_back(ZT('_'));
  for (const WChar ch : password) text.push_back(platform::CharLower(ch));
  text.push_back(ZT('_'));
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

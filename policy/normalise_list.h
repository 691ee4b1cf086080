#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// Turns a registry list (one name per line, or names separated by ";") into
// lower-case names each followed by ";". Empty text stays empty.
// `drop_quotes` removes every double quote (group and OU lists).
Text NormaliseList(TextView text, bool drop_quotes);

// The forbidden-word list of a set: normalised (quotes kept) and split into
// its non-empty entries, in order.
std::vector<Text> SplitForbiddenWords(TextView text);

}  // namespace zefa

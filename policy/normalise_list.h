#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// Turns a registry list (one name per line, or names separated by ";") into
// lower-case names each followed by ";". Empty text stays empty.
// `drop_quotes` removes every double quote (group and OU lists).
Text NormaliseList(TextView text, bool drop_quotes);

// Removes the empty entries of a normalised list (a leading line break, two
// separators around a removed pair of quotes): an empty entry would occur in
// every group list and begin every container. True when one was removed; a
// list of empty entries only becomes the empty text.
bool DropEmptyEntries(Text& list);

// The forbidden-word list of a set: normalised (quotes kept) and split into
// its non-empty entries, in order.
std::vector<Text> SplitForbiddenWords(TextView text);

}  // namespace zefa

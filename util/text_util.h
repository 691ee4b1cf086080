// Small text operations shared by every module.
#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// Unicode lower case per UTF-16 code unit.
Text ToLower(TextView text);

void ReplaceAll(Text& text, TextView from, TextView to);

// Replaces `from` by `to` until no occurrence is left (used to collapse runs).
void ReplaceRepeatedly(Text& text, TextView from, TextView to);

inline bool Contains(TextView text, TextView part) { return text.find(part) != TextView::npos; }
inline bool StartsWith(TextView text, TextView prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Removes leading and trailing blanks (spaces only).
Text TrimBlanks(TextView text);

// Splits at every separator: (number of separators + 1) fields.
std::vector<Text> SplitFields(TextView text, WChar separator);

// Folder + separator + name.
Text JoinPath(TextView folder, TextView name);

// Overwrites the text's code units with zeros (a wipe the compiler keeps),
// then empties it.
void WipeText(Text& text);

}  // namespace zefa

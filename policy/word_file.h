// Word files: UTF-8 text, one entry per line ("\r\n" or "\n" line ends, an
// optional byte-order mark at the start is ignored).
#pragma once

#include "platform/text.h"
#include "rules/forbidden_words.h"

namespace zefa {

// Appends one entry per line of the file to `list` (emptying it first when
// `clear_first`), lower-casing each line when `lower_case` (Unicode lower
// case per code unit, through the platform's character classes). A blank
// line leaves an empty entry. Returns false when the file does not exist;
// an existing file that cannot be opened leaves the list as it is and
// returns true. Does not build the automaton: call FinishWordList after.
bool LoadWordFile(WordList& list, const Text& path, bool clear_first, bool lower_case);

}  // namespace zefa

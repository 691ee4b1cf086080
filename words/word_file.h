// Word files: one entry per line. The text is read as UTF-16 (LE or BE) after
// its byte-order mark, as UTF-8 with or without its mark, and a file that is
// not valid UTF-8 as Windows-1252 (with a Warning in the log). CR LF, LF and
// a lone CR all end a line.
#pragma once

#include "platform/text.h"
#include "words/forbidden_words.h"

namespace zefa {

// Appends one entry per line of the file to `list` (emptying it first when
// `clear_first`), lower-casing each line when `lower_case` (Unicode lower
// case per code unit, through the platform's character classes). A blank
// line leaves an empty entry; a line end after the last line adds none.
// Returns false when the file does not exist; an existing file that cannot
// be opened, or is no regular file (a FIFO, a device: never waited for),
// leaves the list as it is and returns true. Does not build the
// search index: call FinishWordList after.
bool LoadWordFile(WordList& list, const Text& path, bool clear_first, bool lower_case);

}  // namespace zefa

// The per-account password history file ("<account>.idh").
//
// UTF-8 without byte-order mark, lines separated by "\r\n" with none after
// the last, newest line first, at most kHistoryLines lines. A line is
//   changed TAB account TAB principal name TAB display name TAB
//   password hash TAB similarity hash
// where both hashes are HashPassword texts ("sha256", 1000 iterations) with
// the same salt for every line of the file. The file never holds a password.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace zefa {

inline constexpr int kHistoryLines = 8;
inline constexpr int kHistoryIterations = 1000;
inline constexpr TextView kHistoryAlgorithm = ZT("sha256");
// A history file is read no further than this: eight good lines take a
// fraction of it, and a damaged or foreign file costs no more than a good one.
inline constexpr size_t kHistoryReadBytes = 16384;

// The first kHistoryLines lines of the file (byte-order mark and line ends
// removed; lines end at "\r\n" or a bare "\n"; line breaks at the end of the
// file are no lines), taken from its first kHistoryReadBytes bytes only: a
// line that this limit cuts is left out. The file is read only when it is a
// regular file (platform::ReadRegularFile); its result is returned.
platform::FileRead ReadHistoryLines(const Text& path, std::vector<std::string>& lines);

// An identity field (account, principal or display name) fit for a history
// or hand-off line: every control character (C0, DEL, C1, and the Unicode
// line and paragraph separators) becomes a blank, so that no name can add a
// field or split the line.
Text HistoryFieldText(const Text& text);

// The salt of the file: field 4 (":"-separated) of the hash nearest the end
// of its first line (the last tab-separated field from the fifth on that
// starts with "$1:"; normally the similarity hash). A fresh RandomText(kSaltLength, kSaltAlphabet)
// when the file cannot be read, is empty, or that field is missing or empty.
Text ReadHistorySalt(const Text& path);

// The same salt from the lines ReadHistoryLines gave (empty: a fresh one),
// so that a caller holding them does not read the file again.
Text HistorySaltOf(const std::vector<std::string>& lines);

// Writes `line` followed by the first (max_lines - 1) lines of the file as
// ReadHistoryLines gives them, joined by "\r\n", without a final separator;
// a missing file is created. So a damaged file is rewritten short: at most
// max_lines lines of what its first kHistoryReadBytes held. The new content
// replaces the old one atomically, so a crash or a full disk leaves either
// the old file or the new one. 1 when written, 0 when the old file could not
// be read (or is no regular file) or the new one could not be written (the
// old file is then unchanged).
int PrependHistoryLine(const Text& path, const Text& line, int max_lines);

}  // namespace zefa

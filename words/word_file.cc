#include "words/word_file.h"

#include <array>
#include <optional>
#include <string>

#include "logging/log.h"
#include "platform/characters.h"
#include "platform/files.h"
#include "platform/text_decoding.h"

namespace zefa {

namespace {

// Lower case per code unit; the ASCII range is looked up once per file.
using AsciiLowerTable = std::array<WChar, 128>;

AsciiLowerTable MakeAsciiLowerTable() {
  AsciiLowerTable table{};
  for (size_t c = 0; c < table.size(); ++c) table[c] = platform::CharLower(static_cast<WChar>(c));
  return table;
}

// Splits `text` into lines in place: the lines end up back to back at its
// front, their ends in `ends` (offsets into the compacted text). Returns the
// compacted length.
size_t CompactLines(Text& text, bool lower_case, std::vector<uint32_t>& ends) {
  const AsciiLowerTable ascii = lower_case ? MakeAsciiLowerTable() : AsciiLowerTable{};
  const size_t size = text.size();
  size_t write = 0;
  size_t read = 0;
  while (read < size) {
    WChar c = text[read++];
    if (c == ZT('\r') || c == ZT('\n')) {
      if (c == ZT('\r') && read < size && text[read] == ZT('\n')) ++read;
      ends.push_back(static_cast<uint32_t>(write));
      continue;
    }
    if (lower_case) c = c < ascii.size() ? ascii[c] : platform::CharLower(c);
    text[write++] = c;
  }
  const bool last_line_open = size > 0 && text[size - 1] != ZT('\n') && text[size - 1] != ZT('\r');
  if (last_line_open) ends.push_back(static_cast<uint32_t>(write));
  return write;
}

}  // namespace

bool LoadWordFile(WordList& list, const Text& path, bool clear_first, bool lower_case) {
  if (clear_first) ClearWordList(list);
  ReopenWordList(list);
  Text text;
  {
    std::string bytes;
    const platform::FileRead read = platform::ReadRegularFile(path, SIZE_MAX, bytes);
    if (read == platform::FileRead::kMissing) return false;
    if (read != platform::FileRead::kRead) return true;
    TextFileEncoding encoding = TextFileEncoding::kUtf8;
    text = DecodeTextFile(bytes, &encoding);
    if (encoding == TextFileEncoding::kWindows1252) {
      LogWarning(ZT("The word file ") + path +
                 ZT(" is not UTF-8 text and was read as Windows-1252; save it as UTF-8 or "
                    "UTF-16 to be sure of its non-ASCII words"));
    }
  }
  // Offsets are 32-bit: a file beyond four billion units keeps what fits.
  const size_t base = list.pool.size();
  if (base + text.size() > UINT32_MAX) text.resize(UINT32_MAX - base);

  std::vector<uint32_t> ends;
  const size_t length = CompactLines(text, lower_case, ends);
  text.resize(length);
  if (list.starts.empty()) list.starts.push_back(0);
  list.starts.reserve(list.starts.size() + ends.size());
  for (const uint32_t end : ends) list.starts.push_back(static_cast<uint32_t>(base + end));
  if (base == 0) {
    list.pool = std::move(text);
  } else {
    list.pool.append(text);
  }
  return true;
}

}  // namespace zefa

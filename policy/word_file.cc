#include "policy/word_file.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace zefa {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Decodes one line into `out` (replacing its contents). Plain ASCII lines,
// the bulk of any word file, are widened directly.
void DecodeLine(std::string_view line, Text& out) {
  const bool ascii = std::all_of(line.begin(), line.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    out = Utf8ToText(line);
    return;
  }
  out.resize(line.size());
  for (size_t i = 0; i < line.size(); ++i) out[i] = static_cast<WChar>(line[i]);
}

// Lower case per code unit; the ASCII range is looked up once per file.
using AsciiLowerTable = std::array<WChar, 128>;

AsciiLowerTable MakeAsciiLowerTable() {
  AsciiLowerTable table{};
  for (size_t c = 0; c < table.size(); ++c) table[c] = platform::CharLower(static_cast<WChar>(c));
  return table;
}

void LowerCaseLine(const AsciiLowerTable& ascii, Text& text) {
  for (WChar& c : text) c = c < ascii.size() ? ascii[c] : platform::CharLower(c);
}

}  // namespace

bool LoadWordFile(WordList& list, const Text& path, bool clear_first, bool lower_case) {
  if (clear_first) ClearWordList(list);
  if (!platform::FileExists(path)) return false;
  const std::optional<std::string> bytes = platform::ReadWholeFile(path);
  if (!bytes) return true;

  std::string_view rest(*bytes);
  if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    rest.remove_prefix(kByteOrderMark.size());

  // A UTF-8 file never holds fewer bytes than its text has UTF-16 units, so
  // this reserves enough for the whole file at once.
  list.pool.reserve(list.pool.size() + rest.size());
  list.starts.reserve(std::max<size_t>(list.starts.size(), 1) +
                      static_cast<size_t>(std::count(rest.begin(), rest.end(), '\n')) + 1);

  const AsciiLowerTable ascii_lower = lower_case ? MakeAsciiLowerTable() : AsciiLowerTable{};
  Text line_text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    DecodeLine(line, line_text);
    if (lower_case) LowerCaseLine(ascii_lower, line_text);
    AppendWord(list, line_text);
  }
  return true;
}

}  // namespace zefa

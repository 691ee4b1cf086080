#include "history/history_file.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/password_hash.h"
#include "platform/files.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// The line that starts at `start`, without its "\n" or "\r\n"; `start`
// moves past the separator.
std::string_view NextLine(std::string_view content, size_t& start) {
  const size_t end = content.find('\n', start);
  std::string_view line = content.substr(start, end == std::string_view::npos ? end : end - start);
  start = end == std::string_view::npos ? content.size() : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A file written by another tool may start with a byte-order mark; it is
// not part of the first line.
std::string_view WithoutMark(std::string_view content) {
  if (content.substr(0, kUtf8Mark.size()) == kUtf8Mark) content.remove_prefix(kUtf8Mark.size());
  return content;
}

}  // namespace

Text HistoryFieldText(const Text& text) {
  Text field = text;
  for (WChar& c : field)
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) c = ZT(' ');
  return field;
}

Text ReadHistorySalt(const Text& path) {
  const std::optional<std::string> content = platform::ReadWholeFile(path);
  if (content) {
    size_t start = 0;
    const Text first = Utf8ToText(NextLine(WithoutMark(*content), start));
    const std::vector<Text> fields = SplitFields(first, ZT('\t'));
    // The hash nearest the end of the line (normally the last field, the
    // similarity hash, salted like the password hash): a line written
    // before names were cleaned may hold extra tabs in its identity fields,
    // which shift every field counted from the front.
    for (size_t i = fields.size(); i-- > 4;) {
      if (!StartsWith(fields[i], ZT("$1:"))) continue;
      const std::vector<Text> hash_fields = SplitFields(fields[i], ZT(':'));
      if (hash_fields.size() >= 4 && !hash_fields[3].empty()) return hash_fields[3];
      break;
    }
  }
  return RandomText(kSaltLength, kSaltAlphabet);
}

int PrependHistoryLine(const Text& path, const Text& line, int max_lines) {
  std::optional<std::string> old = platform::ReadWholeFile(path);
  if (!old) {
    // Missing: start a new file. Present but unreadable (or a folder):
    // replacing it would lose its lines.
    if (platform::FileExists(path)) return 0;
    old.emplace();
  }
  const std::string_view old_content = WithoutMark(*old);

  // Old lines are copied byte for byte, so nothing in them is altered. Line
  // breaks at the end of the old file, or of the part kept, are not lines:
  // the new file never ends with a separator.
  std::string_view old_lines = old_content;
  while (!old_lines.empty() && (old_lines.back() == '\n' || old_lines.back() == '\r'))
    old_lines.remove_suffix(1);
  std::string content = TextToUtf8(line);
  const size_t first_line = content.size();
  size_t start = 0;
  for (int count = 1; start < old_lines.size() && count < max_lines; ++count) {
    content += "\r\n";
    content += NextLine(old_lines, start);
  }
  while (content.size() >= first_line + 2 && content.compare(content.size() - 2, 2, "\r\n") == 0)
    content.resize(content.size() - 2);
  return platform::ReplaceFileAtomically(path, content, false) ? 1 : 0;
}

}  // namespace zefa

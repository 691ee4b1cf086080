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

platform::FileRead ReadHistoryLines(const Text& path, std::vector<std::string>& lines) {
  lines.clear();
  std::string content;
  const platform::FileRead result = platform::ReadRegularFile(path, kHistoryReadBytes, content);
  if (result != platform::FileRead::kRead) return result;
  std::string_view text = WithoutMark(content);
  // The limit may have cut the file: its last line is then incomplete.
  if (content.size() == kHistoryReadBytes) {
    const size_t last_break = text.rfind('\n');
    text = last_break == std::string_view::npos ? std::string_view() : text.substr(0, last_break);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  size_t start = 0;
  while (start < text.size() && lines.size() < static_cast<size_t>(kHistoryLines))
    lines.emplace_back(NextLine(text, start));
  return result;
}

Text ReadHistorySalt(const Text& path) {
  std::vector<std::string> lines;
  if (ReadHistoryLines(path, lines) != platform::FileRead::kRead) lines.clear();
  return HistorySaltOf(lines);
}

Text HistorySaltOf(const std::vector<std::string>& lines) {
  if (!lines.empty()) {
    const Text first = Utf8ToText(lines.front());
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
  std::vector<std::string> old_lines;
  const platform::FileRead read = ReadHistoryLines(path, old_lines);
  // Present but unreadable (or a folder, or no regular file): replacing it
  // would lose its lines. Missing: a new file.
  if (read != platform::FileRead::kRead && read != platform::FileRead::kMissing) return 0;
  // Old lines are copied byte for byte, so nothing in them is altered.
  std::string content = TextToUtf8(line);
  const size_t first_line = content.size();
  for (size_t i = 0; i < old_lines.size() && static_cast<int>(i) + 1 < max_lines; ++i) {
    content += "\r\n";
    content += old_lines[i];
  }
  while (content.size() >= first_line + 2 && content.compare(content.size() - 2, 2, "\r\n") == 0)
    content.resize(content.size() - 2);
  return platform::ReplaceFileAtomically(path, content, false) ? 1 : 0;
}

}  // namespace zefa

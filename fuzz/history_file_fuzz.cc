// The password history file: reading its salt and prepending a line.
//   - the salt is field 4 of the last "$1:" hash (from field 5 on) of the
//     first line as a plain split finds it, otherwise a fresh salt of the
//     usual length and alphabet;
//   - prepending keeps the new line first and the old lines byte for byte,
//     at most max_lines lines in all, "\r\n" between them, no line break
//     at the end;
//   - both read only the first kHistoryReadBytes bytes: a line that limit
//     cuts is no line.
// Input: one byte for max_lines (0..9), then the old file.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"
#include "history/history_file.h"
#include "history/password_hash.h"

using zefa::Text;

namespace {

std::string_view WithoutMark(std::string_view file) {
  if (file.substr(0, 3) == "\xEF\xBB\xBF") file.remove_prefix(3);
  return file;
}

// Lines end at "\n"; one "\r" before it (or at the very end) is not part of
// the line; nothing follows a final line end.
std::vector<std::string_view> Lines(std::string_view file) {
  std::vector<std::string_view> lines;
  while (!file.empty()) {
    const size_t end = file.find('\n');
    std::string_view line = file.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    file.remove_prefix(end == std::string_view::npos ? file.size() : end + 1);
  }
  return lines;
}

std::vector<Text> Split(const Text& text, char16_t separator) {
  std::vector<Text> fields(1);
  for (char16_t c : text) {
    if (c == separator) {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

// What of the file is read: its first kHistoryReadBytes bytes without the
// mark, and when the limit was reached, only up to the last line end.
std::string_view ReadPart(std::string_view file) {
  const std::string_view head = file.substr(0, zefa::kHistoryReadBytes);
  std::string_view body = WithoutMark(head);
  if (head.size() == zefa::kHistoryReadBytes) {
    const size_t last_break = body.rfind('\n');
    body = last_break == std::string_view::npos ? std::string_view() : body.substr(0, last_break);
  }
  return body;
}

Text ReferenceSalt(std::string_view file) {
  const std::vector<std::string_view> lines = Lines(ReadPart(file));
  if (lines.empty()) return Text();
  const std::vector<Text> fields = Split(zefa::Utf8ToText(lines[0]), u'\t');
  // The last hash of the line, from field 5 on, holds the salt: extra tabs
  // in the names before it must not shift it.
  for (size_t i = fields.size(); i-- > 4;) {
    if (fields[i].rfind(u"$1:", 0) != 0) continue;
    const std::vector<Text> hash_fields = Split(fields[i], u':');
    return hash_fields.size() >= 4 ? hash_fields[3] : Text();
  }
  return Text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int max_lines = data[0] % 10;
  const std::string_view old_file(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string path = FuzzScratchFolder() + "/account.idh";
  const Text wide_path = zefa::Utf8ToText(path);
  WriteFuzzFile(path, old_file.data(), old_file.size());

  const Text salt = zefa::ReadHistorySalt(wide_path);
  const Text expected_salt = ReferenceSalt(old_file);
  if (!expected_salt.empty()) {
    FUZZ_CHECK(salt == expected_salt);
  } else {
    FUZZ_CHECK(salt.size() == zefa::kSaltLength);
    for (char16_t c : salt) FUZZ_CHECK(zefa::kSaltAlphabet.find(c) != zefa::TextView::npos);
  }

  const Text line = u"2026-01-01 00:00:00\tbob\tbob@example.org\tBob\tsha256:1000:x:salt:h\ts";
  FUZZ_CHECK(zefa::PrependHistoryLine(wide_path, line, max_lines) == 1);
  std::string expected = zefa::TextToUtf8(line);
  const size_t first_line = expected.size();
  // Line breaks at the end of the old file (or of the part kept) are no
  // lines: the file never ends with a separator.
  std::string_view old_body = ReadPart(old_file);
  while (!old_body.empty() && (old_body.back() == '\n' || old_body.back() == '\r'))
    old_body.remove_suffix(1);
  const std::vector<std::string_view> old_lines = Lines(old_body);
  for (size_t i = 0; i < old_lines.size() && static_cast<int>(i) + 1 < max_lines; ++i) {
    expected += "\r\n";
    expected += old_lines[i];
  }
  while (expected.size() >= first_line + 2 && expected.compare(expected.size() - 2, 2, "\r\n") == 0)
    expected.resize(expected.size() - 2);
  FUZZ_CHECK(ReadFuzzFile(path) == expected);
  return 0;
}

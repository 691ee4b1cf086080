// The word-file loader and the forbidden-word automaton.
//   - the loaded entries are the file's lines as a plain split gives them
//     (decoded as the file's encoding, CR LF, LF or CR line ends,
//     lower-cased when asked), before and after the index is built;
//   - the automaton finds the same word as the plain walk over the list in
//     list order, without and with several thresholds.
// Input: one flag byte, one threshold byte, the text to search (UTF-8), a
// NUL byte, then the word file.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"
#include "platform/characters.h"
#include "platform/text_decoding.h"
#include "words/word_file.h"
#include "words/forbidden_words.h"

using zefa::Text;

namespace {

Text Lower(Text text) {
  for (char16_t& c : text) c = zefa::platform::CharLower(c);
  return text;
}

// The file's text as the decoder reads it (its own tests cover the
// encodings), split at CR LF, LF or CR; nothing follows a final line end.
std::vector<Text> ReferenceEntries(std::string_view file, bool lower_case) {
  const Text all = zefa::DecodeTextFile(file);
  std::vector<Text> entries;
  size_t at = 0;
  while (at < all.size()) {
    size_t end = at;
    while (end < all.size() && all[end] != u'\r' && all[end] != u'\n') ++end;
    const Text line = all.substr(at, end - at);
    entries.push_back(lower_case ? Lower(line) : line);
    if (end < all.size() && all[end] == u'\r' && end + 1 < all.size() && all[end + 1] == u'\n')
      ++end;
    at = end + 1;
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool lower_case = (data[0] & 1) != 0;
  const float chosen_threshold = static_cast<float>(data[1]) / 64.0f;
  const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t nul = rest.find('\0');
  const std::string_view text_bytes = rest.substr(0, nul);
  const std::string_view file =
      nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);

  const std::string path = FuzzScratchFolder() + "/words.txt";
  WriteFuzzFile(path, file.data(), file.size());
  zefa::WordList list;
  zefa::AppendWord(list, u"left over");
  FUZZ_CHECK(zefa::LoadWordFile(list, zefa::Utf8ToText(path), true, lower_case));
  const std::vector<Text> expected = ReferenceEntries(file, lower_case);
  FUZZ_CHECK(zefa::WordCount(list) == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) FUZZ_CHECK(zefa::WordAt(list, i) == expected[i]);

  Text text = zefa::Utf8ToText(text_bytes);
  if (lower_case) text = Lower(text);
  zefa::FinishWordList(list);
  FUZZ_CHECK(zefa::WordCount(list) == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) FUZZ_CHECK(zefa::WordAt(list, i) == expected[i]);
  for (float threshold : {0.0f, 0.1f, 0.25f, 0.5f, 1.0f, 2.5f, chosen_threshold}) {
    FUZZ_CHECK(zefa::ForbiddenWordSearch(list, text, threshold) ==
               zefa::ForbiddenWordSearch(expected, text, threshold));
  }
  return 0;
}

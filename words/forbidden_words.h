// Forbidden-word search. A word list may hold millions of entries (leaked
// password and dictionary files), so lists loaded from files are kept in a
// compact hash index over their distinct words, built once after loading;
// the short lists typed into a policy set are walked directly.
//
// Both searches give the same verdict and the same reported word as the plain
// walk over the list in list order, where a word "occurs" when it occurs in
// the text or in the second text (the de-obfuscated copy of the password,
// which has the same length; pass the same text twice to search one):
//   - without a threshold (<= 0) the first listed word that occurs is
//     returned;
//   - with a threshold, each listed word that occurs adds (its length / text
//     length) to a score (a 32-bit float, the sum computed in extended
//     precision); the word that brings the score to or above the threshold is
//     returned. Duplicated entries count once per entry, repeats in the text
//     once.
// Empty entries never match. Comparison is case-sensitive (callers pass
// lower-case lists and a lower-case text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace zefa {

struct WordIndex;  // defined in forbidden_words.cc

// While loading, the entries are kept as UTF-16 text back to back; once
// finished, only the index holds them: each distinct word once, in UTF-8
// (surrogates encoded one by one), so a finished list takes about the size
// of its file.
struct WordList {
  Text pool;                     // while loading: all entries back to back
  std::vector<uint32_t> starts;  // while loading: entry i is pool[starts[i], starts[i + 1])
  std::shared_ptr<const WordIndex> index;  // built by FinishWordList; null while loading
};

void ClearWordList(WordList& list);
void AppendWord(WordList& list, TextView word);  // empty words are kept as empty entries
size_t WordCount(const WordList& list);

// Entry `index` (< WordCount). On a finished list an entry that repeats an
// earlier one is found by a walk over the repeats (for tests and tools, not
// for the search).
Text WordAt(const WordList& list, size_t index);

// Builds the index over the entries and releases the loading copy; call
// after the last AppendWord.
void FinishWordList(WordList& list);

// Makes a finished list appendable again (its entries back in pool and
// starts, the index dropped); nothing for a list that is loading.
void ReopenWordList(WordList& list);

// Heap bytes held by the list and its index.
size_t WordListMemory(const WordList& list);

// Searches with the index (falls back to the plain walk when the list was
// not finished).
Text ForbiddenWordSearch(const WordList& list, TextView text, TextView also, float threshold);
inline Text ForbiddenWordSearch(const WordList& list, TextView text, float threshold) {
  return ForbiddenWordSearch(list, text, text, threshold);
}

// The plain walk over a short list, in list order.
Text ForbiddenWordSearch(const std::vector<Text>& list, TextView text, TextView also,
                         float threshold);
inline Text ForbiddenWordSearch(const std::vector<Text>& list, TextView text, float threshold) {
  return ForbiddenWordSearch(list, text, text, threshold);
}

}  // namespace zefa

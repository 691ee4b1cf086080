#include "words/forbidden_words.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>

#include "platform/characters.h"

namespace zefa {

// A hash index over the distinct non-empty words of a list. Words are
// numbered in the order of their first entry; the words themselves stay in
// the list's pool (a word's text is that of its first entry), so the index
// adds a few words of memory per entry and no copy of the text.
struct WordIndex {
  // Word k is spelled by the entries positions[first[k]] ..
  // positions[first[k + 1] - 1], ascending; positions[first[k]] is its first.
  std::vector<uint32_t> first;      // words + 1
  std::vector<uint32_t> positions;  // every non-empty entry, grouped by word
  // Open addressing with linear probing: (upper half of the word's hash << 32)
  // | (word + 1); 0 is a free slot. At most half the slots are used.
  std::vector<uint64_t> slots;
  uint64_t mask = 0;
  std::vector<bool> has_length;  // has_length[n]: some word is n units long
  // One bit per hashed prefix of every word (a filter with false positives
  // only): a search stops extending a piece of the text once no word starts
  // with it, so most pieces end after a few units.
  std::vector<uint64_t> prefix_bits;
  uint64_t prefix_mask = 0;  // bit count - 1
};

namespace {

// Polynomial hash over UTF-16 units, extended one unit at a time so every
// prefix of a suffix of the text is hashed in one step; Mix spreads it for
// the slot number and the tag.
constexpr uint64_t kHashBase = 0x9E3779B97F4A7C15ull;

inline uint64_t Extend(uint64_t hash, WChar c) {
  return hash * kHashBase + static_cast<uint16_t>(c) + 1;
}

inline uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

uint64_t HashOf(TextView word) {
  uint64_t hash = 0;
  for (const WChar c : word) hash = Extend(hash, c);
  return Mix(hash);
}

inline uint64_t PrefixBit(const WordIndex& index, uint64_t mixed) {
  return (mixed >> 11) & index.prefix_mask;
}

inline bool MayBePrefix(const WordIndex& index, uint64_t mixed) {
  const uint64_t bit = PrefixBit(index, mixed);
  return (index.prefix_bits[bit >> 6] >> (bit & 63)) & 1;
}

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

uint32_t WordLength(const WordList& list, const WordIndex& index, uint32_t word) {
  const uint32_t entry = index.positions[index.first[word]];
  return list.starts[entry + 1] - list.starts[entry];
}

// The word spelled `piece` (whose mixed hash is `mixed`), or UINT32_MAX.
// `first_entry` gives a word's first entry (the index's own table once it is
// built).
template <typename FirstEntry>
uint32_t FindWord(const WordList& list, const std::vector<uint64_t>& slots, uint64_t mask,
                  uint64_t mixed, TextView piece, FirstEntry first_entry) {
  const uint64_t tag = mixed >> 32;
  for (uint64_t at = mixed & mask;; at = (at + 1) & mask) {
    const uint64_t slot = slots[at];
    if (slot == 0) return UINT32_MAX;
    if ((slot >> 32) != tag) continue;
    const uint32_t word = static_cast<uint32_t>(slot) - 1;
    if (WordAt(list, first_entry(word)) == piece) return word;
  }
}

void InsertWord(std::vector<uint64_t>& slots, uint64_t mask, uint64_t mixed, uint32_t word) {
  uint64_t at = mixed & mask;
  while (slots[at] != 0) at = (at + 1) & mask;
  slots[at] = ((mixed >> 32) << 32) | (uint64_t{word} + 1);
}

size_t SlotCountFor(size_t words) {
  size_t count = 16;
  while (count < 2 * words) count *= 2;
  return count;
}

// One listed word that occurs in the text, in list order. Returns true when
// this word decides the search (no threshold, or the score reached it).
bool ScoreFoundWord(float& score, size_t word_length, size_t text_length, float threshold) {
  if (threshold <= 0) return true;
  score = static_cast<float>(static_cast<long double>(score) +
                             static_cast<long double>(word_length) /
                                 static_cast<long double>(text_length));
  return score >= threshold;
}

bool Occurs(TextView word, TextView text, TextView also) {
  if (text.find(word) != TextView::npos) return true;
  return also != text && also.find(word) != TextView::npos;
}

template <typename WordAtIndex>
Text PlainWalk(size_t count, WordAtIndex word_at, TextView text, TextView also, float threshold) {
  float score = 0.0f;
  for (size_t i = 0; i < count; ++i) {
    const TextView word = word_at(i);
    if (word.empty() || !Occurs(word, text, also)) continue;
    if (ScoreFoundWord(score, word.size(), text.size(), threshold)) return Text(word);
  }
  return Text();
}

// Adds to `found` every word of the index that occurs in `text`. Only the
// pieces that start with some word's prefix are extended; the pieces whose
// length some word has are hashed a batch at a time and their slots
// prefetched together, so the table's cache misses overlap. With `differs`
// (the first unit at or after each position where this text differs from the
// other text, which was searched already) only pieces that differ are looked
// up.
void CollectWords(const WordList& list, const WordIndex& index, TextView text,
                  const std::vector<uint32_t>* differs, std::vector<uint32_t>& found) {
  struct Candidate {
    uint64_t mixed;
    uint32_t begin;
    uint32_t length;
  };
  constexpr size_t kBatch = 32;
  Candidate batch[kBatch];
  size_t pending = 0;
  const auto first_entry = [&index](uint32_t word) { return index.positions[index.first[word]]; };
  const auto resolve = [&] {
    for (size_t b = 0; b < pending; ++b) Prefetch(&index.slots[batch[b].mixed & index.mask]);
    for (size_t b = 0; b < pending; ++b) {
      const Candidate& c = batch[b];
      const uint32_t word = FindWord(list, index.slots, index.mask, c.mixed,
                                     text.substr(c.begin, c.length), first_entry);
      if (word != UINT32_MAX) found.push_back(word);
    }
    pending = 0;
  };
  const size_t longest = index.has_length.empty() ? 0 : index.has_length.size() - 1;
  for (size_t begin = 0; begin < text.size(); ++begin) {
    const size_t limit = std::min(longest, text.size() - begin);
    const size_t first_difference = differs ? (*differs)[begin] : begin;
    uint64_t hash = 0;
    for (size_t length = 1; length <= limit; ++length) {
      hash = Extend(hash, text[begin + length - 1]);
      const uint64_t mixed = Mix(hash);
      if (!MayBePrefix(index, mixed)) break;
      if (!index.has_length[length] || first_difference >= begin + length) continue;
      batch[pending++] =
          Candidate{mixed, static_cast<uint32_t>(begin), static_cast<uint32_t>(length)};
      if (pending == kBatch) resolve();
    }
  }
  resolve();
  platform::SecureWipe(batch, sizeof batch);
}

// With a threshold: replays the entries of the occurring words in list order,
// as the plain walk adds them, until the score reaches the threshold.
Text ScoreInListOrder(const WordList& list, const WordIndex& index,
                      const std::vector<uint32_t>& words, size_t text_length, float threshold) {
  // Every step adds at most half a unit in the last place of a score below
  // the threshold, so when even the exact total plus that rounding stays
  // below it, no order of additions can reach it.
  long double exact_total = 0;
  long double steps = 0;
  for (const uint32_t word : words) {
    const long double count = index.first[word + 1] - index.first[word];
    exact_total += count * WordLength(list, index, word) / static_cast<long double>(text_length);
    steps += count;
  }
  const long double ulp =
      static_cast<long double>(std::nextafter(threshold, std::numeric_limits<float>::infinity())) -
      threshold;
  if (exact_total + steps * ulp < threshold) return Text();

  // One cursor per word over its entries; the smallest entry comes next.
  struct Cursor {
    uint32_t entry;
    uint32_t offset;  // into positions
    uint32_t end;     // the word's end offset
    bool operator>(const Cursor& other) const { return entry > other.entry; }
  };
  std::priority_queue<Cursor, std::vector<Cursor>, std::greater<Cursor>> next;
  for (const uint32_t word : words) {
    const uint32_t offset = index.first[word];
    next.push(Cursor{index.positions[offset], offset, index.first[word + 1]});
  }
  float score = 0.0f;
  while (!next.empty()) {
    Cursor cursor = next.top();
    next.pop();
    const uint32_t length = list.starts[cursor.entry + 1] - list.starts[cursor.entry];
    if (ScoreFoundWord(score, length, text_length, threshold))
      return Text(WordAt(list, cursor.entry));
    if (++cursor.offset < cursor.end) {
      cursor.entry = index.positions[cursor.offset];
      next.push(cursor);
    }
  }
  return Text();
}

}  // namespace

void ClearWordList(WordList& list) {
  list.pool = Text();
  list.starts = std::vector<uint32_t>();
  list.index.reset();
}

void AppendWord(WordList& list, TextView word) {
  // Offsets are 32-bit; a pool of four billion units is far beyond any real
  // word file, and a word that would overflow it is not kept.
  if (list.pool.size() + word.size() > std::numeric_limits<uint32_t>::max()) return;
  if (list.starts.empty()) list.starts.push_back(0);
  list.pool.append(word);
  list.starts.push_back(static_cast<uint32_t>(list.pool.size()));
  list.index.reset();
}

size_t WordCount(const WordList& list) { return list.starts.empty() ? 0 : list.starts.size() - 1; }

TextView WordAt(const WordList& list, size_t index) {
  const uint32_t begin = list.starts[index];
  return TextView(list.pool.data() + begin, list.starts[index + 1] - begin);
}

void FinishWordList(WordList& list) {
  auto index = std::make_shared<WordIndex>();
  const size_t entries = WordCount(list);
  size_t non_empty = 0;
  size_t longest = 0;
  for (size_t i = 0; i < entries; ++i) {
    const size_t length = list.starts[i + 1] - list.starts[i];
    if (length == 0) continue;
    ++non_empty;
    longest = std::max(longest, length);
  }

  // Number the distinct words in order of their first entry.
  std::vector<uint32_t> word_of_entry(entries, UINT32_MAX);
  std::vector<uint32_t> first_entry;  // per word
  std::vector<uint32_t> counts;       // per word
  {
    std::vector<uint64_t> slots(SlotCountFor(non_empty), 0);
    const uint64_t mask = slots.size() - 1;
    const auto first_of = [&first_entry](uint32_t word) { return first_entry[word]; };
    for (size_t i = 0; i < entries; ++i) {
      const TextView word = WordAt(list, i);
      if (word.empty()) continue;
      const uint64_t mixed = HashOf(word);
      uint32_t number = FindWord(list, slots, mask, mixed, word, first_of);
      if (number == UINT32_MAX) {
        number = static_cast<uint32_t>(first_entry.size());
        first_entry.push_back(static_cast<uint32_t>(i));
        counts.push_back(0);
        InsertWord(slots, mask, mixed, number);
      }
      word_of_entry[i] = number;
      ++counts[number];
    }
    if (slots.size() == SlotCountFor(first_entry.size())) {
      index->slots = std::move(slots);
      index->mask = mask;
    }
  }
  // A list with many duplicates gets a table sized for its distinct words.
  if (index->slots.empty()) {
    index->slots.assign(SlotCountFor(first_entry.size()), 0);
    index->mask = index->slots.size() - 1;
    for (uint32_t word = 0; word < first_entry.size(); ++word)
      InsertWord(index->slots, index->mask, HashOf(WordAt(list, first_entry[word])), word);
  }
  first_entry = std::vector<uint32_t>();

  // Group the entries by word, each group in list order.
  index->first.resize(counts.size() + 1);
  index->first[0] = 0;
  for (size_t k = 0; k < counts.size(); ++k) index->first[k + 1] = index->first[k] + counts[k];
  counts = std::vector<uint32_t>();
  index->positions.resize(non_empty);
  {
    std::vector<uint32_t> fill(index->first.begin(), index->first.end() - 1);
    for (size_t i = 0; i < entries; ++i) {
      if (word_of_entry[i] != UINT32_MAX) index->positions[fill[word_of_entry[i]]++] = static_cast<uint32_t>(i);
    }
  }
  word_of_entry = std::vector<uint32_t>();

  index->has_length.assign(longest + 1, false);
  size_t distinct_units = 0;
  for (uint32_t word = 0; word + 1 < index->first.size(); ++word) {
    const uint32_t length = WordLength(list, *index, word);
    index->has_length[length] = true;
    distinct_units += length;
  }
  // About four bits per prefix: a piece of text that no word starts with
  // passes the filter one time in five or less.
  size_t bits = 64;
  while (bits < 4 * distinct_units) bits *= 2;
  index->prefix_bits.assign(bits / 64, 0);
  index->prefix_mask = bits - 1;
  for (uint32_t word = 0; word + 1 < index->first.size(); ++word) {
    uint64_t hash = 0;
    for (const WChar c : WordAt(list, index->positions[index->first[word]])) {
      hash = Extend(hash, c);
      const uint64_t bit = PrefixBit(*index, Mix(hash));
      index->prefix_bits[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
  }

  // The pool was sized for the whole file, line ends included.
  if (list.pool.capacity() > list.pool.size() + list.pool.size() / 4) list.pool.shrink_to_fit();
  list.starts.shrink_to_fit();
  list.index = std::move(index);
}

size_t WordListMemory(const WordList& list) {
  size_t bytes = list.pool.capacity() * sizeof(WChar) + list.starts.capacity() * sizeof(uint32_t);
  if (list.index) {
    const WordIndex& x = *list.index;
    bytes += sizeof(WordIndex) + x.first.capacity() * sizeof(uint32_t) +
             x.positions.capacity() * sizeof(uint32_t) + x.slots.capacity() * sizeof(uint64_t) +
             x.has_length.capacity() / 8 + x.prefix_bits.capacity() * sizeof(uint64_t);
  }
  return bytes;
}

Text ForbiddenWordSearch(const WordList& list, TextView text, TextView also, float threshold) {
  if (!list.index) {
    return PlainWalk(
        WordCount(list), [&list](size_t i) { return WordAt(list, i); }, text, also, threshold);
  }
  const WordIndex& index = *list.index;
  if (text.empty() || index.first.size() <= 1) return Text();

  std::vector<uint32_t> found;
  CollectWords(list, index, text, nullptr, found);
  if (also != text && also.size() == text.size()) {
    std::vector<uint32_t> differs(also.size() + 1, static_cast<uint32_t>(also.size()));
    for (size_t i = also.size(); i-- > 0;)
      differs[i] = also[i] != text[i] ? static_cast<uint32_t>(i) : differs[i + 1];
    CollectWords(list, index, also, &differs, found);
  } else if (also != text) {
    CollectWords(list, index, also, nullptr, found);
  }
  if (found.empty()) return Text();
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());

  if (threshold <= 0) {
    // Words are numbered in the order of their first entries.
    return Text(WordAt(list, index.positions[index.first[found.front()]]));
  }
  return ScoreInListOrder(list, index, found, text.size(), threshold);
}

Text ForbiddenWordSearch(const std::vector<Text>& list, TextView text, TextView also,
                         float threshold) {
  return PlainWalk(
      list.size(), [&list](size_t i) { return TextView(list[i]); }, text, also, threshold);
}

}  // namespace zefa

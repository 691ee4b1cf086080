#include "words/forbidden_words.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <utility>

#include "platform/characters.h"

namespace zefa {

// The index over a finished list. The distinct non-empty words are numbered
// in the order of their first entry and stored once each, back to back in
// that order, in `text`: a record is its byte length (LEB128) and the word's
// UTF-16 units, each encoded on its own as UTF-8 (1 to 3 bytes). A word is
// known by its record's offset, so offsets ascend with word numbers.
struct WordIndex {
  std::string text;
  size_t entries = 0;  // entries of the list, empty ones included
  uint32_t words = 0;

  // Open addressing with linear probing: tags[s] is 0 for a free slot, else
  // a byte of the word's hash, and offsets[s] the word's record. At most
  // nine slots in ten are used.
  std::vector<uint8_t> tags;
  std::vector<uint32_t> offsets;

  std::vector<bool> has_length;  // has_length[n]: some word is n units long

  // One bit per hashed proper prefix that the search asks about (a filter
  // with false positives only): a search stops extending a piece of the text
  // once no longer word starts with it, so most pieces end after a few units.
  std::vector<uint64_t> prefix_bits;
  uint64_t prefix_bit_count = 0;

  // The record offset of every sample_step-th word, to find a word by number
  // and to number a word by its offset (the threshold search numbers the
  // words it found when the list has repeats, so those lists sample densely).
  std::vector<uint32_t> word_samples;
  uint32_t sample_step = 0;

  // Only when some entry is empty or repeats an earlier one (otherwise entry
  // i is word i): is_first marks each word's first entry, first_rank[j]
  // counts the marks before entry 512 * j, and for each word that has
  // repeats (ascending word numbers) its later entries, ascending.
  std::vector<uint64_t> is_first;
  std::vector<uint32_t> first_rank;
  std::vector<uint32_t> repeat_words;
  std::vector<uint32_t> repeat_begin;  // repeat_words + 1 offsets into repeat_entries
  std::vector<uint32_t> repeat_entries;
};

namespace {

constexpr uint32_t kNoRecord = UINT32_MAX;
constexpr uint32_t kDenseSampleStep = 8;
constexpr uint32_t kSparseSampleStep = 64;

// Polynomial hash over UTF-16 units, extended one unit at a time so every
// prefix of a suffix of the text is hashed in one step; Mix spreads it for
// the slot number, the tag and the prefix bit.
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

// A 32-bit part of the hash scaled to [0, count).
inline uint64_t Scaled(uint64_t part32, uint64_t count) { return (part32 * count) >> 32; }

inline size_t SlotOf(const WordIndex& index, uint64_t mixed) {
  return static_cast<size_t>(Scaled(mixed >> 32, index.tags.size()));
}

inline uint8_t TagOf(uint64_t mixed) {
  return static_cast<uint8_t>(1 + ((mixed >> 16) & 0xFFFF) % 255);
}

inline uint64_t PrefixBit(const WordIndex& index, uint64_t mixed) {
  return Scaled(mixed & 0xFFFFFFFFull, index.prefix_bit_count);
}

inline bool MayGoOn(const WordIndex& index, uint64_t mixed) {
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

size_t SlotCountFor(size_t words) { return std::max<size_t>(16, words + words / 9 + 1); }

// ---- records

// Writes one unit's bytes at `out`; returns the end.
inline char* PutUnit(char* out, WChar unit) {
  const auto c = static_cast<uint16_t>(unit);
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

size_t EncodedBytes(TextView word) {
  size_t bytes = 0;
  for (const WChar unit : word) {
    const auto c = static_cast<uint16_t>(unit);
    bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
  }
  return bytes;
}

void AppendRecord(std::string& out, TextView word) {
  const size_t bytes = EncodedBytes(word);
  size_t header = 1;
  for (size_t rest = bytes >> 7; rest; rest >>= 7) ++header;
  const size_t at = out.size();
  out.resize(at + header + bytes);
  char* p = out.data() + at;
  size_t length = bytes;
  do {
    const auto low = static_cast<unsigned char>(length & 0x7F);
    length >>= 7;
    *p++ = static_cast<char>(length ? low | 0x80 : low);
  } while (length);
  for (const WChar unit : word) p = PutUnit(p, unit);
}

// The record at `offset`: its body [begin, end) in index.text.
struct Record {
  const unsigned char* begin;
  const unsigned char* end;
};

inline Record RecordAt(const WordIndex& index, uint32_t offset) {
  const auto* p = reinterpret_cast<const unsigned char*>(index.text.data()) + offset;
  size_t bytes = 0;
  unsigned shift = 0;
  for (;;) {
    const unsigned char b = *p++;
    bytes |= static_cast<size_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) break;
    shift += 7;
  }
  return Record{p, p + bytes};
}

inline uint32_t NextRecord(const WordIndex& index, uint32_t offset) {
  const Record record = RecordAt(index, offset);
  return static_cast<uint32_t>(record.end -
                               reinterpret_cast<const unsigned char*>(index.text.data()));
}

// Decodes one unit at `p`, advancing it.
inline WChar NextUnit(const unsigned char*& p) {
  const unsigned char b = *p++;
  if (b < 0x80) return static_cast<WChar>(b);
  if (b < 0xE0) {
    const unsigned c = ((b & 0x1Fu) << 6) | (*p++ & 0x3Fu);
    return static_cast<WChar>(c);
  }
  unsigned c = (b & 0x0Fu) << 12;
  c |= (*p++ & 0x3Fu) << 6;
  c |= *p++ & 0x3Fu;
  return static_cast<WChar>(c);
}

bool RecordEquals(const WordIndex& index, uint32_t offset, TextView piece) {
  Record record = RecordAt(index, offset);
  for (const WChar c : piece) {
    if (record.begin == record.end || NextUnit(record.begin) != c) return false;
  }
  return record.begin == record.end;
}

size_t RecordUnits(const WordIndex& index, uint32_t offset) {
  const Record record = RecordAt(index, offset);
  size_t units = 0;
  for (const unsigned char* p = record.begin; p < record.end; ++p) units += (*p & 0xC0) != 0x80;
  return units;
}

Text RecordText(const WordIndex& index, uint32_t offset) {
  Record record = RecordAt(index, offset);
  Text word;
  word.reserve(static_cast<size_t>(record.end - record.begin));
  while (record.begin < record.end) word.push_back(NextUnit(record.begin));
  return word;
}

// ---- the table

// The slot that holds the word spelled `piece`, or the free slot where it
// would go (tags[slot] == 0).
size_t FindSlot(const WordIndex& index, uint64_t mixed, TextView piece) {
  const uint8_t tag = TagOf(mixed);
  const size_t count = index.tags.size();
  for (size_t at = SlotOf(index, mixed);;) {
    const uint8_t slot_tag = index.tags[at];
    if (slot_tag == 0) return at;
    if (slot_tag == tag && RecordEquals(index, index.offsets[at], piece)) return at;
    if (++at == count) at = 0;
  }
}

void InsertAt(WordIndex& index, size_t slot, uint64_t mixed, uint32_t offset) {
  index.tags[slot] = TagOf(mixed);
  index.offsets[slot] = offset;
}

// ---- entries and words

bool EntriesAreWords(const WordIndex& index) { return index.is_first.empty(); }

uint32_t OffsetOfWord(const WordIndex& index, uint32_t word) {
  uint32_t offset = index.word_samples[word / index.sample_step];
  for (uint32_t k = word / index.sample_step * index.sample_step; k < word; ++k)
    offset = NextRecord(index, offset);
  return offset;
}

uint32_t WordOfOffset(const WordIndex& index, uint32_t offset) {
  const auto after = std::upper_bound(index.word_samples.begin(), index.word_samples.end(), offset);
  const size_t sample = static_cast<size_t>(after - index.word_samples.begin()) - 1;
  uint32_t word = static_cast<uint32_t>(sample * index.sample_step);
  for (uint32_t at = index.word_samples[sample]; at < offset; at = NextRecord(index, at)) ++word;
  return word;
}

// Marks before entry `entry` (the word number of a first entry).
uint32_t RankOf(const WordIndex& index, size_t entry) {
  uint32_t rank = index.first_rank[entry / 512];
  for (size_t w = entry / 512 * 8; w < entry / 64; ++w) rank += std::popcount(index.is_first[w]);
  if (entry % 64)
    rank += std::popcount(index.is_first[entry / 64] & ((uint64_t{1} << (entry % 64)) - 1));
  return rank;
}

bool IsFirst(const WordIndex& index, size_t entry) {
  return (index.is_first[entry / 64] >> (entry % 64)) & 1;
}

// The first entry of word `word`.
uint32_t FirstEntryOf(const WordIndex& index, uint32_t word) {
  if (EntriesAreWords(index)) return word;
  const auto after = std::upper_bound(index.first_rank.begin(), index.first_rank.end(), word);
  size_t block = static_cast<size_t>(after - index.first_rank.begin()) - 1;
  uint32_t rank = index.first_rank[block];
  for (size_t w = block * 8;; ++w) {
    uint64_t bits = index.is_first[w];
    const uint32_t count = static_cast<uint32_t>(std::popcount(bits));
    if (word - rank < count) {
      for (uint32_t skip = word - rank; skip > 0; --skip) bits &= bits - 1;
      return static_cast<uint32_t>(w * 64 + std::countr_zero(bits));
    }
    rank += count;
  }
}

// The repeats of `word`: [begin, end) in repeat_entries.
std::pair<uint32_t, uint32_t> RepeatsOf(const WordIndex& index, uint32_t word) {
  const auto found = std::lower_bound(index.repeat_words.begin(), index.repeat_words.end(), word);
  if (found == index.repeat_words.end() || *found != word) return {0, 0};
  const size_t group = static_cast<size_t>(found - index.repeat_words.begin());
  return {index.repeat_begin[group], index.repeat_begin[group + 1]};
}

// The word of an entry; kNoRecord for an empty entry.
uint32_t WordOfEntry(const WordIndex& index, size_t entry) {
  if (EntriesAreWords(index)) return static_cast<uint32_t>(entry);
  if (IsFirst(index, entry)) return RankOf(index, entry);
  for (size_t group = 0; group < index.repeat_words.size(); ++group) {
    for (uint32_t r = index.repeat_begin[group]; r < index.repeat_begin[group + 1]; ++r)
      if (index.repeat_entries[r] == entry) return index.repeat_words[group];
  }
  return kNoRecord;
}

// ---- searching

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

TextView LoadingEntry(const WordList& list, size_t entry) {
  const uint32_t begin = list.starts[entry];
  return TextView(list.pool.data() + begin, list.starts[entry + 1] - begin);
}

// Adds to `found` the record offset of every word of the index that occurs
// in `text`. A piece is extended while some longer word may start with it
// (asked of the prefix filter before each length that some word has);
// the pieces whose length some word has are hashed a batch at a time and
// their slots prefetched together, so the table's cache misses overlap. With
// `differs` (the first unit at or after each position where this text
// differs from the other text, which was searched already) only pieces that
// differ are looked up.
void CollectWords(const WordIndex& index, TextView text, const std::vector<uint32_t>* differs,
                  std::vector<uint32_t>& found) {
  struct Candidate {
    uint64_t mixed;
    uint32_t begin;
    uint32_t length;
  };
  constexpr size_t kBatch = 32;
  Candidate batch[kBatch];
  size_t pending = 0;
  const auto resolve = [&] {
    for (size_t b = 0; b < pending; ++b) {
      const size_t slot = SlotOf(index, batch[b].mixed);
      Prefetch(&index.tags[slot]);
      Prefetch(&index.offsets[slot]);
    }
    for (size_t b = 0; b < pending; ++b) {
      const Candidate& c = batch[b];
      const size_t slot = FindSlot(index, c.mixed, text.substr(c.begin, c.length));
      if (index.tags[slot] != 0) found.push_back(index.offsets[slot]);
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
      if (index.has_length[length] && first_difference < begin + length) {
        batch[pending++] =
            Candidate{mixed, static_cast<uint32_t>(begin), static_cast<uint32_t>(length)};
        if (pending == kBatch) resolve();
      }
      // The filter is asked only where it can spare a lookup: before a
      // length that some word has. Elsewhere extending costs a hash step and
      // no memory read, where each question to the filter is a likely cache
      // miss on a cold cache.
      if (length + 1 < index.has_length.size() && index.has_length[length + 1] &&
          !MayGoOn(index, mixed))
        break;
    }
  }
  resolve();
  platform::SecureWipe(batch, sizeof batch);
}

// With a threshold: replays the entries of the occurring words (record
// offsets, ascending) in list order, as the plain walk adds them, until the
// score reaches the threshold.
Text ScoreInListOrder(const WordIndex& index, const std::vector<uint32_t>& found,
                      size_t text_length, float threshold) {
  if (EntriesAreWords(index)) {
    float score = 0.0f;
    for (const uint32_t offset : found) {
      if (ScoreFoundWord(score, RecordUnits(index, offset), text_length, threshold))
        return RecordText(index, offset);
    }
    return Text();
  }

  struct Word {
    uint32_t offset;
    uint32_t units;
    uint32_t first;
    std::pair<uint32_t, uint32_t> repeats;
  };
  std::vector<Word> words;
  words.reserve(found.size());
  // Every step adds at most half a unit in the last place of a score below
  // the threshold, so when even the exact total plus that rounding stays
  // below it, no order of additions can reach it.
  long double exact_total = 0;
  long double steps = 0;
  for (const uint32_t offset : found) {
    const uint32_t word = WordOfOffset(index, offset);
    Word w{offset, static_cast<uint32_t>(RecordUnits(index, offset)), FirstEntryOf(index, word),
           RepeatsOf(index, word)};
    const long double count = 1 + (w.repeats.second - w.repeats.first);
    exact_total += count * w.units / static_cast<long double>(text_length);
    steps += count;
    words.push_back(w);
  }
  const long double ulp =
      static_cast<long double>(std::nextafter(threshold, std::numeric_limits<float>::infinity())) -
      threshold;
  if (exact_total + steps * ulp < threshold) return Text();

  // One cursor per word over its entries; the smallest entry comes next.
  struct Cursor {
    uint32_t entry;
    uint32_t word;  // into words
    uint32_t next;  // the next repeat, into repeat_entries
    bool operator>(const Cursor& other) const { return entry > other.entry; }
  };
  std::priority_queue<Cursor, std::vector<Cursor>, std::greater<Cursor>> next;
  for (uint32_t k = 0; k < words.size(); ++k)
    next.push(Cursor{words[k].first, k, words[k].repeats.first});
  float score = 0.0f;
  while (!next.empty()) {
    Cursor cursor = next.top();
    next.pop();
    const Word& w = words[cursor.word];
    if (ScoreFoundWord(score, w.units, text_length, threshold)) return RecordText(index, w.offset);
    if (cursor.next < w.repeats.second) {
      cursor.entry = index.repeat_entries[cursor.next++];
      next.push(cursor);
    }
  }
  return Text();
}

// Builds the entry structures when some entry is empty or a repeat.
void IndexEntries(WordIndex& index, std::vector<uint64_t>&& is_first,
                  std::vector<std::pair<uint32_t, uint32_t>>&& repeats) {
  index.is_first = std::move(is_first);
  index.first_rank.assign(index.is_first.size() / 8 + 1, 0);
  uint32_t rank = 0;
  for (size_t w = 0; w < index.is_first.size(); ++w) {
    if (w % 8 == 0) index.first_rank[w / 8] = rank;
    rank += static_cast<uint32_t>(std::popcount(index.is_first[w]));
  }
  if (index.is_first.size() % 8 == 0) index.first_rank.back() = rank;

  // Group the repeats (in entry order) by word, keeping that order.
  std::vector<uint32_t> fill(index.words, 0);
  for (const auto& [word, entry] : repeats) ++fill[word];
  uint32_t total = 0;
  for (uint32_t word = 0; word < index.words; ++word) {
    if (fill[word] == 0) continue;
    index.repeat_words.push_back(word);
    index.repeat_begin.push_back(total);
    const uint32_t count = fill[word];
    fill[word] = total;
    total += count;
  }
  index.repeat_begin.push_back(total);
  index.repeat_entries.resize(total);
  for (const auto& [word, entry] : repeats) index.repeat_entries[fill[word]++] = entry;
}

// The filter holds the prefixes the search asks about: each proper prefix
// of a word whose length plus one is the length of some word.
void FillPrefixBits(WordIndex& index, const std::vector<uint64_t>& words_of_length) {
  const auto asked = [&index](size_t length) {
    return length + 1 < index.has_length.size() && index.has_length[length + 1];
  };
  uint64_t prefixes = 0;
  uint64_t asked_below = 0;  // asked lengths below `length`
  for (size_t length = 1; length < words_of_length.size(); ++length) {
    prefixes += words_of_length[length] * asked_below;
    asked_below += asked(length);
  }
  // Three bits for two prefixes (shared prefixes counted once per word): a
  // piece that no word goes on from passes the filter about two times in
  // five or less.
  index.prefix_bit_count = std::max<uint64_t>(64, (3 * prefixes / 2 + 63) / 64 * 64);
  index.prefix_bits.assign(index.prefix_bit_count / 64, 0);
  for (uint32_t offset = 0; offset < index.text.size(); offset = NextRecord(index, offset)) {
    Record record = RecordAt(index, offset);
    uint64_t hash = 0;
    for (size_t length = 1; record.begin < record.end; ++length) {
      hash = Extend(hash, NextUnit(record.begin));
      if (record.begin == record.end) break;  // the whole word is no proper prefix
      if (!asked(length)) continue;
      const uint64_t bit = PrefixBit(index, Mix(hash));
      index.prefix_bits[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
  }
}

}  // namespace

void ClearWordList(WordList& list) {
  Text().swap(list.pool);  // assigning an empty string would keep the buffer
  list.starts = std::vector<uint32_t>();
  list.index.reset();
}

void ReopenWordList(WordList& list) {
  if (!list.index) return;
  const std::shared_ptr<const WordIndex> held = std::move(list.index);
  const WordIndex& index = *held;
  std::vector<uint32_t> offsets;
  offsets.reserve(index.words);
  for (uint32_t offset = 0; offset < index.text.size(); offset = NextRecord(index, offset))
    offsets.push_back(offset);
  std::vector<uint32_t> word_of_entry(index.entries, kNoRecord);
  if (EntriesAreWords(index)) {
    for (uint32_t i = 0; i < index.entries; ++i) word_of_entry[i] = i;
  } else {
    uint32_t word = 0;
    for (size_t i = 0; i < index.entries; ++i)
      if (IsFirst(index, i)) word_of_entry[i] = word++;
    for (size_t group = 0; group < index.repeat_words.size(); ++group) {
      for (uint32_t r = index.repeat_begin[group]; r < index.repeat_begin[group + 1]; ++r)
        word_of_entry[index.repeat_entries[r]] = index.repeat_words[group];
    }
  }
  Text().swap(list.pool);  // assigning an empty string would keep the buffer
  list.starts.assign(1, 0);
  for (const uint32_t word : word_of_entry) {
    if (word != kNoRecord) list.pool += RecordText(index, offsets[word]);
    list.starts.push_back(static_cast<uint32_t>(list.pool.size()));
  }
}

void AppendWord(WordList& list, TextView word) {
  ReopenWordList(list);
  // Offsets are 32-bit; a pool of four billion units is far beyond any real
  // word file, and a word that would overflow it is not kept.
  if (list.pool.size() + word.size() > std::numeric_limits<uint32_t>::max()) return;
  if (list.starts.empty()) list.starts.push_back(0);
  list.pool.append(word);
  list.starts.push_back(static_cast<uint32_t>(list.pool.size()));
}

size_t WordCount(const WordList& list) {
  if (list.index) return list.index->entries;
  return list.starts.empty() ? 0 : list.starts.size() - 1;
}

Text WordAt(const WordList& list, size_t entry) {
  if (!list.index) return Text(LoadingEntry(list, entry));
  const WordIndex& index = *list.index;
  const uint32_t word = WordOfEntry(index, entry);
  return word == kNoRecord ? Text() : RecordText(index, OffsetOfWord(index, word));
}

void FinishWordList(WordList& list) {
  if (list.index) return;
  auto index = std::make_shared<WordIndex>();
  const size_t entries = WordCount(list);
  index->entries = entries;
  size_t non_empty = 0;
  for (size_t i = 0; i < entries; ++i) non_empty += list.starts[i + 1] != list.starts[i];

  index->tags.assign(SlotCountFor(non_empty), 0);
  index->offsets.assign(index->tags.size(), 0);
  index->text.reserve(list.pool.size() + non_empty);
  // The word of each used slot, while building.
  std::vector<uint32_t> slot_word(index->tags.size(), 0);
  std::vector<uint64_t> is_first((entries + 63) / 64, 0);
  std::vector<std::pair<uint32_t, uint32_t>> repeats;  // (word, entry), in entry order
  std::vector<uint64_t> words_of_length;
  // Entries are hashed a batch at a time and their slots prefetched
  // together, so the table's cache misses overlap.
  constexpr size_t kBatch = 16;
  uint64_t hashes[kBatch];
  for (size_t batch = 0; batch < entries; batch += kBatch) {
    const size_t end = std::min(entries, batch + kBatch);
    for (size_t i = batch; i < end; ++i) {
      hashes[i - batch] = HashOf(LoadingEntry(list, i));
      const size_t slot = SlotOf(*index, hashes[i - batch]);
      Prefetch(&index->tags[slot]);
      Prefetch(&index->offsets[slot]);
      Prefetch(&slot_word[slot]);
    }
    for (size_t i = batch; i < end; ++i) {
      const TextView word = LoadingEntry(list, i);
      if (word.empty()) continue;
      const uint64_t mixed = hashes[i - batch];
      const size_t slot = FindSlot(*index, mixed, word);
      if (index->tags[slot] != 0) {
        repeats.emplace_back(slot_word[slot], static_cast<uint32_t>(i));
        continue;
      }
      // Record offsets are 32-bit: words past four billion bytes of distinct
      // text (far beyond any real list) are left out.
      if (index->text.size() + 3 * word.size() + 8 > UINT32_MAX) continue;
      const auto offset = static_cast<uint32_t>(index->text.size());
      if (index->words % kDenseSampleStep == 0) index->word_samples.push_back(offset);
      AppendRecord(index->text, word);
      InsertAt(*index, slot, mixed, offset);
      slot_word[slot] = index->words++;
      is_first[i / 64] |= uint64_t{1} << (i % 64);
      if (words_of_length.size() <= word.size()) words_of_length.resize(word.size() + 1, 0);
      ++words_of_length[word.size()];
    }
  }
  index->has_length.assign(words_of_length.size(), false);
  for (size_t length = 0; length < words_of_length.size(); ++length)
    index->has_length[length] = words_of_length[length] > 0;
  slot_word = std::vector<uint32_t>();
  // The loading copy goes before the rest is built, to keep the peak low.
  Text().swap(list.pool);  // assigning an empty string would keep the buffer
  list.starts = std::vector<uint32_t>();

  // A list with many repeats gets a table sized for its distinct words.
  if (SlotCountFor(index->words) < index->tags.size() / 2) {
    index->tags.assign(SlotCountFor(index->words), 0);
    index->offsets.assign(index->tags.size(), 0);
    for (uint32_t offset = 0; offset < index->text.size(); offset = NextRecord(*index, offset)) {
      const Text word = RecordText(*index, offset);
      const uint64_t mixed = HashOf(word);
      InsertAt(*index, FindSlot(*index, mixed, word), mixed, offset);
    }
  }
  index->tags.shrink_to_fit();
  index->offsets.shrink_to_fit();
  if (index->text.capacity() > index->text.size() + index->text.size() / 8)
    index->text.shrink_to_fit();
  index->sample_step = kDenseSampleStep;
  if (!repeats.empty() || non_empty != entries) {
    IndexEntries(*index, std::move(is_first), std::move(repeats));
  } else {
    // Entry i is word i: words are numbered by offset only for WordAt.
    std::vector<uint32_t> sparse;
    for (size_t k = 0; k < index->word_samples.size(); k += kSparseSampleStep / kDenseSampleStep)
      sparse.push_back(index->word_samples[k]);
    index->word_samples = std::move(sparse);
    index->sample_step = kSparseSampleStep;
  }
  index->word_samples.shrink_to_fit();
  FillPrefixBits(*index, words_of_length);
  list.index = std::move(index);
}

size_t WordListMemory(const WordList& list) {
  size_t bytes = list.pool.capacity() * sizeof(WChar) + list.starts.capacity() * sizeof(uint32_t);
  if (list.index) {
    const WordIndex& x = *list.index;
    bytes += sizeof(WordIndex) + x.text.capacity() + x.tags.capacity() +
             x.offsets.capacity() * sizeof(uint32_t) + x.has_length.capacity() / 8 +
             x.prefix_bits.capacity() * sizeof(uint64_t) +
             x.word_samples.capacity() * sizeof(uint32_t) +
             x.is_first.capacity() * sizeof(uint64_t) + x.first_rank.capacity() * sizeof(uint32_t) +
             (x.repeat_words.capacity() + x.repeat_begin.capacity() + x.repeat_entries.capacity()) *
                 sizeof(uint32_t);
  }
  return bytes;
}

Text ForbiddenWordSearch(const WordList& list, TextView text, TextView also, float threshold) {
  if (!list.index) {
    return PlainWalk(
        WordCount(list), [&list](size_t i) { return LoadingEntry(list, i); }, text, also,
        threshold);
  }
  const WordIndex& index = *list.index;
  if (text.empty() || index.words == 0) return Text();

  std::vector<uint32_t> found;
  CollectWords(index, text, nullptr, found);
  if (also != text && also.size() == text.size()) {
    std::vector<uint32_t> differs(also.size() + 1, static_cast<uint32_t>(also.size()));
    for (size_t i = also.size(); i-- > 0;)
      differs[i] = also[i] != text[i] ? static_cast<uint32_t>(i) : differs[i + 1];
    CollectWords(index, also, &differs, found);
  } else if (also != text) {
    CollectWords(index, also, nullptr, found);
  }
  if (found.empty()) return Text();
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());

  // Records lie in the order of the words' first entries.
  if (threshold <= 0) return RecordText(index, found.front());
  return ScoreInListOrder(index, found, text.size(), threshold);
}

Text ForbiddenWordSearch(const std::vector<Text>& list, TextView text, TextView also,
                         float threshold) {
  return PlainWalk(
      list.size(), [&list](size_t i) { return TextView(list[i]); }, text, also, threshold);
}

}  // namespace zefa

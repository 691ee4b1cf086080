#include "rules/forbidden_words.h"

#include <algorithm>
#include <limits>

namespace zefa {

// Aho-Corasick automaton over UTF-16 code units, stored as flat arrays.
// Nodes are numbered in breadth-first order with the children of a node
// contiguous and sorted by label, so the children of node n are the nodes
// [nodes[n].first_child, nodes[n + 1].first_child) and a transition is a
// binary search over their labels. Node 0 is the root; node `node_count` is a
// sentinel that closes the last node's ranges.
struct WordAutomaton {
  struct Node {
    uint32_t first_child = 0;
    uint32_t fail = 0;         // longest proper suffix that is also a trie node
    uint32_t dictionary = 0;   // nearest terminal node on the failure chain; 0 = none
    uint32_t first_entry = 0;  // entries spelling this node: [first_entry, next node's)
  };
  std::vector<Node> nodes;        // node_count + 1
  std::vector<WChar> labels;      // label of the edge into each node (root: unused)
  std::vector<uint32_t> entries;  // list indices, ascending per terminal node
};

namespace {

using Automaton = WordAutomaton;

uint32_t NodeCount(const Automaton& a) { return static_cast<uint32_t>(a.nodes.size() - 1); }

bool IsTerminal(const Automaton& a, uint32_t node) {
  return a.nodes[node + 1].first_entry > a.nodes[node].first_entry;
}

// Child of `node` labelled `c`, or 0 when there is none.
uint32_t Child(const Automaton& a, uint32_t node, WChar c) {
  uint32_t lo = a.nodes[node].first_child;
  uint32_t hi = a.nodes[node + 1].first_child;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const WChar m = a.labels[mid];
    if (m == c) return mid;
    if (m < c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return 0;
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

template <typename WordAtIndex>
Text PlainWalk(size_t count, WordAtIndex word_at, TextView text, float threshold) {
  float score = 0.0f;
  for (size_t i = 0; i < count; ++i) {
    const TextView word = word_at(i);
    if (word.empty() || text.find(word) == TextView::npos) continue;
    if (ScoreFoundWord(score, word.size(), text.size(), threshold)) return Text(word);
  }
  return Text();
}

struct Range {
  uint32_t begin;
  uint32_t end;
};

// The distinct non-empty words in sorted order, packed back to back, each
// with the ascending run of list entries that spell it.
struct SortedWords {
  Text pool;
  std::vector<uint32_t> starts;  // word k is pool[starts[k], starts[k + 1])
  // Word k is spelled by the entries entries[first_entry[k], first_entry[k + 1]).
  std::vector<uint32_t> first_entry;
  std::vector<uint32_t> entries;

  size_t Count() const { return starts.size() - 1; }
  TextView Word(size_t k) const {
    return TextView(pool.data() + starts[k], starts[k + 1] - starts[k]);
  }
};

// The non-empty entries ordered by (word, index): a most-significant-unit
// radix sort. Each pass splits one run of entries that share a prefix by
// their next unit (words that end there first) with a stable counting sort;
// the entries of a run stay in index order, so ties need no comparison and
// reading their units walks the pool forward.
std::vector<uint32_t> SortEntries(const WordList& list, size_t& units) {
  std::vector<uint32_t> order;
  order.reserve(WordCount(list));
  units = 0;
  for (size_t i = 0; i < WordCount(list); ++i) {
    const size_t length = list.starts[i + 1] - list.starts[i];
    if (length == 0) continue;
    order.push_back(static_cast<uint32_t>(i));
    units += length;
  }
  struct Run {
    uint32_t begin;
    uint32_t end;
    uint32_t depth;
  };
  constexpr uint32_t kEnded = 0;             // sort key of a word that ends at the depth
  std::vector<uint32_t> keys(order.size());  // per position: unit + 1, or kEnded
  std::vector<uint32_t> scratch(order.size());
  std::vector<uint32_t> slot(0x10000 + 1, 0);  // per key: count, then next free position
  std::vector<uint32_t> present;               // keys seen in the current run
  std::vector<Run> pending;
  if (order.size() > 1) pending.push_back(Run{0, static_cast<uint32_t>(order.size()), 0});
  while (!pending.empty()) {
    const Run run = pending.back();
    pending.pop_back();
    present.clear();
    for (uint32_t i = run.begin; i < run.end; ++i) {
      const uint32_t entry = order[i];
      const uint32_t at = list.starts[entry] + run.depth;
      const uint32_t key =
          at < list.starts[entry + 1] ? uint32_t{static_cast<uint16_t>(list.pool[at])} + 1 : kEnded;
      keys[i] = key;
      if (slot[key]++ == 0) present.push_back(key);
    }
    std::sort(present.begin(), present.end());
    uint32_t position = run.begin;
    for (const uint32_t key : present) {
      const uint32_t count = slot[key];
      if (key != kEnded && count > 1)
        pending.push_back(Run{position, position + count, run.depth + 1});
      slot[key] = position;
      position += count;
    }
    for (uint32_t i = run.begin; i < run.end; ++i) scratch[slot[keys[i]]++] = order[i];
    std::copy(scratch.begin() + run.begin, scratch.begin() + run.end, order.begin() + run.begin);
    for (const uint32_t key : present) slot[key] = 0;
  }
  return order;
}

SortedWords SortWords(const WordList& list) {
  size_t units = 0;
  const std::vector<uint32_t> order = SortEntries(list, units);

  SortedWords sorted;
  sorted.pool.reserve(units);
  sorted.starts.reserve(order.size() + 1);
  sorted.first_entry.reserve(order.size() + 1);
  sorted.entries.reserve(order.size());
  sorted.starts.push_back(0);
  TextView previous;
  for (const uint32_t entry : order) {
    const TextView word = WordAt(list, entry);
    if (sorted.entries.empty() || word != previous) {
      sorted.first_entry.push_back(static_cast<uint32_t>(sorted.entries.size()));
      sorted.pool.append(word);
      sorted.starts.push_back(static_cast<uint32_t>(sorted.pool.size()));
      previous = word;
    }
    sorted.entries.push_back(entry);
  }
  sorted.first_entry.push_back(static_cast<uint32_t>(sorted.entries.size()));
  return sorted;
}

// Builds the trie level by level from the sorted distinct words: at depth d
// every node owns the run of words that share its d-unit prefix; a word
// exactly d long ends there (it sorts first), the rest split by their unit at
// d into the node's children, which therefore come out contiguous and in
// label order.
void BuildTrie(const SortedWords& sorted, Automaton& a) {
  // Exact node count: one per distinct prefix.
  size_t node_count = 1;
  for (size_t k = 0; k < sorted.Count(); ++k) {
    const TextView word = sorted.Word(k);
    size_t common = 0;
    if (k > 0) {
      const TextView previous = sorted.Word(k - 1);
      const size_t limit = std::min(word.size(), previous.size());
      while (common < limit && word[common] == previous[common]) ++common;
    }
    node_count += word.size() - common;
  }
  a.nodes.assign(node_count + 1, Automaton::Node{});
  a.labels.assign(node_count, WChar{0});
  a.entries.clear();
  a.entries.reserve(sorted.entries.size());

  std::vector<Range> level{Range{0, static_cast<uint32_t>(sorted.Count())}};
  std::vector<Range> next_level;
  uint32_t node = 0;
  uint32_t next_id = 1;
  for (size_t depth = 0; !level.empty(); ++depth) {
    next_level.clear();
    for (const Range& r : level) {
      Automaton::Node& n = a.nodes[node];
      n.first_entry = static_cast<uint32_t>(a.entries.size());
      n.first_child = next_id;
      uint32_t k = r.begin;
      if (k < r.end && sorted.Word(k).size() == depth) {
        a.entries.insert(a.entries.end(), sorted.entries.begin() + sorted.first_entry[k],
                         sorted.entries.begin() + sorted.first_entry[k + 1]);
        ++k;
      }
      while (k < r.end) {
        const WChar c = sorted.pool[sorted.starts[k] + depth];
        uint32_t j = k + 1;
        while (j < r.end && sorted.pool[sorted.starts[j] + depth] == c) ++j;
        a.labels[next_id++] = c;
        next_level.push_back(Range{k, j});
        k = j;
      }
      ++node;
    }
    level.swap(next_level);
  }
  a.nodes[node].first_child = next_id;
  a.nodes[node].first_entry = static_cast<uint32_t>(a.entries.size());
}

// Failure and dictionary links in breadth-first order: a node's failure
// target is shallower, so it is always complete when the node is reached.
void LinkTrie(Automaton& a) {
  const uint32_t count = NodeCount(a);
  for (uint32_t parent = 0; parent < count; ++parent) {
    const uint32_t begin = a.nodes[parent].first_child;
    const uint32_t end = a.nodes[parent + 1].first_child;
    for (uint32_t child = begin; child < end; ++child) {
      uint32_t fail = 0;
      if (parent != 0) {
        const WChar c = a.labels[child];
        uint32_t state = a.nodes[parent].fail;
        for (;;) {
          const uint32_t next = Child(a, state, c);
          if (next != 0) {
            fail = next;
            break;
          }
          if (state == 0) break;
          state = a.nodes[state].fail;
        }
      }
      a.nodes[child].fail = fail;
      a.nodes[child].dictionary = IsTerminal(a, fail) ? fail : a.nodes[fail].dictionary;
    }
  }
}

}  // namespace

void ClearWordList(WordList& list) {
  list.pool = Text();
  list.starts = std::vector<uint32_t>();
  list.automaton.reset();
}

void AppendWord(WordList& list, TextView word) {
  // Offsets are 32-bit; a pool of four billion units is far beyond any real
  // word file, and a word that would overflow it is not kept.
  if (list.pool.size() + word.size() > std::numeric_limits<uint32_t>::max()) return;
  if (list.starts.empty()) list.starts.push_back(0);
  list.pool.append(word);
  list.starts.push_back(static_cast<uint32_t>(list.pool.size()));
  list.automaton.reset();
}

size_t WordCount(const WordList& list) { return list.starts.empty() ? 0 : list.starts.size() - 1; }

TextView WordAt(const WordList& list, size_t index) {
  const uint32_t begin = list.starts[index];
  return TextView(list.pool.data() + begin, list.starts[index + 1] - begin);
}

void FinishWordList(WordList& list) {
  auto automaton = std::make_shared<Automaton>();
  BuildTrie(SortWords(list), *automaton);
  LinkTrie(*automaton);
  list.pool.shrink_to_fit();
  list.starts.shrink_to_fit();
  list.automaton = std::move(automaton);
}

size_t WordListMemory(const WordList& list) {
  size_t bytes = list.pool.capacity() * sizeof(WChar) + list.starts.capacity() * sizeof(uint32_t);
  if (list.automaton) {
    const Automaton& a = *list.automaton;
    bytes += sizeof(Automaton) + a.nodes.capacity() * sizeof(Automaton::Node) +
             a.labels.capacity() * sizeof(WChar) + a.entries.capacity() * sizeof(uint32_t);
  }
  return bytes;
}

Text ForbiddenWordSearch(const WordList& list, TextView text, float threshold) {
  if (!list.automaton) {
    return PlainWalk(
        WordCount(list), [&list](size_t i) { return WordAt(list, i); }, text, threshold);
  }
  const Automaton& a = *list.automaton;

  // Every terminal node reached while scanning: each one stands for the
  // listed entries whose word occurs in the text.
  std::vector<uint32_t> found;
  uint32_t state = 0;
  for (const WChar c : text) {
    for (;;) {
      const uint32_t next = Child(a, state, c);
      if (next != 0) {
        state = next;
        break;
      }
      if (state == 0) break;
      state = a.nodes[state].fail;
    }
    for (uint32_t t = IsTerminal(a, state) ? state : a.nodes[state].dictionary; t != 0;
         t = a.nodes[t].dictionary) {
      found.push_back(t);
    }
  }
  if (found.empty()) return Text();
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());

  // Replay the occurring entries in list order, as the plain walk would.
  std::vector<uint32_t> occurring;
  for (const uint32_t t : found) {
    occurring.insert(occurring.end(), a.entries.begin() + a.nodes[t].first_entry,
                     a.entries.begin() + a.nodes[t + 1].first_entry);
  }
  if (threshold <= 0) {
    return Text(WordAt(list, *std::min_element(occurring.begin(), occurring.end())));
  }
  std::sort(occurring.begin(), occurring.end());
  float score = 0.0f;
  for (const uint32_t entry : occurring) {
    const TextView word = WordAt(list, entry);
    if (ScoreFoundWord(score, word.size(), text.size(), threshold)) return Text(word);
  }
  return Text();
}

Text ForbiddenWordSearch(const std::vector<Text>& list, TextView text, float threshold) {
  return PlainWalk(
      list.size(), [&list](size_t i) { return TextView(list[i]); }, text, threshold);
}

}  // namespace zefa

#include "tools/password_audit.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <unordered_map>

#include "breach/md4.h"
#include "platform/characters.h"
#include "platform/files.h"
#include "util/text_util.h"

namespace zefa::audit {

namespace {

uint64_t KeyOf(const NtHash& hash) { return store::KeyOfDigest(hash.data()); }

WChar FirstLetterUpper(WChar c) {
  // Basic Latin and Latin-1 letters; other scripts stay as written.
  if (c >= ZT('a') && c <= ZT('z')) return static_cast<WChar>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WChar>(c - 32);
  return c;
}

const std::vector<Text>& Endings() {
  static const std::vector<Text> endings = [] {
    std::vector<Text> list = {Text()};
    for (int i = 0; i <= 9; ++i) list.push_back(Utf8ToText(std::to_string(i)));
    for (int i = 0; i <= 99; ++i) {
      const char two[3] = {static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10), 0};
      list.push_back(Utf8ToText(two));
    }
    for (int year = 1950; year <= 2039; ++year) list.push_back(Utf8ToText(std::to_string(year)));
    list.push_back(ZT("!"));
    list.push_back(ZT("1!"));
    return list;
  }();
  return endings;
}

std::vector<Text> BaseForms(TextView word) {
  std::vector<Text> forms = {Text(word)};
  const Text lower = ToLower(word);
  if (lower != forms.front()) forms.push_back(lower);
  Text upper(word);
  if (!upper.empty()) upper[0] = FirstLetterUpper(upper[0]);
  if (std::find(forms.begin(), forms.end(), upper) == forms.end()) forms.push_back(upper);
  return forms;
}

// The accounts of one set by hash key, with a bit per key range in front
// so that most variants (hashes of no account) cost one cache line.
struct HashIndex {
  static constexpr int kFilterBits = 20;
  std::vector<uint64_t> filter = std::vector<uint64_t>((size_t{1} << kFilterBits) / 64);
  std::unordered_multimap<uint64_t, size_t> accounts;

  void Add(uint64_t key, size_t account) {
    const uint64_t bit = key >> (64 - kFilterBits);
    filter[bit / 64] |= uint64_t{1} << (bit % 64);
    accounts.emplace(key, account);
  }
  bool MayHold(uint64_t key) const {
    const uint64_t bit = key >> (64 - kFilterBits);
    return (filter[bit / 64] >> (bit % 64) & 1) != 0;
  }
};

// Calls `visit` with the NT hash of every variant of `word`. A variant
// shorter than 28 code units (nearly all) is hashed as one block laid out
// here: the base form's code units once, each ending after them.
template <typename Visit>
void ForEachVariantHash(TextView word, Visit&& visit) {
  constexpr size_t kBlockUnits = 27;  // 54 bytes: the padding and length still fit
  Text long_variant;
  uint32_t base_words[16];
  uint32_t words[16];
  for (const Text& base : BaseForms(word)) {
    std::memset(base_words, 0, sizeof base_words);
    const bool short_base = base.size() <= kBlockUnits;
    for (size_t k = 0; short_base && k < base.size(); ++k)
      base_words[k / 2] |= static_cast<uint32_t>(base[k]) << (16 * (k % 2));
    for (const Text& ending : Endings()) {
      NtHash hash;
      const size_t length = base.size() + ending.size();
      if (length <= kBlockUnits) {
        std::memcpy(words, base_words, sizeof words);
        size_t k = base.size();
        for (WChar c : ending) {
          words[k / 2] |= static_cast<uint32_t>(c) << (16 * (k % 2));
          ++k;
        }
        words[k / 2] |= 0x80u << (16 * (k % 2));
        words[14] = static_cast<uint32_t>(k * 16);
        store::Md4PaddedBlock(words, hash.data());
      } else {
        long_variant.assign(base);
        long_variant += ending;
        hash = NtHashOf(long_variant);
      }
      visit(hash);
    }
  }
  platform::SecureWipe(base_words, sizeof base_words);
  platform::SecureWipe(words, sizeof words);
  platform::SecureWipe(long_variant.data(), long_variant.size() * sizeof(WChar));
}

// Marks the accounts in `index` whose hash is a variant of `word`.
void MarkVariants(TextView word, const HashIndex& index, const std::vector<AuditAccount>& accounts,
                  std::atomic<bool>* listed) {
  ForEachVariantHash(word, [&](const NtHash& hash) {
    const uint64_t key = KeyOf(hash);
    if (!index.MayHold(key)) return;
    const auto [first, last] = index.accounts.equal_range(key);
    for (auto it = first; it != last; ++it) {
      if (accounts[it->second].nt_hash == hash) listed[it->second].store(true);
    }
  });
}

// Runs `job(i)` for i in [0, count) on `threads` threads.
void RunParallel(uint64_t count, unsigned threads, const std::function<void(uint64_t)>& job,
                 const AuditProgress& progress, std::atomic<uint64_t>& done, uint64_t total) {
  std::atomic<uint64_t> next{0};
  constexpr uint64_t kChunk = 256;
  auto worker = [&] {
    for (;;) {
      const uint64_t start = next.fetch_add(kChunk);
      if (start >= count) return;
      const uint64_t end = std::min(count, start + kChunk);
      for (uint64_t i = start; i < end; ++i) job(i);
      done.fetch_add(end - start);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < std::max(1u, threads); ++i) pool.emplace_back(worker);
  if (progress) {
    // The calling thread reports while it works.
    for (;;) {
      const uint64_t start = next.fetch_add(kChunk);
      if (start >= count) break;
      const uint64_t end = std::min(count, start + kChunk);
      for (uint64_t i = start; i < end; ++i) job(i);
      progress(done.fetch_add(end - start) + (end - start), total);
    }
  } else {
    worker();
  }
  for (std::thread& thread : pool) thread.join();
}

const char* Flag(bool value, bool json) {
  if (json) return value ? "true" : "false";
  return value ? "1" : "0";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

bool HasFinding(const AuditAccount& account) {
  return account.breached || account.empty || account.listed || account.shared_group != 0;
}

NtHash NtHashOf(TextView password) {
  NtHash hash{};
  // Text holds UTF-16 code units in the machine's (little-endian) order.
  store::Md4(reinterpret_cast<const unsigned char*>(password.data()),
             password.size() * sizeof(WChar), hash.data());
  return hash;
}

void WipeHashes(std::vector<AuditAccount>& accounts) {
  for (AuditAccount& account : accounts) platform::SecureWipe(account.nt_hash.data(), 16);
}

void FindEmpty(std::vector<AuditAccount>& accounts) {
  const NtHash empty = NtHashOf(TextView());
  for (AuditAccount& account : accounts)
    account.empty = account.has_nt_hash && account.nt_hash == empty;
}

void FindShared(std::vector<AuditAccount>& accounts) {
  const NtHash empty = NtHashOf(TextView());
  std::map<NtHash, std::vector<size_t>> by_hash;
  for (size_t i = 0; i < accounts.size(); ++i) {
    accounts[i].shared_group = 0;
    if (accounts[i].has_nt_hash && accounts[i].nt_hash != empty)
      by_hash[accounts[i].nt_hash].push_back(i);
  }
  std::vector<std::vector<size_t>> groups;
  for (auto& [hash, members] : by_hash) {
    if (members.size() > 1) groups.push_back(members);
  }
  std::sort(groups.begin(), groups.end(),
            [](const auto& a, const auto& b) { return a.front() < b.front(); });
  for (size_t g = 0; g < groups.size(); ++g) {
    for (size_t i : groups[g]) accounts[i].shared_group = static_cast<int64_t>(g + 1);
  }
  for (auto& entry : by_hash) platform::SecureWipe(const_cast<NtHash*>(&entry.first)->data(), 16);
}

bool FindBreached(std::vector<AuditAccount>& accounts, std::string& error) {
  // Looked up in key order, store by store: the blocks are then read in file
  // order, a window ahead is read in the background, and the pages behind are
  // let go, so a large domain reads its store nearly sequentially and keeps
  // only the window in memory.
  std::vector<size_t> order;
  for (size_t i = 0; i < accounts.size(); ++i) {
    accounts[i].breached = false;
    if (accounts[i].store != nullptr && accounts[i].has_nt_hash) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (accounts[a].store != accounts[b].store) return accounts[a].store < accounts[b].store;
    return KeyOf(accounts[a].nt_hash) < KeyOf(accounts[b].nt_hash);
  });
  constexpr size_t kWindow = 256;
  for (size_t start = 0; start < order.size();) {
    const store::PasswordStore& store = *accounts[order[start]].store;
    size_t end = start;
    while (end < order.size() && end - start < kWindow && accounts[order[end]].store == &store)
      ++end;
    const int64_t first = store::StoreBlockOfKey(store, KeyOf(accounts[order[start]].nt_hash));
    const int64_t last = store::StoreBlockOfKey(store, KeyOf(accounts[order[end - 1]].nt_hash));
    const uint64_t block_bytes = store.header.block_size;
    const bool dense = first >= 0 && static_cast<uint64_t>(last - first) <= 4 * (end - start);
    if (dense) {
      platform::AdviseMappedPages(store.file, store.header.data_offset + first * block_bytes,
                                  (last - first + 1) * block_bytes,
                                  platform::MappedPageAdvice::kWillNeed);
    }
    for (size_t n = start; n < end; ++n) {
      AuditAccount& account = accounts[order[n]];
      const store::StoreAnswer answer = store::StoreLookupKey(store, KeyOf(account.nt_hash));
      if (answer == store::StoreAnswer::kDamaged) {
        error = "the store " + TextToUtf8(store.path) +
                " is damaged (a block failed its check); check it with zefastore info";
        return false;
      }
      account.breached = answer == store::StoreAnswer::kFound;
    }
    if (first >= 0 && last > first) {
      // The last block may hold the next window's first key.
      platform::AdviseMappedPages(store.file, store.header.data_offset + first * block_bytes,
                                  (last - first) * block_bytes,
                                  platform::MappedPageAdvice::kDontNeed);
    }
    start = end;
  }
  return true;
}

std::vector<Text> ListedVariants(TextView word) {
  std::vector<Text> variants;
  for (const Text& base : BaseForms(word)) {
    for (const Text& ending : Endings()) variants.push_back(base + ending);
  }
  return variants;
}

void FindListed(std::vector<AuditAccount>& accounts, const std::vector<SetWords>& words_by_set,
                unsigned threads, const AuditProgress& progress) {
  const std::unique_ptr<std::atomic<bool>[]> listed(new std::atomic<bool>[accounts.size()]);
  for (size_t i = 0; i < accounts.size(); ++i) listed[i].store(false);
  std::map<int64_t, HashIndex> by_set;
  std::vector<size_t> named;
  for (size_t i = 0; i < accounts.size(); ++i) {
    const AuditAccount& account = accounts[i];
    if (account.set == 0 || !account.has_nt_hash) continue;
    by_set[account.set].Add(KeyOf(account.nt_hash), i);
    named.push_back(i);
  }
  uint64_t total = named.size();
  for (const auto& [set, index] : by_set) {
    if (set < 0 || static_cast<size_t>(set) >= words_by_set.size()) continue;
    const SetWords& words = words_by_set[static_cast<size_t>(set)];
    total += words.words.size() + (words.file ? WordCount(*words.file) : 0);
  }
  std::atomic<uint64_t> done{0};
  for (const auto& [set, index] : by_set) {
    if (set < 0 || static_cast<size_t>(set) >= words_by_set.size()) continue;
    const SetWords& words = words_by_set[static_cast<size_t>(set)];
    const uint64_t listed_words = words.words.size();
    const uint64_t file_words = words.file ? WordCount(*words.file) : 0;
    RunParallel(
        listed_words + file_words, threads,
        [&](uint64_t i) {
          // A word of the file is a copy (the list stores UTF-8): keep it.
          const Text word =
              i < listed_words ? words.words[i] : WordAt(*words.file, i - listed_words);
          if (!word.empty()) MarkVariants(word, index, accounts, listed.get());
        },
        progress, done, total);
  }
  RunParallel(
      named.size(), threads,
      [&](uint64_t n) {
        const size_t i = named[n];
        if (listed[i].load()) return;
        bool found = false;
        ForEachVariantHash(accounts[i].name, [&](const NtHash& hash) {
          found = found || hash == accounts[i].nt_hash;
        });
        if (found) listed[i].store(true);
      },
      progress, done, total);
  for (size_t i = 0; i < accounts.size(); ++i) accounts[i].listed = listed[i].load();
}

std::string CsvReport(const std::vector<AuditAccount>& accounts) {
  std::string out =
      "account,set,enabled,breached,empty,shared_group,listed,privileged,never_expires,"
      "not_required,reversible,lm_hash\n";
  for (const AuditAccount& a : accounts) {
    out += CsvField(TextToUtf8(a.name)) + "," + std::to_string(a.set) + "," +
           Flag(a.enabled, false) + "," + Flag(a.breached, false) + "," + Flag(a.empty, false) +
           "," + std::to_string(a.shared_group) + "," + Flag(a.listed, false) + "," +
           Flag(a.privileged, false) + "," + Flag(a.never_expires, false) + "," +
           Flag(a.not_required, false) + "," + Flag(a.reversible, false) + "," +
           Flag(a.lm_hash, false) + "\n";
  }
  return out;
}

std::string JsonReport(const std::vector<AuditAccount>& accounts) {
  std::string out = "[";
  for (size_t i = 0; i < accounts.size(); ++i) {
    const AuditAccount& a = accounts[i];
    out += i == 0 ? "\n" : ",\n";
    out += "  {\"account\": " + JsonString(TextToUtf8(a.name)) +
           ", \"set\": " + std::to_string(a.set) + ", \"enabled\": " + Flag(a.enabled, true) +
           ", \"breached\": " + Flag(a.breached, true) + ", \"empty\": " + Flag(a.empty, true) +
           ", \"shared_group\": " + std::to_string(a.shared_group) +
           ", \"listed\": " + Flag(a.listed, true) +
           ", \"privileged\": " + Flag(a.privileged, true) +
           ", \"never_expires\": " + Flag(a.never_expires, true) +
           ", \"not_required\": " + Flag(a.not_required, true) +
           ", \"reversible\": " + Flag(a.reversible, true) +
           ", \"lm_hash\": " + Flag(a.lm_hash, true) + "}";
  }
  return out + (accounts.empty() ? "]\n" : "\n]\n");
}

AuditCounts CountFindings(const std::vector<AuditAccount>& accounts) {
  AuditCounts counts;
  int64_t groups = 0;
  for (const AuditAccount& a : accounts) {
    ++counts.accounts;
    counts.breached += a.breached;
    counts.empty += a.empty;
    counts.listed += a.listed;
    counts.shared += a.shared_group != 0;
    groups = std::max(groups, a.shared_group);
    if (HasFinding(a)) {
      ++counts.with_findings;
      counts.privileged_with_findings += a.privileged;
    }
  }
  counts.shared_groups = static_cast<uint64_t>(groups);
  return counts;
}

Text AuditLogLine(const AuditCounts& c) {
  return Utf8ToText("Password audit: " + std::to_string(c.accounts) + " accounts, " +
                    std::to_string(c.breached) + " breached, " + std::to_string(c.shared) +
                    " shared, " + std::to_string(c.empty) + " empty, " + std::to_string(c.listed) +
                    " listed");
}

std::string SummaryText(const std::vector<AuditAccount>& accounts) {
  const AuditCounts c = CountFindings(accounts);
  std::string out = "Password audit: " + std::to_string(c.accounts) + " accounts read\n";
  out += "  breached  " + std::to_string(c.breached) + "\n";
  out += "  shared    " + std::to_string(c.shared) + " (" + std::to_string(c.shared_groups) +
         (c.shared_groups == 1 ? " group)\n" : " groups)\n");
  out += "  empty     " + std::to_string(c.empty) + "\n";
  out += "  listed    " + std::to_string(c.listed) + "\n";
  out += std::to_string(c.with_findings) + " accounts with findings, " +
         std::to_string(c.privileged_with_findings) + " of them privileged\n";
  std::vector<const AuditAccount*> found;
  for (const AuditAccount& a : accounts) {
    if (HasFinding(a)) found.push_back(&a);
  }
  std::stable_sort(found.begin(), found.end(), [](const AuditAccount* a, const AuditAccount* b) {
    if (a->privileged != b->privileged) return a->privileged;
    return ToLower(a->name) < ToLower(b->name);
  });
  if (!found.empty()) out += "\n";
  for (const AuditAccount* a : found) {
    std::string line = "  " + TextToUtf8(a->name);
    line += a->set == 0 ? "  (no set)" : "  (set " + std::to_string(a->set) + ")";
    if (a->privileged) line += "  PRIVILEGED";
    if (a->breached) line += "  breached";
    if (a->empty) line += "  empty";
    if (a->shared_group != 0) line += "  shared #" + std::to_string(a->shared_group);
    if (a->listed) line += "  listed";
    if (!a->enabled) line += "  (disabled)";
    out += line + "\n";
  }
  return out;
}

std::vector<size_t> AccountsToRequireChange(const std::vector<AuditAccount>& accounts,
                                            const std::vector<Text>& except,
                                            bool include_privileged) {
  std::vector<Text> excepted;
  for (const Text& name : except) excepted.push_back(ToLower(name));
  std::vector<size_t> chosen;
  for (size_t i = 0; i < accounts.size(); ++i) {
    const AuditAccount& a = accounts[i];
    if (!HasFinding(a) || (a.privileged && !include_privileged)) continue;
    if (std::find(excepted.begin(), excepted.end(), ToLower(a.name)) != excepted.end()) continue;
    chosen.push_back(i);
  }
  return chosen;
}

}  // namespace zefa::audit

#include "breach/pwned_store.h"

#include "policy/store_path.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "breach/pwned_lookup.h"
#include "logging/log.h"
#include "platform/files.h"

namespace zefa {

namespace {

struct OpenStore {
  PwnedStoreState state;
  std::shared_ptr<std::atomic<bool>> damage_reported = std::make_shared<std::atomic<bool>>(false);
};

struct StoreTable {
  std::mutex lock;
  std::map<Text, OpenStore> stores;  // by PwnedStore value
};

StoreTable& Table() {
  static StoreTable* table = new StoreTable;  // outlives every thread
  return *table;
}

Text Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
  return AsciiToText(digits);
}

}  // namespace

void OpenPwnedStores(const std::vector<Text>& configured, const Text& words_folder) {
  std::map<Text, OpenStore> fresh;
  for (const Text& value : configured) {
    if (value.empty() || fresh.count(value) != 0) continue;
    OpenStore& entry = fresh[value];
    entry.state.path = PwnedStorePath(value, words_folder);
    if (entry.state.path.empty()) {
      entry.state.problem = "not an absolute path nor a file name in the words folder";
    } else {
      entry.state.store = store::OpenStore(entry.state.path, entry.state.problem);
    }
    if (!entry.state.store) {
      LogWarning(ZT("PwnedStore ") + (entry.state.path.empty() ? value : entry.state.path) +
                 ZT(" unusable: ") + Utf8ToText(entry.state.problem));
    }
  }
  StoreTable& table = Table();
  std::map<Text, OpenStore> old;
  {
    std::lock_guard<std::mutex> guard(table.lock);
    old.swap(table.stores);
    table.stores.swap(fresh);
  }
  // `old` is released here, outside the lock; a lookup still reading one
  // of its stores keeps it mapped until it is done.
}

void ClosePwnedStores() {
  StoreTable& table = Table();
  std::map<Text, OpenStore> old;
  std::lock_guard<std::mutex> guard(table.lock);
  old.swap(table.stores);
}

PwnedStoreState CurrentPwnedStore(const Text& configured) {
  StoreTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = table.stores.find(configured);
  if (found == table.stores.end()) {
    PwnedStoreState missing;
    missing.problem = "not opened at the last policy load";
    return missing;
  }
  return found->second.state;
}

Text PwnedStoreLookup(const Text& configured, const Text& password) {
  store::StoreHandle handle;
  std::shared_ptr<std::atomic<bool>> damage_reported;
  Text path;
  {
    StoreTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.stores.find(configured);
    if (found == table.stores.end() || !found->second.state.store) return kPwnedStoreUnavailable;
    handle = found->second.state.store;
    damage_reported = found->second.damage_reported;
    path = found->second.state.path;
  }
  const store::StoreAnswer answer = store::StoreLookupPassword(*handle, password);
  if (answer == store::StoreAnswer::kFound) return kPwnedFound;
  if (answer == store::StoreAnswer::kNotFound) return kPwnedNotFound;
  if (!damage_reported->exchange(true))
    LogWarning(ZT("PwnedStore ") + path + ZT(" unusable: a block is damaged"));
  return kPwnedStoreUnavailable;
}

Text PwnedStoreDescription(const Text& configured) {
  const PwnedStoreState state = CurrentPwnedStore(configured);
  const Text path = state.path.empty() ? configured : state.path;
  if (!state.store)
    return ZT("PwnedCheck store: ") + path + ZT(" (unusable: ") + Utf8ToText(state.problem) +
           ZT(")");
  const store::StoreHeader& header = state.store->header;
  return ZT("PwnedCheck store: ") + path + ZT(" (") +
         AsciiToText(store::HashKindName(header.kind)) + ZT(", ") + Grouped(header.hash_count) +
         ZT(" hashes)");
}

}  // namespace zefa

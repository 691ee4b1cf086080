// The filter's use of offline breached-password stores (a policy set's
// PwnedStore value). Each policy load opens the stores the sets name, each
// distinct file once, and replaces the previous table; lookups take a
// reference to their store under the table's own short lock and then read
// the mapped file without any lock, so a load never waits for a lookup and
// a store replaced on disk is read from the next load on.
#pragma once

#include <string>
#include <vector>

#include "breach/store_reader.h"
#include "platform/text.h"
#include "policy/store_path.h"

namespace zefa {

// Outcome words of PwnedStoreLookup besides kPwnedFound and kPwnedNotFound.
inline constexpr const WChar* kPwnedStoreUnavailable = ZT("!! STORE UNAVAILABLE");

// Opens the stores named by `configured` (values of PwnedStore, empty ones
// ignored) and makes them the current table. Each store that cannot be used
// gets one Warning line ("PwnedStore <path> unusable: <reason>").
void OpenPwnedStores(const std::vector<Text>& configured, const Text& words_folder);

// Drops every open store (process detach, tests).
void ClosePwnedStores();

// What the current table holds for a PwnedStore value.
struct PwnedStoreState {
  Text path;                 // resolved file name
  store::StoreHandle store;  // null when unusable
  std::string problem;       // why it is unusable
};
PwnedStoreState CurrentPwnedStore(const Text& configured);

// Looks the password up in the store the value names: "FOUND", "NOT FOUND"
// or "!! STORE UNAVAILABLE" (not opened at the last load, or the block that
// would hold the password is damaged; the first damage after a load logs a
// Warning). Thread-safe.
Text PwnedStoreLookup(const Text& configured, const Text& password);

// One line for the test console: which store a lookup used.
Text PwnedStoreDescription(const Text& configured);

}  // namespace zefa

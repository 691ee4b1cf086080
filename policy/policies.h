// The loaded policy configuration: eight sets, the global settings and the
// shared cache of forbidden-word files, all guarded by one lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/text.h"
#include "policy/policy_set.h"
#include "words/forbidden_words.h"

namespace zefa {

// Registry root of the policy sets (subkeys "1" to "8").
inline const WChar* const kPolicyRootKey = ZT("HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora");

struct ForbiddenFileEntry {
  Text FileName;
  int64_t FileDate = 0;  // local date value of the file when it was loaded
  int64_t FileSize = -1;  // its size in bytes then
  // Never changed once built: a reload builds a new list and swaps it in, so
  // a check can keep searching the list it took.
  std::shared_ptr<const WordList> Words;
};

using ForbiddenFileCacheMap = std::map<Text, ForbiddenFileEntry>;

struct PolicyState {
  std::vector<PolicySet> Sets;  // Index order 1..8 after a load
  GlobalSettings Globals;
  ForbiddenFileCacheMap ForbiddenFileCache;  // by ForbiddenFile, case-sensitive
  // The root key's last-write time at the last load, at full precision
  // (KeyLastWriteTicks); any difference from the stored one reloads.
  int64_t PolicyStamp = 0;
};

// PolicyLock and the state it guards. Hold the lock for every access.
std::mutex& PolicyLock();
PolicyState& Policies();

// Reloads everything when the root key's last-write time differs from the
// one of the last load. 1 when reloaded, 0 when nothing changed. A key that
// exists but cannot be read, and a list value with an empty entry, each
// leave one Warning line per load. The values and word files are read and
// the word lists built without PolicyLock: checks meanwhile keep the previous
// sets and lists, and the new ones are swapped in at the end under the lock.
// One load runs at a time. `before_publish`, when given, runs after the new
// sets are read and before they are swapped in, outside PolicyLock: the
// owners of state that follows the sets (the breached-password stores, the
// rules' warnings) bring it up to date there, so checks never see new sets
// with old companions.
using BeforePublishFunction =
    std::function<void(const std::vector<PolicySet>& sets, const Text& words_folder)>;
int LoadPolicies(const BeforePublishFunction& before_publish = {});

// Fills `globals` from a key; DisableInactiveAccounts only when present.
// Also sets the log level from the value "LogLevel" (0 when absent).
void ReadGlobalSettings(const Text& key_path, GlobalSettings& globals);

// Fills a zero-initialised set from its key. `words_folder` empty means the
// forbidden-word file is not read; otherwise the file's entry in `cache` is
// brought up to date (a changed file gets a newly built list).
void ReadPolicySet(const Text& key_path, PolicySet& set, int64_t set_number,
                   const Text& words_folder, ForbiddenFileCacheMap& cache);

// For the tests of the load: while set, `hook` runs just before a changed
// forbidden-word file is read (so a test can hold the load there). Pass an
// empty function to remove it.
void SetWordFileReadHookForTesting(std::function<void(const Text& path)> hook);

// Forgets every set, the stamp and the file cache (library unload, tests).
void ResetPolicies();

}  // namespace zefa

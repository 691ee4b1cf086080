// The loaded policy configuration: eight sets, the global settings and the
// shared cache of forbidden-word files, as one value that never changes once
// published. A load builds a new value and swaps it in; a check takes the
// current value once and reads everything from it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/text.h"
#include "policy/policy_set.h"
#include "words/forbidden_words.h"

namespace zefa {

// Registry root of the policy sets (subkeys "1" to "8").
inline const WChar* const kPolicyRootKey = ZT("HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora");

struct ForbiddenFileEntry {
  Text FileName;
  int64_t FileDate = 0;   // local date value of the file when it was loaded
  int64_t FileSize = -1;  // its size in bytes then
  // Never changed once built: a reload builds a new list and swaps it in, so
  // a check can keep searching the list it took.
  std::shared_ptr<const WordList> Words;
};

using ForbiddenFileCacheMap = std::map<Text, ForbiddenFileEntry>;

// A file the loaded sets name (a ForbiddenFile or a PwnedStore), as it was
// at the load: a later difference in date or size reloads the sets.
struct WatchedFile {
  Text Path;
  int64_t Date = 0;   // local date value; 0 when the file was missing
  int64_t Size = -1;  // bytes; -1 when missing
};

// What the log last said about a forbidden-word file.
enum class WordFileState { kReadable, kMissing, kUnreadable };

struct PolicyState {
  std::vector<PolicySet> Sets;  // Index order 1..8 after a load
  GlobalSettings Globals;
  ForbiddenFileCacheMap ForbiddenFileCache;  // by ForbiddenFile, case-sensitive
  // The root key's last-write time at the last load, at full precision
  // (KeyLastWriteTicks); any difference from the stored one reloads.
  int64_t PolicyStamp = 0;
  std::vector<WatchedFile> WatchedFiles;
  // By path; a file not listed was last seen readable (or never named).
  std::map<Text, WordFileState> ReportedWordFiles;
  // A number of its own for each published load (never 0 once published):
  // what was reported once per load is reported again for a new number.
  uint64_t Generation = 0;
};

// A published configuration; it stays valid and unchanged while held.
using PolicySnapshot = std::shared_ptr<const PolicyState>;

// The configuration the last load published (an empty one before the first
// load); never null. Only the pointer is copied (under a lock held for that
// copy alone), so it never waits for a load. A check takes it once and uses
// it throughout, so it sees one load's sets, globals and word lists.
PolicySnapshot CurrentPolicies();

// Publishes `state`, with a new Generation, as the configuration that every
// later CurrentPolicies gives. Checks holding an earlier one keep it. The
// loads publish through it; tests use it to set a configuration directly.
void PublishPolicies(PolicyState state);

// Makes the next LoadPolicies rebuild even when the root key's stamp has not
// moved on (a change made inside a set's subkey only). Waits for a running
// load; the published sets stay as they are.
void ForcePolicyReload();

// The word list built from the set's ForbiddenFile in `policies`; nullptr
// when the set names no file or the file was not loaded. Valid while
// `policies` is held.
const WordList* ForbiddenFileWords(const PolicyState& policies, const PolicySet& set);

// Reloads everything when the root key's last-write time differs from the
// one of the last load, or when a word file or store that an enabled set
// names changed its date or size, appeared or went away since (so an edited
// list is enforced at the next maintenance step, as zefatest, which loads
// afresh, already shows it). 1 when reloaded, 0 when nothing changed. A
// forbidden-word file that is missing or cannot be read leaves one Warning
// naming it when it becomes so, and one Info line when it is back. A key that
// exists but cannot be read, and a list value with an empty entry, each
// leave one Warning line per load. The values and word files are read and
// the word lists built while checks keep the previous configuration; the new
// one is published at the end in one swap (PublishPolicies). One load runs
// at a time. `before_publish`, when given, runs after the new sets are read
// and before they are published: the
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

// Publishes an empty configuration: every set, the stamp and the file cache
// are forgotten (library unload, tests).
void ResetPolicies();

}  // namespace zefa

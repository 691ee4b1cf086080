#include <atomic>
#include <map>
#include <mutex>

#include "logging/log.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "policy/normalise_list.h"
#include "policy/policies.h"
#include "policy/registry_values.h"
#include "policy/store_path.h"
#include "policy/text_to_integer.h"
#include "words/word_file.h"
#include "util/server_paths.h"
#include "util/text_util.h"

namespace zefa {

namespace {

// While a load runs, the values of each key it reads, taken with one read of
// the key: a set has some forty values, and each single read would read and
// parse the key's whole record again (a long word list in it made a load
// take seconds). Only the loading thread uses it.
thread_local std::map<Text, std::map<Text, Text>>* load_snapshot = nullptr;

Text ReadPolicyValue(const Text& key_path, const WChar* name) {
  if (load_snapshot == nullptr) return ReadRegistryValue(key_path, name, 0);
  auto key = load_snapshot->find(key_path);
  if (key == load_snapshot->end())
    key = load_snapshot->emplace(key_path, ReadRegistryKeyValues(key_path, 0)).first;
  const auto value = key->second.find(ToLower(name));
  return value == key->second.end() ? Text() : value->second;
}

// Makes the loads of one scope read each key once.
class LoadSnapshotScope {
 public:
  LoadSnapshotScope() { load_snapshot = &values_; }
  ~LoadSnapshotScope() { load_snapshot = nullptr; }
  LoadSnapshotScope(const LoadSnapshotScope&) = delete;
  LoadSnapshotScope& operator=(const LoadSnapshotScope&) = delete;

 private:
  std::map<Text, std::map<Text, Text>> values_;
};

void ReadInteger(const Text& key_path, const WChar* name, int64_t& field) {
  const Text text = ReadPolicyValue(key_path, name);
  if (!text.empty()) field = TextToInteger(text);
}

void ReadText(const Text& key_path, const WChar* name, Text& field) {
  Text text = ReadPolicyValue(key_path, name);
  if (!text.empty()) field = std::move(text);
}

void Warn(const Text& message) { LogWarning(message); }

// A count or length below 0 would fail every password ("more than -1"): it
// is read as 0 (the rule is off), with a Warning.
void ReadCount(const Text& key_path, const WChar* name, int64_t& field) {
  ReadInteger(key_path, name, field);
  if (field >= 0) return;
  LogWarning(key_path + ZT(": ") + name + ZT(" is ") + IntegerToText(field) +
             ZT(", below 0; it is treated as 0 (rule off)"));
  field = 0;
}

// An empty entry would match every account, so it is dropped, and said so.
void ReadList(const Text& key_path, const WChar* name, bool drop_quotes, Text& field) {
  field = NormaliseList(ReadPolicyValue(key_path, name), drop_quotes);
  if (DropEmptyEntries(field)) {
    Warn(Text(name) + ZT(" in ") + key_path +
         ZT(" has an empty entry (an empty line, a leading line break or \"\"); empty entries "
            "match nothing"));
  }
}

void WarnWhenUnreadable(const Text& key_path) {
  if (KeyState(key_path, 0) == platform::RegistryKeyState::kUnreadable) {
    Warn(ZT("The registry key ") + key_path +
         ZT(" exists but cannot be read (its stored record is damaged): its values count as "
            "absent until it is repaired"));
  }
}

std::function<void(const Text&)>& WordFileReadHook() {
  static std::function<void(const Text&)> hook;
  return hook;
}

// Brings the cache entry of a forbidden-word file up to date with the file.
void RefreshForbiddenFile(const Text& file_name, const Text& words_folder,
                          ForbiddenFileCacheMap& cache) {
  const Text path = JoinPath(words_folder, file_name);
  const int64_t file_date = platform::FileModifiedLocal(path);
  auto found = cache.find(file_name);
  // A FIFO or a device in the file's place would block the reader for
  // good; it is left out, with a Warning at every load until it is gone.
  std::string nothing;
  if (file_date != 0 &&
      platform::ReadRegularFile(path, 0, nothing) == platform::FileRead::kNotRegular) {
    Warn(ZT("ForbiddenFile ") + path + ZT(" is not a regular file; its words are not used"));
    if (found != cache.end()) cache.erase(found);
    return;
  }
  if (file_date == 0) {
    if (found != cache.end()) cache.erase(found);
    return;
  }
  // A copy that keeps an older date, or an edit within the same second,
  // still changes the date or the size.
  const int64_t file_size = platform::FileSize(path);
  if (found != cache.end() && found->second.FileDate == file_date &&
      found->second.FileSize == file_size) {
    return;
  }
  auto words = std::make_shared<WordList>();
  if (WordFileReadHook()) WordFileReadHook()(path);
  LoadWordFile(*words, path, false, true);
  FinishWordList(*words);
  ForbiddenFileEntry& entry = cache[file_name];
  entry.FileName = file_name;
  entry.Words = std::move(words);
  entry.FileDate = file_date;
  entry.FileSize = file_size;
}

WatchedFile CurrentFileState(const Text& path) {
  WatchedFile file;
  file.Path = path;
  file.Date = platform::FileModifiedLocal(path);
  file.Size = file.Date == 0 ? -1 : platform::FileSize(path);
  return file;
}

bool AnyFileChanged(const std::vector<WatchedFile>& files) {
  for (const WatchedFile& file : files) {
    const WatchedFile now = CurrentFileState(file.Path);
    if (now.Date != file.Date || now.Size != file.Size) return true;
  }
  return false;
}

// The word files and stores the enabled sets name: a word file as the list
// built from it was (its date and size before it was read, so that a change
// while it was read shows at the next look), a store as it is now.
std::vector<WatchedFile> FilesOfSets(const std::vector<PolicySet>& sets, const Text& words_folder,
                                     const ForbiddenFileCacheMap& cache) {
  std::vector<WatchedFile> files;
  auto known = [&](const Text& path) {
    for (const WatchedFile& file : files)
      if (file.Path == path) return true;
    return path.empty();
  };
  for (const PolicySet& set : sets) {
    if (set.Enabled == 0) continue;
    if (!set.ForbiddenFile.empty() && !words_folder.empty()) {
      WatchedFile file;
      file.Path = JoinPath(words_folder, set.ForbiddenFile);
      const auto loaded = cache.find(set.ForbiddenFile);
      if (loaded != cache.end()) {
        file.Date = loaded->second.FileDate;
        file.Size = loaded->second.FileSize;
      }
      if (!known(file.Path)) files.push_back(std::move(file));
    }
    if (set.PwnedEnabled == 0) continue;
    const Text store = PwnedStorePath(set.PwnedStore, words_folder);
    if (!known(store)) files.push_back(CurrentFileState(store));
  }
  return files;
}

// One line when a set's forbidden-word file goes missing or unreadable, and
// one when it is back; nothing while its state stays.
void ReportWordFiles(const std::vector<PolicySet>& sets, const Text& words_folder,
                     std::map<Text, WordFileState>& reported) {
  std::map<Text, WordFileState> now;
  for (const PolicySet& set : sets) {
    if (set.Enabled == 0 || set.ForbiddenFile.empty() || words_folder.empty()) continue;
    const Text path = JoinPath(words_folder, set.ForbiddenFile);
    if (now.count(path) != 0) continue;
    const platform::PathAccess access = platform::CheckPathAccess(path);
    const WordFileState state = access == platform::PathAccess::kReadable ? WordFileState::kReadable
                                : access == platform::PathAccess::kMissing
                                    ? WordFileState::kMissing
                                    : WordFileState::kUnreadable;
    now[path] = state;
    const auto before = reported.find(path);
    const WordFileState previous =
        before == reported.end() ? WordFileState::kReadable : before->second;
    if (state == previous) continue;
    const Text named = ZT("The forbidden-word file ") + path +
                       ZT(" (ForbiddenFile of policy set ") + IntegerToText(set.Index) + ZT(")");
    if (state == WordFileState::kMissing) {
      Warn(named + ZT(" does not exist: its words are not checked until it is there"));
    } else if (state == WordFileState::kUnreadable) {
      Warn(named + ZT(" cannot be read: its words are not checked until it can be"));
    } else
      LogInfo(named + ZT(" is readable again and is checked"));
  }
  reported.clear();
  for (const auto& [path, state] : now)
    if (state != WordFileState::kReadable) reported[path] = state;
}

// Serialises whole loads, so two loaders never build from the same snapshot.
std::mutex& LoadLock() {
  static std::mutex lock;
  return lock;
}

// The published configuration. Its lock is held only while the pointer is
// copied or replaced, never while a configuration is read or built, so no
// check ever waits for a load (a plain lock rather than an atomic pointer,
// which the thread checker cannot follow).
struct Published {
  std::mutex lock;
  PolicySnapshot current = std::make_shared<const PolicyState>();
};

Published& PublishedPolicies() {
  static Published published;
  return published;
}

void StoreSnapshot(PolicySnapshot snapshot) {
  Published& published = PublishedPolicies();
  {
    std::lock_guard<std::mutex> guard(published.lock);
    published.current.swap(snapshot);
  }
  // The previous configuration is released here (when no check holds it),
  // outside the lock.
}

uint64_t NextGeneration() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

}  // namespace

void SetWordFileReadHookForTesting(std::function<void(const Text& path)> hook) {
  WordFileReadHook() = std::move(hook);
}

PolicySnapshot CurrentPolicies() {
  Published& published = PublishedPolicies();
  std::lock_guard<std::mutex> guard(published.lock);
  return published.current;
}

void PublishPolicies(PolicyState state) {
  state.Generation = NextGeneration();
  StoreSnapshot(std::make_shared<const PolicyState>(std::move(state)));
}

void ForcePolicyReload() {
  std::lock_guard<std::mutex> one_load(LoadLock());
  PolicyState state = *CurrentPolicies();
  state.PolicyStamp = -1;
  // The same sets: what was reported once for this load stays reported.
  StoreSnapshot(std::make_shared<const PolicyState>(std::move(state)));
}

const WordList* ForbiddenFileWords(const PolicyState& policies, const PolicySet& set) {
  if (set.ForbiddenFile.empty()) return nullptr;
  const auto entry = policies.ForbiddenFileCache.find(set.ForbiddenFile);
  return entry == policies.ForbiddenFileCache.end() ? nullptr : entry->second.Words.get();
}

void ReadGlobalSettings(const Text& key_path, GlobalSettings& globals) {
  // The level first: it decides about the warnings of this load.
  const Text level = ReadPolicyValue(key_path, ZT("LogLevel"));
  SetLogLevel(level.empty() ? 0 : TextToInteger(level));
  ReadList(key_path, ZT("SkipUsers"), false, globals.SkipUsers);
  ReadList(key_path, ZT("SkipGroups"), false, globals.SkipGroups);
  ReadInteger(key_path, ZT("DisableInactiveAccounts"), globals.DisableInactiveAccounts);
  globals.UnknownAccountSet = 0;
  ReadInteger(key_path, ZT("UnknownAccountSet"), globals.UnknownAccountSet);
}

void ReadPolicySet(const Text& key_path, PolicySet& set, int64_t set_number,
                   const Text& words_folder, ForbiddenFileCacheMap& cache) {
  set.Index = set_number;
  ReadInteger(key_path, ZT("Enabled"), set.Enabled);
  if (set.Enabled == 0) return;
  ReadList(key_path, ZT("UserGroups"), true, set.UserGroups);
  ReadList(key_path, ZT("UserOus"), true, set.UserOus);
  ReadInteger(key_path, ZT("CreateIDP"), set.CreateIDP);
  ReadText(key_path, ZT("NotifyProgram"), set.NotifyProgram);
  if (!set.NotifyProgram.empty())
    ReadInteger(key_path, ZT("NotifyProgramBase64"), set.NotifyProgramBase64);
  ReadText(key_path, ZT("RulesText"), set.RulesText);
  ReadInteger(key_path, ZT("NoValidateOnReset"), set.NoValidateOnReset);
  ReadCount(key_path, ZT("MinLength"), set.MinLength);
  ReadCount(key_path, ZT("MaxLength"), set.MaxLength);
  ReadCount(key_path, ZT("LowerCase"), set.LowerCase);
  ReadCount(key_path, ZT("UpperCase"), set.UpperCase);
  ReadCount(key_path, ZT("Number"), set.Number);
  ReadCount(key_path, ZT("Special"), set.Special);
  ReadCount(key_path, ZT("CharCategories"), set.CharCategories);
  ReadCount(key_path, ZT("MaxRepeating"), set.MaxRepeating);
  ReadCount(key_path, ZT("MaxSequential"), set.MaxSequential);
  ReadInteger(key_path, ZT("NoSimilarity"), set.NoSimilarity);
  ReadInteger(key_path, ZT("NoName"), set.NoName);
  ReadInteger(key_path, ZT("NoObfuscation"), set.NoObfuscation);
  ReadInteger(key_path, ZT("NoSpace"), set.NoSpace);
  ReadInteger(key_path, ZT("NoVowel"), set.NoVowel);
  ReadText(key_path, ZT("AllowedChars"), set.AllowedChars);
  ReadText(key_path, ZT("ForbiddenChars"), set.ForbiddenChars);
  ReadText(key_path, ZT("ForbiddenStartChars"), set.ForbiddenStartChars);
  ReadCount(key_path, ZT("MinWords"), set.MinWords);
  ReadInteger(key_path, ZT("PwnedEnabled"), set.PwnedEnabled);
  ReadText(key_path, ZT("PwnedStore"), set.PwnedStore);
  if (!words_folder.empty()) {
    const Text file = ReadPolicyValue(key_path, ZT("ForbiddenFile"));
    if (!file.empty()) {
      set.ForbiddenActive = 1;
      set.ForbiddenFile = file;
      RefreshForbiddenFile(file, words_folder, cache);
    }
  }
  const Text forbidden = ReadPolicyValue(key_path, ZT("Forbidden"));
  if (!forbidden.empty()) {
    set.ForbiddenActive = 1;
    set.ForbiddenWords = SplitForbiddenWords(forbidden);
  }
  ReadCount(key_path, ZT("ForbiddenThreshold"), set.ForbiddenThreshold);
  ReadText(key_path, ZT("RegEx"), set.RegEx);
  ReadInteger(key_path, ZT("LockoutThreshold"), set.LockoutThreshold);
  ReadInteger(key_path, ZT("LockoutDurationMin"), set.LockoutDurationMin);
  ReadInteger(key_path, ZT("LockoutObservationWindowMin"), set.LockoutObservationWindowMin);
  ReadInteger(key_path, ZT("MaxPasswordAgeDays"), set.MaxPasswordAgeDays);
  ReadInteger(key_path, ZT("MinPasswordAgeDays"), set.MinPasswordAgeDays);
  ReadInteger(key_path, ZT("PasswordHistory"), set.PasswordHistory);
  ReadInteger(key_path, ZT("AuditOnly"), set.AuditOnly);
}

int LoadPolicies(const BeforePublishFunction& before_publish) {
  std::lock_guard<std::mutex> one_load(LoadLock());
  const Text root = kPolicyRootKey;
  const int64_t stamp = KeyLastWriteTicks(root, 0);
  // Only loads publish while this one runs, and they wait for it: the
  // configuration taken here is the one the new load replaces.
  const PolicySnapshot previous = CurrentPolicies();
  // The files are looked at without holding up any check (a share may
  // answer slowly).
  if (stamp == previous->PolicyStamp && !AnyFileChanged(previous->WatchedFiles)) return 0;
  PolicyState next;
  next.Globals = previous->Globals;  // DisableInactiveAccounts keeps its value when absent
  next.ForbiddenFileCache = previous->ForbiddenFileCache;
  next.ReportedWordFiles = previous->ReportedWordFiles;
  LoadSnapshotScope read_each_key_once;
  ReadGlobalSettings(root, next.Globals);
  WarnWhenUnreadable(root);
  const Text words_folder = CurrentServerPaths().WordsFolder;
  for (int64_t i = 1; i <= 8; ++i) {
    PolicySet set;
    const Text key_path = root + ZT("\\") + IntegerToText(i);
    WarnWhenUnreadable(key_path);
    ReadPolicySet(key_path, set, i, words_folder, next.ForbiddenFileCache);
    next.Sets.push_back(std::move(set));
  }
  if (before_publish) before_publish(next.Sets, words_folder);
  ReportWordFiles(next.Sets, words_folder, next.ReportedWordFiles);
  next.WatchedFiles = FilesOfSets(next.Sets, words_folder, next.ForbiddenFileCache);
  next.PolicyStamp = stamp;
  PublishPolicies(std::move(next));
  // The previous configuration is released when its last check lets it go.
  return 1;
}

void ResetPolicies() {
  std::lock_guard<std::mutex> one_load(LoadLock());
  PublishPolicies(PolicyState());
}

}  // namespace zefa

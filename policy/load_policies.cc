#include "logging/log.h"
#include "platform/platform.h"
#include "policy/normalise_list.h"
#include "policy/policies.h"
#include "policy/registry_values.h"
#include "policy/text_to_integer.h"
#include "policy/word_file.h"
#include "server/paths.h"
#include "util/text_util.h"

namespace zefa {

namespace {

Text ReadPolicyValue(const Text& key_path, const WChar* name) {
  return ReadRegistryValue(key_path, name, 0);
}

void ReadInteger(const Text& key_path, const WChar* name, int64_t& field) {
  const Text text = ReadPolicyValue(key_path, name);
  if (!text.empty()) field = TextToInteger(text);
}

void ReadText(const Text& key_path, const WChar* name, Text& field) {
  Text text = ReadPolicyValue(key_path, name);
  if (!text.empty()) field = std::move(text);
}

void ReadList(const Text& key_path, const WChar* name, bool drop_quotes, Text& field) {
  field = NormaliseList(ReadPolicyValue(key_path, name), drop_quotes);
}

// Brings the cache entry of a forbidden-word file up to date with the file.
void RefreshForbiddenFile(const Text& file_name, const Text& words_folder) {
  auto& cache = Policies().ForbiddenFileCache;
  const Text path = JoinPath(words_folder, file_name);
  const int64_t file_date = platform::FileModifiedLocal(path);
  auto found = cache.find(file_name);
  if (file_date == 0) {
    if (found != cache.end()) cache.erase(found);
    return;
  }
  if (found != cache.end() && found->second.FileDate >= file_date) return;
  ForbiddenFileEntry& entry = cache[file_name];
  entry.FileName = file_name;
  ClearWordList(entry.Words);
  LoadWordFile(entry.Words, path, false, true);
  FinishWordList(entry.Words);
  entry.FileDate = file_date;
}

}  // namespace

std::mutex& PolicyLock() {
  static std::mutex lock;
  return lock;
}

PolicyState& Policies() {
  static PolicyState state;
  return state;
}

void ReadGlobalSettings(const Text& key_path, GlobalSettings& globals) {
  ReadList(key_path, ZT("SkipUsers"), false, globals.SkipUsers);
  ReadList(key_path, ZT("SkipGroups"), false, globals.SkipGroups);
  ReadInteger(key_path, ZT("DisableInactiveAccounts"), globals.DisableInactiveAccounts);
  const Text level = ReadPolicyValue(key_path, ZT("LogLevel"));
  SetLogLevel(level.empty() ? 0 : TextToInteger(level));
}

void ReadPolicySet(const Text& key_path, PolicySet& set, int64_t set_number,
                   const Text& words_folder) {
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
  ReadInteger(key_path, ZT("MinLength"), set.MinLength);
  ReadInteger(key_path, ZT("MaxLength"), set.MaxLength);
  ReadInteger(key_path, ZT("LowerCase"), set.LowerCase);
  ReadInteger(key_path, ZT("UpperCase"), set.UpperCase);
  ReadInteger(key_path, ZT("Number"), set.Number);
  ReadInteger(key_path, ZT("Special"), set.Special);
  ReadInteger(key_path, ZT("CharCategories"), set.CharCategories);
  ReadInteger(key_path, ZT("MaxRepeating"), set.MaxRepeating);
  ReadInteger(key_path, ZT("MaxSequential"), set.MaxSequential);
  ReadInteger(key_path, ZT("NoSimilarity"), set.NoSimilarity);
  ReadInteger(key_path, ZT("NoName"), set.NoName);
  ReadInteger(key_path, ZT("NoObfuscation"), set.NoObfuscation);
  ReadInteger(key_path, ZT("NoSpace"), set.NoSpace);
  ReadInteger(key_path, ZT("NoVowel"), set.NoVowel);
  ReadText(key_path, ZT("AllowedChars"), set.AllowedChars);
  ReadText(key_path, ZT("ForbiddenChars"), set.ForbiddenChars);
  ReadText(key_path, ZT("ForbiddenStartChars"), set.ForbiddenStartChars);
  ReadInteger(key_path, ZT("MinWords"), set.MinWords);
  ReadInteger(key_path, ZT("PwnedEnabled"), set.PwnedEnabled);
  if (!words_folder.empty()) {
    const Text file = ReadPolicyValue(key_path, ZT("ForbiddenFile"));
    if (!file.empty()) {
      set.ForbiddenActive = 1;
      set.ForbiddenFile = file;
      RefreshForbiddenFile(file, words_folder);
    }
  }
  const Text forbidden = ReadPolicyValue(key_path, ZT("Forbidden"));
  if (!forbidden.empty()) {
    set.ForbiddenActive = 1;
    set.ForbiddenWords = SplitForbiddenWords(forbidden);
  }
  ReadInteger(key_path, ZT("ForbiddenThreshold"), set.ForbiddenThreshold);
  ReadText(key_path, ZT("RegEx"), set.RegEx);
  ReadInteger(key_path, ZT("LockoutThreshold"), set.LockoutThreshold);
  ReadInteger(key_path, ZT("LockoutDurationMin"), set.LockoutDurationMin);
  ReadInteger(key_path, ZT("LockoutObservationWindowMin"), set.LockoutObservationWindowMin);
  ReadInteger(key_path, ZT("MaxPasswordAgeDays"), set.MaxPasswordAgeDays);
  ReadInteger(key_path, ZT("MinPasswordAgeDays"), set.MinPasswordAgeDays);
  ReadInteger(key_path, ZT("PasswordHistory"), set.PasswordHistory);
  ReadInteger(key_path, ZT("AuditOnly"), set.AuditOnly);
}

int LoadPolicies() {
  std::lock_guard<std::mutex> guard(PolicyLock());
  PolicyState& state = Policies();
  const Text root = kPolicyRootKey;
  const int64_t stamp = KeyLastWriteTime(root, 0);
  if (stamp == state.PolicyStamp) return 0;
  state.PolicyStamp = stamp;
  state.Sets.clear();
  ReadGlobalSettings(root, state.Globals);
  const Text words_folder = CurrentServerPaths().WordsFolder;
  for (int64_t i = 1; i <= 8; ++i) {
    PolicySet set;
    ReadPolicySet(root + ZT("\\") + IntegerToText(i), set, i, words_folder);
    state.Sets.push_back(std::move(set));
  }
  return 1;
}

void ResetPolicies() {
  std::lock_guard<std::mutex> guard(PolicyLock());
  Policies() = PolicyState();
}

}  // namespace zefa

// The policy record: one numbered set of rules, and the values that apply to
// every set.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace zefa {

struct PolicySet {
  int64_t Index = 0;
  int64_t Enabled = 0;
  Text UserGroups;  // normalised list
  Text UserOus;     // normalised list
  int64_t CreateIDP = 0;
  Text NotifyProgram;
  int64_t NotifyProgramBase64 = 0;
  int64_t UpperCase = 0;
  int64_t LowerCase = 0;
  int64_t Number = 0;
  int64_t Special = 0;
  int64_t CharCategories = 0;
  int64_t MinLength = 0;
  int64_t MaxLength = 0;
  int64_t MaxRepeating = 0;
  int64_t MaxSequential = 0;
  int64_t NoSimilarity = 0;
  int64_t NoName = 0;
  int64_t NoSpace = 0;
  int64_t NoVowel = 0;
  Text AllowedChars;
  Text ForbiddenChars;
  Text ForbiddenStartChars;
  int64_t MinWords = 0;
  int64_t NoObfuscation = 0;
  Text RegEx;
  int64_t NoValidateOnReset = 0;
  int64_t ForbiddenActive = 0;
  Text ForbiddenFile;
  int64_t ForbiddenThreshold = 0;
  std::vector<Text> ForbiddenWords;
  int64_t PwnedEnabled = 0;
  Text PwnedStore;  // offline store for the breached check (empty: online)
  Text RulesText;
  int64_t LockoutThreshold = 0;
  int64_t LockoutDurationMin = 0;
  int64_t LockoutObservationWindowMin = 0;
  int64_t MaxPasswordAgeDays = 0;
  int64_t MinPasswordAgeDays = 0;
  int64_t PasswordHistory = 0;
  // 1: the set's checks run and are logged, but a failing password is accepted.
  int64_t AuditOnly = 0;
};

struct GlobalSettings {
  Text SkipUsers;   // normalised list
  Text SkipGroups;  // normalised list
  int64_t DisableInactiveAccounts = 0;
  // The set (1-8) that checks passwords of accounts the directory does not
  // know (yet): a new account gets its first password before it exists.
  // 0 = such passwords are accepted unchecked.
  int64_t UnknownAccountSet = 0;
};

}  // namespace zefa

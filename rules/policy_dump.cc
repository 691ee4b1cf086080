#include "rules/policy_dump.h"

#include "platform/system.h"

namespace zefa {

std::vector<Text> PolicyDumpLines(const PolicySet& s) {
  auto n = [](int64_t value) { return IntegerToText(value); };
  return {
      ZT("Applied Policy Settings:"),
      ZT("  Index: ") + n(s.Index),
      ZT("  Enabled: ") + n(s.Enabled),
      ZT("  CreateIDP: ") + n(s.CreateIDP),
      ZT("  NotifyProgram: ") + s.NotifyProgram,
      ZT("  NotifyProgramBase64: ") + n(s.NotifyProgramBase64),
      ZT("  UpperCase: ") + n(s.UpperCase),
      ZT("  LowerCase: ") + n(s.LowerCase),
      ZT("  Number: ") + n(s.Number),
      ZT("  Special: ") + n(s.Special),
      ZT("  CharCategories: ") + n(s.CharCategories),
      ZT("  MinLength: ") + n(s.MinLength),
      ZT("  MaxLength: ") + n(s.MaxLength),
      ZT("  MaxRepeating: ") + n(s.MaxRepeating),
      ZT("  MaxSequential: ") + n(s.MaxSequential),
      ZT("  NoSimilarity: ") + n(s.NoSimilarity),
      ZT("  NoName: ") + n(s.NoName),
      ZT("  NoSpace: ") + n(s.NoSpace),
      ZT("  NoVowel: ") + n(s.NoVowel),
      ZT("  AllowedChars: ") + s.AllowedChars,
      ZT("  ForbiddenChars: ") + s.ForbiddenChars,
      ZT("  ForbiddenStartChars: ") + s.ForbiddenStartChars,
      ZT("  MinWords: ") + n(s.MinWords),
      ZT("  NoObfuscation: ") + n(s.NoObfuscation),
      ZT("  RegEx: ") + s.RegEx,
      ZT("  NoValidateOnReset: ") + n(s.NoValidateOnReset),
      ZT("  Forbidden: ") + n(s.ForbiddenActive),
      ZT("  ForbiddenFile: ") + s.ForbiddenFile,
      ZT("  ForbiddenThreshold: ") + n(s.ForbiddenThreshold),
      ZT("  PwnedEnabled: ") + n(s.PwnedEnabled),
      ZT("  LockoutThreshold: ") + n(s.LockoutThreshold),
      ZT("  LockoutDurationMin: ") + n(s.LockoutDurationMin),
      ZT("  LockoutObservationWindowMin: ") + n(s.LockoutObservationWindowMin),
      ZT("  MaxPasswordAgeDays: ") + n(s.MaxPasswordAgeDays),
      ZT("  MinPasswordAgeDays: ") + n(s.MinPasswordAgeDays),
      ZT("  PasswordHistory: ") + n(s.PasswordHistory),
      ZT("  AuditOnly: ") + n(s.AuditOnly),
  };
}

void PrintPolicyDump(const PolicySet& set) {
  for (const Text& line : PolicyDumpLines(set)) platform::ConsoleWriteLine(line);
}

}  // namespace zefa

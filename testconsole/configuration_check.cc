#include "testconsole/configuration_check.h"

#include <map>

#include "breach/pwned_store.h"
#include "breach/store_reader.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "policy/policies.h"
#include "policy/registry_values.h"
#include "policy/text_to_integer.h"
#include "policy/value_catalogue.h"
#include "rules/regex_match.h"
#include "server/setup_and_upgrade.h"
#include "util/text_util.h"

namespace zefa {

namespace {

const Text kProblem = ZT("PROBLEM  ");

Text ShortKey(const Text& key_path) {
  Text shown = key_path;
  ReplaceAll(shown, ZT("HKEY_LOCAL_MACHINE\\"), ZT("HKLM\\"));
  return shown;
}

void CheckFileContent(const PolicyValue& known, const Text& key, const Text& text,
                      const Text& words_folder, std::vector<Text>& lines) {
  const Text where = ShortKey(key) + ZT(": ") + known.Name + ZT(" ");
  if (known.Content == ValueContent::kPattern) {
    const RegexResult compiled = MatchPattern(text, Text());
    if (compiled.Outcome == RegexOutcome::kNotCompiled) {
      lines.push_back(kProblem + where + ZT("\"") + text + ZT("\" does not compile (") +
                      Utf8ToText(compiled.Error) + ZT("); the rule is not applied"));
    }
  } else if (known.Content == ValueContent::kWordFile) {
    const Text path = JoinPath(words_folder, text);
    if (!platform::FileExists(path)) {
      lines.push_back(kProblem + where + ZT("names ") + path +
                      ZT(", which does not exist; its words are not checked"));
    } else if (!platform::ReadWholeFile(path)) {
      lines.push_back(kProblem + where + ZT("names ") + path +
                      ZT(", which cannot be read; its words are not checked"));
    }
  } else if (known.Content == ValueContent::kStore) {
    const Text path = PwnedStorePath(text, words_folder);
    std::string error = "the name leaves the words folder";
    if (path.empty() || !store::OpenStore(path, error)) {
      lines.push_back(kProblem + where + ZT("names ") + (path.empty() ? text : path) +
                      ZT(", which cannot be used (") + Utf8ToText(error) +
                      ZT("); breached passwords pass"));
    }
  }
}

void CheckKey(const Text& key, ValueScope scope, const Text& words_folder,
              std::vector<Text>& lines) {
  Text root, subkey;
  SplitKeyPath(key, root, subkey);
  if (KeyState(key, 0) == platform::RegistryKeyState::kUnreadable) {
    lines.push_back(kProblem + ShortKey(key) +
                    ZT(": the key's stored record is damaged; its values count as absent "
                       "(zefareg delete the key and write it again)"));
    return;
  }
  const std::map<Text, Text> texts = ReadRegistryKeyValues(key, 0);
  for (const platform::RegistryValue& value : platform::RegistryValues(root, subkey, 0)) {
    const Text where = ShortKey(key) + ZT(": ");
    const PolicyValue* known = FindPolicyValue(scope, value.name);
    if (known == nullptr) {
      const ValueScope other = scope == ValueScope::kRoot ? ValueScope::kSet : ValueScope::kRoot;
      if (FindPolicyValue(other, value.name) != nullptr) {
        lines.push_back(kProblem + where + value.name +
                        (scope == ValueScope::kRoot
                             ? Text(ZT(" belongs in a set key (1 to 8), not the root key"))
                             : Text(ZT(" belongs in the root key, not a set key"))));
      } else {
        lines.push_back(kProblem + where + ZT("unknown value ") + value.name +
                        ZT(" (did you mean ") + ClosestPolicyValueName(scope, value.name) +
                        ZT("?); the filter ignores it"));
      }
      continue;
    }
    const auto found = texts.find(ToLower(value.name));
    const Text text = found == texts.end() ? Text() : found->second;
    if (!TypeSuitsKind(known->Kind, value.type, text)) {
      lines.push_back(kProblem + where + known->Name + ZT(" should be ") +
                      Utf8ToText(KindTypeNames(known->Kind)) +
                      ZT("; this one is of another type or not a number, and reads as ") +
                      (known->Kind == ValueKind::kNumber || known->Kind == ValueKind::kSwitch
                           ? IntegerToText(TextToInteger(text))
                           : Text(ZT("\"") + text + ZT("\""))));
      continue;
    }
    if (known->Kind == ValueKind::kNumber || known->Kind == ValueKind::kSwitch) {
      const int64_t number = TextToInteger(text);
      if (number < known->Minimum || number > known->Maximum) {
        lines.push_back(kProblem + where + known->Name + ZT(" is ") + IntegerToText(number) +
                        ZT(", outside ") + IntegerToText(known->Minimum) + ZT(" to ") +
                        IntegerToText(known->Maximum));
      }
      continue;
    }
    if (!text.empty()) CheckFileContent(*known, key, text, words_folder, lines);
  }
}

}  // namespace

std::vector<Text> ConfigurationProblemLines(const Text& words_folder) {
  std::vector<Text> lines;
  const Text policy_key = kPolicyRootKey;
  Text root, subkey;
  SplitKeyPath(policy_key, root, subkey);
  CheckKey(policy_key, ValueScope::kRoot, words_folder, lines);
  for (const Text& name : platform::RegistrySubkeys(root, subkey, 0)) {
    const Text key = policy_key + ZT("\\") + name;
    const bool is_set = name.size() == 1 && name[0] >= '1' && name[0] <= '8';
    if (!is_set) {
      lines.push_back(kProblem + ShortKey(key) +
                      ZT(": not a policy set (sets are the keys 1 to 8); the filter ignores it"));
      continue;
    }
    CheckKey(key, ValueScope::kSet, words_folder, lines);
  }
  const Text release = ReadRegistryValue(kProductKey, kReleaseValue, 0);
  if (!release.empty() && release != kCurrentRelease) {
    lines.push_back(kProblem + ZT("the filter recorded release ") + release +
                    ZT(" on this machine, this console is ") + kCurrentRelease +
                    ZT(": restart the host (or the domain controller) after an upgrade"));
  }
  return lines;
}

}  // namespace zefa

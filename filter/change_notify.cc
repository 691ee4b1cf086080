#include "filter/change_notify.h"

#include "directory/lookup_user.h"
#include "filter/password_filter.h"
#include "policy/policy_selection.h"
#include "history/account_files.h"
#include "history/history_file.h"
#include "history/password_hash.h"
#include "logging/escape_controls.h"
#include "logging/log.h"
#include "platform/characters.h"
#include "platform/time.h"
#include "platform/files.h"
#include "platform/system.h"
#include "rules/similarity.h"
#include "util/server_paths.h"
#include "util/date_value.h"
#include "util/text_util.h"
#include "platform/events.h"

namespace zefa {

namespace {

Text Stamp() { return FormatDateValue(platform::LocalNow()); }

// A history entry or hand-off file that could not be written (a full disk,
// no access): a Warning in the log and event 12, so the loss is never
// silent (the event reaches the system log even when the log's own disk is
// full).
void ReportUnwritten(const Text& what, const Text& account, const Text& path) {
  const Text message = ZT("The ") + what + ZT(" of account ") + EscapeControlCharacters(account) +
                       ZT(" could not be written to ") + path +
                       ZT(" (disk full or no access); this change is not in it");
  LogWarning(message);
  WriteEvent(ZT("Clavora"), message, 12, platform::kEventError);
}

Text UnquotedProgram(const Text& program) {
  if (program.size() >= 2 && program.front() == ZT('"') && program.back() == ZT('"'))
    return program.substr(1, program.size() - 2);
  return program;
}

void StartNotifyProgram(const PolicySet& set, const Text& account, const Text& password,
                        const Text& computer) {
  // The password (or its Base64 form) is handed over as a secret: on POSIX
  // through the program's standard input, never on its command line.
  const bool base64 = set.NotifyProgramBase64 != 0;
  std::vector<Text> arguments;
  arguments.reserve(1);
  arguments.push_back(base64 ? Base64Text(account) : account);
  Text encoded = base64 ? Base64Text(password) : Text();
  const Text program = UnquotedProgram(set.NotifyProgram);
  const bool started = platform::StartProgramWithSecret(
      program, arguments, base64 ? encoded : password, NotifyProgramFolder(program));
  WipeText(encoded);
  for (Text& argument : arguments) WipeText(argument);
  if (started) return;
  const Text message = ZT("The configured program/script ") + set.NotifyProgram +
                       ZT(" did not launch on server ") + computer;
  LogWarning(message);
  WriteEvent(ZT("Clavora"), message, kEventActionFailed, platform::kEventError);
}

}  // namespace

Text NotifyProgramFolder(const Text& program) {
  const size_t last = program.find_last_of(ZT("\\/"));
  return last == Text::npos ? Text() : program.substr(0, last + 1);
}

void RunPasswordChangeNotify(const Text* account_name, const Text* new_password) {
  LogDebug(ZT("PasswordChangeNotify"));
  if (account_name == nullptr || new_password == nullptr) return;
  const Text& account = *account_name;
  UserRecord user;
  LookupUser(account, user);
  if (IsComputerAccount(account, user)) return;
  const PolicySnapshot policies = CurrentPolicies();
  const PolicySet* governing = PolicySelection(*policies, account, user.GroupNames, user.Container);
  const PolicySet no_set;
  const PolicySet& set = governing != nullptr ? *governing : no_set;
  const ServerPaths paths = CurrentServerPaths();

  Text password = *new_password;
  const Text history_path = AccountFilePath(paths.IdhFolder, account, ZT(".idh"));
  const Text identity = HistoryFieldText(account) + ZT("\t") +
                        HistoryFieldText(user.PrincipalName) + ZT("\t") +
                        HistoryFieldText(user.DisplayName);
  const Text message = ZT("Password of user ") + EscapeControlCharacters(account) +
                       ZT(" has been changed (") + EscapeControlCharacters(user.PrincipalName) +
                       ZT("; ") + EscapeControlCharacters(user.DisplayName) + ZT(")");
  Log(kLogLevelInfo, ZT("Password Changed"), message);
  WriteEvent(ZT("Clavora"), message, kEventPasswordChanged, platform::kEventInformation);

  if (history_path.empty()) {
    LogWarning(ZT("No history or hand-off file for account ") + EscapeControlCharacters(account) +
               ZT(": the history folder is not known yet"));
  }
  if (set.CreateIDP != 0 && !history_path.empty()) {
    Text idp_line = Stamp() + ZT("\t") + identity + ZT("\t") + password;
    std::string bytes = TextToUtf8(idp_line);
    const Text idp_path = AccountFilePath(paths.IdpFolder, account, ZT(".idp"));
    if (!idp_path.empty() && !platform::ReplaceFileAtomically(idp_path, bytes, true))
      ReportUnwritten(ZT("hand-off file"), account, idp_path);
    platform::SecureWipe(bytes.data(), bytes.size());
    WipeText(idp_line);
  }
  if (!history_path.empty()) {
    const Text salt = ReadHistorySalt(history_path);
    Text copy = password;
    const Text password_hash = HashPassword(password, kHistoryAlgorithm, kHistoryIterations, salt);
    const Text similarity_hash =
        HashPassword(SimilarityReduction(copy), kHistoryAlgorithm, kHistoryIterations, salt);
    if (PrependHistoryLine(
            history_path,
            Stamp() + ZT("\t") + identity + ZT("\t") + password_hash + ZT("\t") + similarity_hash,
            kHistoryLines) == 0)
      ReportUnwritten(ZT("password history"), account, history_path);
  }
  if (!set.NotifyProgram.empty()) {
    StartNotifyProgram(set, account, password,
                       paths.ComputerName.empty() ? platform::ComputerName() : paths.ComputerName);
  }
  WipeText(password);
}

}  // namespace zefa

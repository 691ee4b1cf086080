#include "filter/password_filter.h"

#include "filter/rule_warnings.h"

#include "breach/pwned_lookup.h"
#include "breach/pwned_store.h"
#include "directory/lookup_user.h"
#include "server/library_state.h"
#include "policy/policies.h"
#include "policy/policy_selection.h"
#include "policy/unknown_account_set.h"
#include "history/similarity_check.h"
#include "logging/escape_controls.h"
#include "logging/log.h"
#include "platform/system.h"
#include "policy/policy_set.h"
#include "rules/evaluate_rules.h"
#include "rules/policy_dump.h"
#include "rules/rejection_message.h"
#include "util/server_paths.h"
#include "util/text_util.h"
#include "platform/events.h"
#include "platform/directory.h"

namespace zefa {

namespace {

void Debug(const Text& message, const Text& label = ZT("Debug")) {
  Log(kLogLevelDebug, label, message);
}

// Acts on the breached-password lookup: only a listing rejects. With an
// offline store the store answers; its problems were logged when it was
// opened (or at its first damaged block), so they pass silently here.
bool PasswordIsListed(const Text& password, const PolicySet& set) {
  if (!set.PwnedStore.empty()) {
    if (TestMode()) platform::ConsoleWriteLine(PwnedStoreDescription(set.PwnedStore));
    return PwnedStoreLookup(set.PwnedStore, password) == kPwnedFound;
  }
  const Text outcome = PwnedLookup(password);
  if (outcome == kPwnedFound) return true;
  if (outcome == kPwnedNotFound) return false;
  if (outcome == kPwnedSslSupportError)
    LogWarning(ZT("PwnedCheck SSL support error"));
  else if (outcome == kPwnedNoConnection)
    LogWarning(ZT("PwnedCheck Offline"));
  else if (outcome == kPwnedMaxRetries)
    LogWarning(ZT("PwnedCheck Max retries exceeded"));
  else if (outcome == kPwnedTooManyRequests || outcome == kPwnedServiceUnavailable)
    LogWarning(ZT("PwnedCheck Too many requests"));
  else
    LogWarning(ZT("PwnedCheck Failed"));
  return false;
}

// The set of `policies` for an account the directory does not know;
// nullptr (the password is accepted) when UnknownAccountSet names none. Says
// which set applied.
const PolicySet* SelectUnknownAccountSet(const PolicyState& policies, const Text& account) {
  const UnknownAccountChoice choice = UnknownAccountSelection(policies, account);
  Text line;
  if (choice.Chosen != nullptr) {
    line = ZT("Unknown account: checked by policy set ") + IntegerToText(choice.Configured);
  } else if (choice.Configured == 0) {
    line = ZT("Skip: user not found");
  } else if (choice.Skipped) {
    line = ZT("Skip: user not found and listed in SkipUsers");
  } else {
    line = ZT("Skip: user not found; UnknownAccountSet ") + IntegerToText(choice.Configured) +
           ZT(" names no enabled policy set");
  }
  LogAccountInfo(account, line);
  if (TestMode()) platform::ConsoleWriteLine(line);
  return choice.Chosen;
}

// Logs a failed check of a set in audit mode: the rejection text under its own
// label, and one line naming the set for the report.
void LogAuditedRejection(const Text& account, const PolicySet& set, const Text& message) {
  if (!TestMode())
    LogAccountInfo(account, ZT("Policy set ") + IntegerToText(set.Index) +
                                ZT(" would deny the password (audit only)"));
  Log(kLogLevelInfo, ZT("Password Audit"), message);
  WriteEvent(ZT("Clavora"), ZT("(audit only) ") + message, kEventPasswordDenied,
             platform::kEventInformation);
}

void LogRejection(const Text& account, const PolicySet& set, const Text& message) {
  if (!TestMode())
    LogAccountInfo(account,
                   ZT("Policy set ") + IntegerToText(set.Index) + ZT(" denied the password"));
  Log(kLogLevelInfo, ZT("Password Denied"), message);
  WriteEvent(ZT("Clavora"), message, kEventPasswordDenied, platform::kEventInformation);
}

}  // namespace

bool RunPasswordFilter(const FilterRequest& request) {
  return CheckPassword(request).Verdict != FilterVerdict::Denied;
}

FilterOutcome CheckPassword(const FilterRequest& request) {
  const FilterOutcome kAccept;
  if (!Initialised())
    return {FilterVerdict::Denied, ZT("the password filter has not finished its initialisation")};
  Debug(ZT("PasswordFilter"));
  if (request.AccountName == nullptr && request.Password == nullptr) {
    Debug(ZT("Skip: username and password are NULL"));
    return kAccept;
  }
  const Text account = request.AccountName ? *request.AccountName : Text();
  const Text full_name = request.FullName ? *request.FullName : Text();
  UserRecord user;
  LookupUser(account, user);
  if (IsComputerAccount(account, user)) {
    Debug(ZT("Skip: user is a computer account"));
    return kAccept;
  }
  // An account the directory does not know (one being created with its
  // first password) has no history to compare with. A directory that could
  // not be asked knows nothing either way: the password is accepted.
  const bool unknown_account = user.AccountName.empty();
  if (unknown_account && user.LookupFailed) {
    // The console says why nothing is known (a run by an account that may
    // not use the directory's socket looks like an unknown user otherwise).
    Text line = ZT("Skip: user not found");
    if (TestMode()) {
      const Text problem = platform::DirectoryAccessProblem();
      line = ZT("Skip: cannot read the directory: ") +
             (problem.empty() ? Text(ZT("no connection or no answer")) : problem) +
             ZT("; nothing is known about the account");
    }
    LogAccountInfo(account, line);
    if (TestMode()) platform::ConsoleWriteLine(line);
    return kAccept;
  }
  // One configuration for the whole check: the set, its word list and the
  // report of its warnings all come from the same load.
  const PolicySnapshot policies = CurrentPolicies();
  const PolicySet* chosen = nullptr;
  if (unknown_account) {
    chosen = SelectUnknownAccountSet(*policies, account);
    if (chosen == nullptr) return kAccept;
  } else {
    if (TestMode()) {
      platform::ConsoleWriteLine(ZT("Container: ") + user.Container);
      platform::ConsoleWriteLine(ZT("Groups:    ") + user.GroupNames);
    }
    chosen = PolicySelection(*policies, account, user.GroupNames, user.Container);
    if (chosen == nullptr) {
      LogAccountInfo(account, ZT("Skip: no password policy found"));
      return kAccept;
    }
  }
  const PolicySet& set = *chosen;
  if (TestMode()) PrintPolicyDump(set);
  if (request.SetOperation && set.NoValidateOnReset != 0) {
    Debug(ZT("Skip: password set operation"), ZT("Debug ") + EscapeControlCharacters(account));
    return kAccept;
  }

  Text password = request.Password ? *request.Password : Text();
  // The caller's principal name stands in for the directory's only for an
  // account the directory does not know.
  const Text principal = unknown_account && request.PrincipalName != nullptr
                             ? *request.PrincipalName
                             : user.PrincipalName;
  const RuleSubject subject{account, full_name, principal, user.DisplayName};
  RuleVerdict verdict = EvaluateRules(password, subject, set, ForbiddenFileWords(*policies, set));
  LogRuleWarnings(verdict.Warnings, policies->Generation);
  // The costly checks run last, and only for a password every rule passed.
  if (verdict.Accepted && set.NoSimilarity != 0 && !unknown_account &&
      SimilarToHistory(CurrentServerPaths().IdhFolder, account, password)) {
    verdict.Accepted = false;
    verdict.Message += RequirementLine(Requirement::NoSimilarity, set, Text());
  }
  if (verdict.Accepted && !request.SetOperation && set.PwnedEnabled != 0 &&
      PasswordIsListed(password, set)) {
    verdict.Accepted = false;
    verdict.Message += RequirementLine(Requirement::Pwned, set, Text());
  }
  WipeText(password);

  if (verdict.Accepted) return kAccept;
  if (set.AuditOnly != 0) {
    LogAuditedRejection(account, set, verdict.Message);
    return {FilterVerdict::AuditDenied, verdict.Message};
  }
  LogRejection(account, set, verdict.Message);
  return {FilterVerdict::Denied, verdict.Message};
}

}  // namespace zefa

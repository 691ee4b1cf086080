// The password audit's findings over the accounts read from the domain's
// database: breached (NT hash in an NTLM-kind store), empty, shared (one NT
// hash on several accounts), listed (a forbidden word of the account's set
// or the account's own name, with the common variants), and the reports.
// No function here writes a hash or a password anywhere.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "breach/store_reader.h"
#include "platform/text.h"
#include "words/forbidden_words.h"
#include "tools/sam_database.h"

namespace zefa::audit {

struct AuditAccount {
  Text name;
  int64_t set = 0;  // the policy set that governs it, 0 = none
  bool enabled = true;
  bool privileged = false;
  bool never_expires = false;
  bool not_required = false;
  bool reversible = false;
  bool lm_hash = false;
  bool has_nt_hash = false;
  NtHash nt_hash{};
  // The store its breached check uses; null when it has none.
  const store::PasswordStore* store = nullptr;
  // Findings.
  bool breached = false;
  bool empty = false;
  bool listed = false;
  int64_t shared_group = 0;  // 0 = not shared
};

// True when the account has a breached, empty, shared or listed password.
bool HasFinding(const AuditAccount& account);

// The NT hash of a password (MD4 of its UTF-16LE code units).
NtHash NtHashOf(TextView password);

// Wipes every account's hash.
void WipeHashes(std::vector<AuditAccount>& accounts);

// Marks the accounts whose hash is that of the empty password.
void FindEmpty(std::vector<AuditAccount>& accounts);

// Numbers the groups of accounts that share one hash (the empty password's
// hash is no group: those accounts are "empty"), 1, 2, ... in the order of
// each group's first account.
void FindShared(std::vector<AuditAccount>& accounts);

// Looks each account's hash up in its store, one block read per account.
// False with a message when a store's block is damaged.
bool FindBreached(std::vector<AuditAccount>& accounts, std::string& error);

// The forms of one word the listed check tries: the word as written, in
// lower case and with its first letter upper case, each alone and followed
// by a digit, two digits, a year 1950-2039, "!" or "1!" (duplicates dropped).
std::vector<Text> ListedVariants(TextView word);

// The forbidden words of one policy set: its Forbidden list and its
// ForbiddenFile's words.
struct SetWords {
  std::vector<Text> words;
  std::shared_ptr<const WordList> file;
};

// Called with (work done, total work) while the listed check runs.
using AuditProgress = std::function<void(uint64_t done, uint64_t total)>;

// Marks the accounts whose password is a variant of a forbidden word of
// their set (`words_by_set[set]`, sets without an entry have none) or of
// their own name. Accounts that no set governs are skipped. The hashing runs
// on `threads` threads.
void FindListed(std::vector<AuditAccount>& accounts, const std::vector<SetWords>& words_by_set,
                unsigned threads, const AuditProgress& progress = {});

// The report files: every account, one record each, in the order given.
// CSV: a header line, then fields account, set, enabled, breached, empty,
// shared_group, listed, privileged, never_expires, not_required,
// reversible, lm_hash (flags as 1/0). JSON: an array of objects with the
// same fields (flags as true/false).
std::string CsvReport(const std::vector<AuditAccount>& accounts);
std::string JsonReport(const std::vector<AuditAccount>& accounts);

struct AuditCounts {
  uint64_t accounts = 0;
  uint64_t breached = 0;
  uint64_t shared = 0;  // accounts in a shared group
  uint64_t shared_groups = 0;
  uint64_t empty = 0;
  uint64_t listed = 0;
  uint64_t with_findings = 0;
  uint64_t privileged_with_findings = 0;
};
AuditCounts CountFindings(const std::vector<AuditAccount>& accounts);

// The log's line: "Password audit: N accounts, B breached, S shared, E empty, L listed".
Text AuditLogLine(const AuditCounts& counts);

// The summary on standard output: the counts, then one line per account
// with a finding, privileged accounts first, each group by name.
std::string SummaryText(const std::vector<AuditAccount>& accounts);

// The accounts --require-change acts on: those with a finding, except the
// ones `except` names (any letter case) and, unless `include_privileged`,
// privileged ones. Indexes into `accounts`, in order.
std::vector<size_t> AccountsToRequireChange(const std::vector<AuditAccount>& accounts,
                                            const std::vector<Text>& except,
                                            bool include_privileged);

}  // namespace zefa::audit

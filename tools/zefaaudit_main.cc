// zefaaudit: audits the passwords a Samba AD domain already has. Reads every
// user account's NT hash and account facts locally and read-only from the
// DC's own database (sam.ldb), finds breached, empty, shared and listed
// passwords, and reports them; optionally requires a change at next logon.
//   zefaaudit [--samdb PATH] [--store FILE] [--all] [--csv FILE] [--json FILE]
//             [--require-change [--dry-run] [--except NAME[,NAME...]]
//              [--include-privileged]] [--threads N] [--no-progress]
// Exit codes: 0 no account has a finding, 1 some have, 2 error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "breach/pwned_store.h"
#include "breach/store_reader.h"
#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "policy/policy_selection.h"
#include "logging/log.h"
#include "platform/characters.h"
#include "platform/files.h"
#include "platform/system.h"
#include "policy/policies.h"
#include "server/find_share_path.h"
#include "util/server_paths.h"
#include "tools/password_audit.h"
#include "tools/sam_database.h"
#include "tools/sam_user_records.h"
#include "util/text_util.h"

namespace {

using namespace zefa;
using namespace zefa::audit;

constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitError = 2;
constexpr uint32_t kKrbtgtRid = 502;

const char* kUsage =
    "usage: zefaaudit [--samdb PATH] [--store FILE] [--all] [--csv FILE] [--json FILE]\n"
    "                 [--require-change [--dry-run] [--except NAME[,NAME...]]\n"
    "                  [--include-privileged]] [--threads N] [--no-progress]\n"
    "Audits the passwords of this Samba AD DC's accounts (run as root on the DC).\n"
    "Exit status: 0 no findings, 1 findings, 2 error.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "zefaaudit: %s\n", message.c_str());
  return kExitError;
}

struct Options {
  std::string samdb;
  std::string store;
  bool all = false;
  std::string csv;
  std::string json;
  bool require_change = false;
  bool dry_run = false;
  std::vector<Text> except;
  bool include_privileged = false;
  unsigned threads = 0;
  bool progress = true;
};

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--samdb") {
      if (!value(options.samdb)) return false;
    } else if (arg == "--store") {
      if (!value(options.store)) return false;
    } else if (arg == "--csv") {
      if (!value(options.csv)) return false;
    } else if (arg == "--json") {
      if (!value(options.json)) return false;
    } else if (arg == "--except") {
      if (!value(text)) return false;
      for (const Text& name : SplitFields(Utf8ToText(text), ZT(','))) {
        const Text trimmed = TrimBlanks(name);
        if (!trimmed.empty()) options.except.push_back(trimmed);
      }
    } else if (arg == "--threads") {
      if (!value(text)) return false;
      options.threads = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "--require-change") {
      options.require_change = true;
    } else if (arg == "--dry-run") {
      options.dry_run = true;
    } else if (arg == "--include-privileged") {
      options.include_privileged = true;
    } else if (arg == "--no-progress") {
      options.progress = false;
    } else {
      error = "unknown argument " + arg;
      return false;
    }
  }
  if ((options.dry_run || !options.except.empty() || options.include_privileged) &&
      !options.require_change) {
    error = "--dry-run, --except and --include-privileged go with --require-change";
    return false;
  }
  return true;
}

// A progress line on standard error while it is a terminal, at most ten
// times a second.
class ProgressLine {
 public:
  ProgressLine(bool enabled, const char* label)
      : enabled_(enabled && isatty(2) == 1), label_(label) {}
  ~ProgressLine() {
    if (shown_) std::fprintf(stderr, "\r%-60s\r", "");
  }
  void Show(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100) && done < total) return;
    last_ = now;
    shown_ = true;
    const int percent = static_cast<int>(done * 100 / total);
    const int filled = percent * 30 / 100;
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_, std::string(filled, '#').c_str(),
                 std::string(30 - filled, ' ').c_str(), percent);
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  const char* label_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
  std::mutex lock_;
};

// The folders the filter uses on this DC (read, never created): the words
// folder for the sets' word files and the log.
void FindFilterFolders() {
  ServerPaths paths = CurrentServerPaths();
  paths.WindowsFolder = TrimBlanks(platform::WindowsDirectory());
  const Text netlogon = FindSharePath(ZT("netlogon"), 0);
  if (netlogon.empty()) return;
  paths.NetlogonPath = netlogon;
  const Text base = platform::DirectoryExists(netlogon) ? netlogon : paths.WindowsFolder;
  paths.SystemFolder = JoinPath(JoinPath(base, ZT("zefa")), ZT("system"));
  paths.LogFolder = JoinPath(paths.SystemFolder, ZT("log"));
  paths.WordsFolder = JoinPath(paths.SystemFolder, ZT("words"));
  paths.ComputerName = platform::ComputerName();
  paths.DomainName = platform::NetbiosDomainName();
  StoreServerPaths(paths);
  SetLogFilePath(JoinPath(paths.LogFolder, paths.ComputerName + ZT(".log")));
}

bool WriteReport(const std::string& path, const std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::fchmod(fd, 0600) != 0) {
    if (fd >= 0) ::close(fd);
    error = "cannot write " + path;
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool ok = ::close(fd) == 0 && written == text.size();
  if (!ok) error = "cannot write " + path;
  return ok;
}

// Opens a store for the NT-hash lookups; refuses a SHA-1 store.
store::StoreHandle OpenNtlmStore(const Text& path, std::string& error) {
  std::string reason;
  store::StoreHandle handle = store::OpenStore(path, reason);
  if (!handle) {
    error = "the store " + TextToUtf8(path) + " cannot be used: " + reason;
    return nullptr;
  }
  if (handle->header.kind != store::HashKind::kNtlm) {
    error = "the store " + TextToUtf8(path) + " holds " + store::HashKindName(handle->header.kind) +
            " hashes; NT hashes can only be looked up in an NTLM store (zefastore --kind ntlm)";
    return nullptr;
  }
  return handle;
}

int RequireChange(const std::vector<AuditAccount>& accounts, const std::vector<std::string>& dns,
                  const Options& options) {
  const std::vector<size_t> chosen =
      AccountsToRequireChange(accounts, options.except, options.include_privileged);
  if (chosen.empty()) {
    std::printf("\nNo account to require a password change of.\n");
    return kExitClean;
  }
  std::printf("\n%s\n", options.dry_run ? "Would require a password change at next logon (dry run):"
                                        : "Requiring a password change at next logon:");
  DirectoryConnection connection;
  if (!options.dry_run && !OpenDirectoryConnection(connection))
    return Fail("cannot reach the directory to set pwdLastSet (CLAVORA_LDAP_URI)");
  int status = kExitClean;
  for (size_t i : chosen) {
    if (options.dry_run) {
      std::printf("  %s\n", TextToUtf8(accounts[i].name).c_str());
      continue;
    }
    const int rc = SetAttributeValues(connection, Utf8ToText(dns[i]), ZT("pwdLastSet"), {ZT("0")});
    if (rc == 0) {
      std::printf("  %s\n", TextToUtf8(accounts[i].name).c_str());
    } else {
      std::fprintf(stderr, "zefaaudit: setting pwdLastSet of %s failed (LDAP %d)\n",
                   TextToUtf8(accounts[i].name).c_str(), rc);
      status = kExitError;
    }
  }
  if (!options.dry_run) CloseDirectoryConnection(connection);
  return status;
}

int Run(const Options& options) {
  if (::geteuid() != 0)
    return Fail(
        "must run as root: the domain's password hashes in sam.ldb are readable by root only");
  const std::string samdb =
      options.samdb.empty() ? SamPrivateDirectory() + "/sam.ldb" : options.samdb;

  std::string error;
  store::StoreHandle given_store;
  if (!options.store.empty()) {
    given_store = OpenNtlmStore(Utf8ToText(options.store), error);
    if (!given_store) return Fail(error);
  }

  FindFilterFolders();
  LoadPolicies();
  std::vector<SetWords> words_by_set(9);
  std::vector<Text> set_stores(9);
  const PolicySnapshot policies = CurrentPolicies();
  for (const PolicySet& set : policies->Sets) {
    if (set.Index < 1 || set.Index > 8) continue;
    SetWords& words = words_by_set[static_cast<size_t>(set.Index)];
    words.words = set.ForbiddenWords;
    const auto file = policies->ForbiddenFileCache.find(set.ForbiddenFile);
    if (!set.ForbiddenFile.empty() && file != policies->ForbiddenFileCache.end())
      words.file = file->second.Words;
    set_stores[static_cast<size_t>(set.Index)] = set.PwnedStore;
  }

  SamContents contents;
  if (!ReadSamDatabase(samdb, contents, error)) return Fail(error);
  // Reports list the accounts by name.
  {
    std::vector<std::pair<Text, size_t>> by_name;
    for (size_t i = 0; i < contents.users.size(); ++i)
      by_name.emplace_back(ToLower(Utf8ToText(contents.users[i].name)), i);
    std::sort(by_name.begin(), by_name.end());
    std::vector<SamObject> sorted;
    sorted.reserve(by_name.size());
    for (const auto& entry : by_name) sorted.push_back(std::move(contents.users[entry.second]));
    contents.users.swap(sorted);
  }
  const GroupGraph groups = IndexGroups(contents);

  std::vector<AuditAccount> accounts;
  std::vector<std::string> dns;
  std::map<Text, store::StoreHandle> set_store_handles;
  std::vector<std::string> notes;
  const Text words_folder = CurrentServerPaths().WordsFolder;
  for (size_t i = 0; i < contents.users.size(); ++i) {
    SamObject& user = contents.users[i];
    const bool krbtgt = user.sid == contents.domain_sid + "-" + std::to_string(kKrbtgtRid) ||
                        ToLower(Utf8ToText(user.name)) == ZT("krbtgt");
    const bool enabled = (user.user_account_control & kUfAccountDisable) == 0;
    if (krbtgt || (!enabled && !options.all)) {
      platform::SecureWipe(user.nt_hash.data(), user.nt_hash.size());
      continue;
    }
    const AccountFacts facts = FactsOfUser(groups, user);
    AuditAccount account;
    account.name = facts.record.AccountName;
    const PolicySet* chosen = PolicySelection(*policies, facts.record.AccountName,
                                              facts.record.GroupNames, facts.record.Container);
    if (chosen != nullptr) account.set = chosen->Index;
    account.enabled = enabled;
    account.privileged = facts.privileged;
    account.never_expires = (user.user_account_control & kUfDontExpirePasswd) != 0;
    account.not_required = (user.user_account_control & kUfPasswdNotReqd) != 0;
    account.reversible = (user.user_account_control & kUfEncryptedTextPasswordAllowed) != 0;
    account.lm_hash = user.has_lm_hash;
    account.has_nt_hash = user.has_nt_hash;
    account.nt_hash = user.nt_hash;
    platform::SecureWipe(user.nt_hash.data(), user.nt_hash.size());
    if (given_store) {
      account.store = given_store.get();
    } else if (account.set != 0 && !set_stores[static_cast<size_t>(account.set)].empty()) {
      const Text path = PwnedStorePath(set_stores[static_cast<size_t>(account.set)], words_folder);
      auto found = set_store_handles.find(path);
      if (found == set_store_handles.end()) {
        std::string reason;
        store::StoreHandle handle = OpenNtlmStore(path, reason);
        if (!handle)
          notes.push_back("set " + std::to_string(account.set) + ": " + reason +
                          "; its accounts are not checked for breached passwords");
        found = set_store_handles.emplace(path, handle).first;
      }
      account.store = found->second.get();
    }
    accounts.push_back(account);
    dns.push_back(user.dn);
  }

  int status = kExitClean;
  FindEmpty(accounts);
  FindShared(accounts);
  if (!FindBreached(accounts, error)) {
    WipeHashes(accounts);
    return Fail(error);
  }
  {
    ProgressLine progress(options.progress, "Listed words");
    const unsigned threads =
        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    FindListed(accounts, words_by_set, threads,
               [&](uint64_t done, uint64_t total) { progress.Show(done, total); });
  }
  WipeHashes(accounts);

  std::string summary = SummaryText(accounts);
  for (const std::string& note : notes) summary += "Note: " + note + "\n";
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);
  if (!options.csv.empty() && !WriteReport(options.csv, CsvReport(accounts), error))
    return Fail(error);
  if (!options.json.empty() && !WriteReport(options.json, JsonReport(accounts), error))
    return Fail(error);
  const AuditCounts counts = CountFindings(accounts);
  LogInfo(AuditLogLine(counts));
  if (counts.with_findings > 0) status = kExitFindings;
  if (options.require_change && RequireChange(accounts, dns, options) == kExitError)
    status = kExitError;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "zefaaudit: %s\n%s", error.c_str(), kUsage);
    return kExitError;
  }
  return Run(options);
}

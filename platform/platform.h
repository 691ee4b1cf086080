// The platform layer: every call into the operating system that the filter,
// the console and the reminder make goes through these functions. One
// implementation per platform (platform/posix, platform/windows) is chosen at
// build time; nothing above this layer includes a system header.
//
// Unless a function says otherwise it is safe to call from any thread, never
// throws, and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// ---------------------------------------------------------------- characters

// Unicode letter case of one UTF-16 code unit (Basic Multilingual Plane).
// Surrogates, digits, punctuation and caseless letters are neither upper nor
// lower case. CharLower returns the unit unchanged when it has no lower case.
bool IsCharUpper(WChar c);
bool IsCharLower(WChar c);
WChar CharLower(WChar c);

// Overwrites `size` bytes at `data` with zeros in a way the compiler cannot
// elide (used for passwords and their copies).
void SecureWipe(void* data, size_t size);

// ---------------------------------------------------------------------- time

// Seconds since 1970-01-01 00:00:00 on the local clock ("date value"):
// the local wall-clock time read as if it were UTC. Uses the process's time
// zone (TZ on POSIX).
int64_t LocalNow();

// Converts a UTC instant (seconds since the epoch) to a local date value.
int64_t UtcToLocal(int64_t utc_seconds);

// Converts a local date value back to UTC seconds; ambiguous local times
// resolve as the C library's mktime does.
int64_t LocalToUtc(int64_t local_seconds);

// ---------------------------------------------------------------- file system

// Path separator of the platform ('\\' on Windows, '/' elsewhere).
WChar PathSeparator();

bool FileExists(const Text& path);       // file or folder
bool DirectoryExists(const Text& path);  // folder only

// Whether a file or folder is there for this process: kMissing when it does
// not exist, kDenied when it exists but may not be read (a folder: listed
// and entered), or when the process may not even see whether it exists.
enum class PathAccess { kMissing, kReadable, kDenied };
PathAccess CheckPathAccess(const Text& path);

// Size in bytes; -1 when the file does not exist or cannot be examined.
int64_t FileSize(const Text& path);

// Last modification time as a local date value; 0 when the file is missing.
int64_t FileModifiedLocal(const Text& path);

// Creates one folder. False when it could not be created (also when it
// already exists).
bool CreateFolder(const Text& path);

// Creates a folder together with every missing parent. True when the folder
// exists afterwards.
bool CreateFolderTree(const Text& path);

// Whole-file read. nullopt when the file cannot be opened.
std::optional<std::string> ReadWholeFile(const Text& path);

// Appends bytes to a file, creating it when missing. The file is opened,
// written, flushed and closed within the call, with read sharing, so other
// programs may read, copy or delete it between calls. False when it cannot
// be opened or written.
bool AppendToFile(const Text& path, const std::string& bytes);

// Replaces the file's contents atomically: writes a temporary file in the
// same folder, flushes it to disk, then renames it over the target. A crash
// or a full disk leaves either the old or the new contents, never a
// truncated file. `owner_only` restricts the new file to its owner.
bool ReplaceFileAtomically(const Text& path, const std::string& bytes, bool owner_only);

bool DeleteFile(const Text& path);
bool RenameFile(const Text& from, const Text& to);  // replaces `to` if present

// An exclusive lock that every process taking it on the same file honours
// (POSIX: flock; Windows: LockFileEx on the first byte). The file is
// created when missing and never changed. Waits until the lock is free;
// nullptr when the file cannot be opened or locked. Closing releases it.
struct FileLock;  // opaque
FileLock* LockFileExclusive(const Text& path);
void UnlockFile(FileLock* lock);

// Copies a file, overwriting the target.
bool CopyFile(const Text& from, const Text& to);

// The names of the plain files directly inside `folder` (no subfolders, no
// links to folders), sorted by name. Empty when the folder cannot be read.
// Any thread.
std::vector<Text> FilesInFolder(const Text& folder);

// Creates a symbolic link at `link` pointing to the folder `target`.
// Windows: cmd.exe with FolderLinkCommand (mklink /d, not waited for).
bool CreateFolderLink(const Text& link, const Text& target);

// Restricts a folder to its owner (and, on Windows, the system and
// administrators): converts inherited entries to explicit ones and removes
// the grant to Authenticated Users. Windows: icacls.exe with
// IcaclsInheritanceCommand (waited for), then with
// IcaclsRemoveAuthenticatedUsersCommand (not waited for).
// POSIX: mode 0700 and no access-list entries for others.
bool MakeFolderPrivate(const Text& path);

// Read-only mapping of a whole file into memory, for large lookup tables
// that are read at random (no read-ahead beyond the touched page where the
// platform allows a hint). The file's contents must not change while it is
// mapped; replacing it by a rename is safe (the mapping keeps the old file).
struct MappedFile;  // opaque

// nullptr when the file cannot be opened or mapped; `error` then says why.
// An empty file maps to a valid handle with size 0.
MappedFile* MapFileReadOnly(const Text& path, std::string* error);
const unsigned char* MappedFileData(const MappedFile* file);
uint64_t MappedFileSize(const MappedFile* file);
void UnmapFile(MappedFile* file);  // nullptr is ignored

// How many of the mapped pages from byte `offset` for `length` bytes are in
// memory now (mincore on POSIX); -1 where the platform cannot tell.
int64_t MappedFileResidentPages(const MappedFile* file, uint64_t offset, uint64_t length);

// Asks the system to drop the file's cached pages (those no mapping holds),
// so that the next reads come from the disk. False when it cannot.
bool DropFileFromCache(const Text& path);

// -------------------------------------------------------------------- set-up
// The system changes of the server set-up. On Windows each of these runs the
// command that server/setup_commands.h spells out (program, parameter
// string, hidden, waited for only where that says so); its result then only
// tells whether the command could be started, since exit codes are not read.

// Deletes a folder with everything below it; links inside it are removed,
// never followed, and a link in place of the folder is removed itself. True
// when nothing is left at `path` afterwards (also when nothing was there).
// Windows: a recursive delete of every file and folder.
bool DeleteFolderTree(const Text& path);

// Copies the files of `from_folder` (not its subfolders) whose names match
// `pattern` ("*" and "?" wildcards, letter case ignored) into `to_folder`,
// which is created with its parents when there is a file to copy. A file is
// copied only when the target lacks it or holds an older one (by
// modification time); a copy keeps the source's modification time. False
// when `from_folder` cannot be read or a needed copy failed; true otherwise,
// also when nothing matched. Windows: cmd.exe with CopyNewerFilesCommand
// (xcopy /d /y).
bool CopyNewerFiles(const Text& from_folder, const Text& pattern, const Text& to_folder);

// Where the POSIX side keeps the scheduled tasks it registers: one cron table
// "<name>.cron" per task in WindowsDirectory() + "/zefa/tasks". Empty on
// Windows, where the task scheduler keeps them.
Text ScheduledTaskFolder();

// Registers the task `name` from a task definition file.
// Windows: cmd.exe with CreateScheduledTaskCommand (schtasks /create /xml).
// POSIX: writes ScheduledTaskFolder()/<name>.cron, a cron table whose one
// schedule line runs the definition's command (the Exec Command and
// Arguments of the task XML; the first Repetition Interval as schedule,
// hourly without one). The line is commented out: the task stays disabled
// until an administrator enables it as the file's comments explain. An
// existing entry is left as it is (it may have been enabled). False when the
// definition cannot be read or the entry cannot be written.
bool InstallScheduledTask(const Text& name, const Text& definition_file);

// Removes the task `name`. True when no such task is left.
// Windows: cmd.exe with DeleteScheduledTaskCommand (schtasks.exe /delete /f).
// POSIX: deletes ScheduledTaskFolder()/<name>.cron.
bool RemoveScheduledTask(const Text& name);

// ------------------------------------------------------------------- system

// The folder that stands for the Windows directory: GetWindowsDirectoryW on
// Windows, $CLAVORA_ROOT (default /var/lib/clavora) elsewhere. No trailing
// separator.
Text WindowsDirectory();

// The NetBIOS computer name of this machine, upper case.
Text ComputerName();

// The NetBIOS name of the domain this machine belongs to (NetWkstaGetInfo
// level 100 on Windows; the Samba configuration's "workgroup" elsewhere).
// Empty when it cannot be read.
Text NetbiosDomainName();

// Full path of the installed filter library (the system folder's zefa.dll
// on Windows; elsewhere the library folder under the prefix the running
// program was installed to, found from the program's own folder).
Text InstalledFilterLibrary();

// The program's arguments after its name, for a program's main(argc, argv).
// Windows: parsed from the process's UTF-16 command line (argv holds them
// only in the ANSI code page, which loses characters); argc and argv are
// not used there. Elsewhere: argv[1..] decoded from UTF-8. Empty when the
// command line cannot be read.
std::vector<Text> ProgramArguments(int argc, char** argv);

// Value of an environment variable; empty when unset.
Text EnvironmentVariable(const Text& name);

// Replaces %NAME% references by the variables' values (unknown ones stay).
Text ExpandEnvironmentStrings(const Text& text);

// Starts the socket layer. Nonzero on success.
int StartNetwork();

// Starts a program with a parameter string (split like a Windows command
// line on POSIX), an optional working folder, a hidden window, and an
// optional wait for its end. False when the program could not be started.
// Exit codes are not reported.
bool StartProcess(const Text& program, const Text& parameters, const Text& working_folder,
                  bool wait);

// Starts a program with separate arguments, hidden, not waited for, in
// `working_folder` when not empty. On POSIX the arguments reach the program
// as they are (no shell, no quoting); a file that cannot be executed itself
// is run through /bin/sh, and whether a start succeeded is learnt from the
// exec itself (whatever the process does with SIGCHLD). On Windows the
// command line is built with the platform's quoting rules, and the shell's
// default action for the file is the fallback. False when nothing could be
// started.
bool StartProgramWithArguments(const Text& program, const std::vector<Text>& arguments,
                               const Text& working_folder);

// As StartProgramWithArguments, for a program that also receives a secret (a
// password). POSIX, where every local user can read a process's command
// line: the secret and a line end go to the program's standard input, and
// "-" stands in its place after the arguments. Windows, where a service's
// command line is readable only by administrators: the secret is the last
// argument. Every copy made here is wiped.
bool StartProgramWithSecret(const Text& program, const std::vector<Text>& arguments,
                            const Text& secret, const Text& working_folder);

// One line on the process's console (standard output), UTF-8 encoded, with
// the platform's line end. Allocates a console when the process has none.
void ConsoleWriteLine(const Text& line);

// Text to the debugger output (standard error on POSIX).
void DebugOutput(const Text& text);

// ---------------------------------------------------------------- event log

enum EventType : uint16_t {
  kEventError = 1,
  kEventWarning = 2,
  kEventInformation = 4,
};

// Writes one event with a single insertion string under `source` in the
// Application log (syslog on POSIX, with the event ID and type in the
// record). Nonzero on success, 0 on failure.
// On POSIX the records go to the facility auth, where sites keep security
// messages: information (rejections, audits, changes) at level notice,
// warnings at warning, errors at err.
int ReportEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type);

// Passes a Warning line of the filter's log on to the system log, where an
// administrator watching the machine sees it (POSIX: facility auth, level
// warning, tag "Clavora", the text as "[warning] <text>"). Windows keeps
// warnings in the filter's own log: nothing is written there.
void ForwardLogWarning(const Text& text);

// -------------------------------------------------------------------- shares

struct ShareInfo {
  Text name;
  uint32_t type = 0;  // 0 = ordinary disk share; anything else is skipped
  Text path;
};

// Every share of this server, in the server's order. Empty on failure.
std::vector<ShareInfo> EnumerateShares();

// ------------------------------------------------------------------ registry

enum RegistryType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegistryValue {
  Text name;
  uint32_t type = kRegNone;
  std::string data;  // raw bytes exactly as the registry stores them
};

// Root keys are named as in the registry ("HKEY_LOCAL_MACHINE", ...);
// `subkey` uses "\\" between levels; names compare case-insensitively.
// `view` is 0, 32 or 64 (accepted everywhere; meaningful on 64-bit Windows).

// Reads one value. nullopt when the key or the value does not exist, or the
// key cannot be read.
std::optional<RegistryValue> RegistryRead(const Text& root, const Text& subkey, const Text& name,
                                          int view);

// Last-write time of the key in 100-nanosecond ticks since 1601-01-01 UTC
// (a FILETIME), at the full precision the registry keeps; 0 when the key
// does not exist. It changes whenever a value of the key is set or deleted
// and when the key is touched (RegistryTouchKey); creating or deleting a
// subkey leaves it alone. Here every change moves it by at least one tick;
// Windows takes it from the system clock, whose tick may be coarser.
int64_t RegistryKeyLastWriteTicks(const Text& root, const Text& subkey, int view);

// UTC seconds since 1970 of a last-write time in ticks.
inline int64_t RegistryTicksToUtcSeconds(int64_t ticks) {
  return ticks / 10000000LL - 11644473600LL;
}

// Moves the key's last-write time on without changing its values or
// subkeys, as a rewrite of the key would. False when the key does not exist
// or cannot be written.
bool RegistryTouchKey(const Text& root, const Text& subkey, int view);

enum class RegistryKeyState {
  kMissing,
  kReadable,
  // The key exists but its values cannot be read: here a stored record that
  // is damaged or unreadable, on Windows a key that cannot be opened or
  // queried for another reason than its absence.
  kUnreadable,
};

RegistryKeyState RegistryKeyCheck(const Text& root, const Text& subkey, int view);

// Creates the key and its missing parents. False on failure.
bool RegistryCreateKey(const Text& root, const Text& subkey, int view);

// Creates the key when missing and sets one value. The stored value is
// either the old or the new one, never a mixture. False on failure.
bool RegistryWrite(const Text& root, const Text& subkey, const RegistryValue& value, int view);

// Deletes one value. False when it did not exist or could not be deleted.
bool RegistryDeleteValue(const Text& root, const Text& subkey, const Text& name, int view);

// Deletes a key with all its subkeys. False when it did not exist.
bool RegistryDeleteKey(const Text& root, const Text& subkey, int view);

bool RegistryKeyExists(const Text& root, const Text& subkey, int view);

// Names of the direct subkeys and all values of a key (empty when missing
// or unreadable). Subkeys that cannot be read are listed too, so that a walk
// over a tree meets them (RegistryKeyCheck tells them apart).
std::vector<Text> RegistrySubkeys(const Text& root, const Text& subkey, int view);
std::vector<RegistryValue> RegistryValues(const Text& root, const Text& subkey, int view);


// ----------------------------------------------------------------- directory
// The LDAP client of the platform (wldap32 on Windows, OpenLDAP elsewhere).
// A connection belongs to the one operation that opened it; never share it
// between threads. Result codes are LDAP result codes (0 = success).

struct DirectoryHandle;  // opaque

// Opens a connection to a domain controller of this machine's domain and
// authenticates as the process's own identity; protocol version 3, referral
// chasing off. nullptr when no connection or bind succeeded.
// Windows: serverless ldap_init on port 389, Negotiate bind; with
// CLAVORA_LDAP_URI set (diagnostics outside the domain, tests) that server,
// and with CLAVORA_LDAP_BIND_DN and CLAVORA_LDAP_PASSWORD_FILE a Negotiate
// bind as "DOMAIN\account" or "account@domain" (a DN: simple bind, ldaps
// only).
// POSIX: $CLAVORA_LDAP_URI (default: Samba's privileged ldapi socket, no
// bind); a simple bind over TLS when CLAVORA_LDAP_BIND_DN and
// CLAVORA_LDAP_PASSWORD_FILE are set; otherwise SASL GSSAPI on non-ldapi
// URIs.
//
// Time bounds, the same on both platforms: the open as a whole (connect, TLS
// handshake, bind) and every later request each end within
// kDirectoryRequestMilliseconds, and never after the end of the calling
// thread's DirectoryTimeBudget. A connection on which a request ran out of
// time, or whose server went away, is lost: every later request on it fails
// at once, so a server that stopped answering costs one wait, not one per
// request.
DirectoryHandle* DirectoryOpen();

// Why this process cannot reach the directory at all, for the console, or
// empty when nothing is known to stand in the way. POSIX: the local ldapi
// socket that CLAVORA_LDAP_URI (or the default) names is missing ("... does
// not exist: is the domain controller running?") or may not be opened by
// this account ("permission denied on ...: run as root"). Windows: empty.
Text DirectoryAccessProblem();
void DirectoryClose(DirectoryHandle* handle);

constexpr int kDirectoryRequestMilliseconds = 3000;

// True once a request on the connection ran out of time or the connection
// broke (also for nullptr).
bool DirectoryConnectionLost(const DirectoryHandle* handle);

// While it exists, every directory open and request of the calling thread
// ends by `milliseconds` from its creation at the latest. An inner budget
// never reaches past an outer one.
class DirectoryTimeBudget {
 public:
  explicit DirectoryTimeBudget(int64_t milliseconds);
  ~DirectoryTimeBudget();
  DirectoryTimeBudget(const DirectoryTimeBudget&) = delete;
  DirectoryTimeBudget& operator=(const DirectoryTimeBudget&) = delete;

 private:
  int64_t outer_end_;
};

// While it exists, each request of the calling thread may take up to
// `milliseconds` instead of kDirectoryRequestMilliseconds: for the
// background passes' subtree searches, whose whole answer may be large. The
// open keeps its own bound; a DirectoryTimeBudget still ends requests early.
class DirectoryRequestAllowance {
 public:
  explicit DirectoryRequestAllowance(int64_t milliseconds);
  ~DirectoryRequestAllowance();
  DirectoryRequestAllowance(const DirectoryRequestAllowance&) = delete;
  DirectoryRequestAllowance& operator=(const DirectoryRequestAllowance&) = delete;

 private:
  int64_t outer_;
};

struct DirectoryAttribute {
  Text name;                        // as the server spelled it
  std::vector<std::string> values;  // raw bytes of each value, server order
};

struct DirectoryEntry {
  Text dn;
  std::vector<DirectoryAttribute> attributes;
};

// One synchronous search. `filter` empty = no filter ("(objectClass=*)");
// `attributes` empty = all attributes; names are sent as given (no
// trimming). `size_limit` 0 = none. Entries arrive in server order;
// continuation references are ignored. A search cut short (size, time or
// administrative limit) returns its non-zero code and no entries.
int DirectorySearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                    const std::vector<Text>& attributes, int size_limit,
                    std::vector<DirectoryEntry>& entries);

enum DirectoryModOp { kDirectoryAdd = 0, kDirectoryDelete = 1, kDirectoryReplace = 2 };

struct DirectoryModification {
  int op = kDirectoryReplace;
  Text attribute;
  std::vector<std::string> values;  // raw bytes (UTF-8 for text values)
};

// Add and modify requests. With `lazy_commit` the request carries the
// non-critical control 1.2.840.113556.1.4.619 as its only server control.
int DirectoryAdd(DirectoryHandle* handle, const Text& dn,
                 const std::vector<DirectoryModification>& attributes, bool lazy_commit);
int DirectoryModify(DirectoryHandle* handle, const Text& dn,
                    const std::vector<DirectoryModification>& modifications, bool lazy_commit);

// Name translation of a distinguished name to canonical form
// ("example.test/Staff/Engineering"; the domain itself gives
// "example.test/"), and back. Empty text on failure.
// Windows: TranslateNameW, the directory when it has no answer. POSIX: the
// directory's constructed canonicalName, and a one-level walk by "name" for
// the way back.
Text TranslateDnToCanonical(const Text& dn);
Text TranslateCanonicalToDn(const Text& canonical);

// The account name (without domain) of a SID given in string form, well-known
// and builtin SIDs included; empty when it does not resolve.
// Windows: LookupAccountSidW, the directory when it has no answer. POSIX: an
// objectSid search in the directory.
Text LookupAccountNameOfSid(const Text& sid_text);

// The msDS-PasswordComplexityEnabled value ("TRUE" or "FALSE") of the
// Password Settings Objects that the filter writes for its policy sets.
// Windows: "FALSE" (the filter checks composition itself). POSIX (a Samba
// DC): "TRUE", because Samba runs its check-password hook, and so the
// filter, only for accounts whose complexity is on, and then skips its own
// complexity check.
Text PasswordSettingsComplexityValue();

// -------------------------------------------------------------- user session

// The user logged on to this session, as far as the platform knows it
// without asking the directory.
// Windows: GetUserNameExW(NameFullyQualifiedDN) gives `distinguished_name`.
// POSIX: `account_name` is the principal of the user's default Kerberos
// credentials cache without its realm, or the login name when there are no
// credentials; `distinguished_name` stays empty.
struct SessionUser {
  Text distinguished_name;
  Text account_name;
};
SessionUser LoggedOnUser();

// Opens the screen where the user can change the password; does not wait.
// Windows: the Windows Security screen (explorer.exe with its shell folder).
// POSIX: the shell command in $CLAVORA_PASSWORD_CHANGE_COMMAND, by default a
// terminal running passwd. False when nothing could be started.
bool StartPasswordChangeScreen();

// -------------------------------------------------------------------- locale

// A local date value formatted in the user's default locale, so that day and
// month names (and the AM/PM designator) are in the user's language.
// Date pictures: d, dd (day), ddd, dddd (abbreviated and full day name), M,
// MM (month), MMM, MMMM (month names), y, yy, yyyy (year). Time pictures: h,
// hh (12-hour), H, HH (24-hour), m, mm, s, ss, t, tt (designator). Text in
// single quotes is copied ('' is a quote); any other character is copied.
// Empty text for an empty picture or on failure.
// Windows: GetDateFormatW / GetTimeFormatW with LOCALE_USER_DEFAULT.
// POSIX: the locale named by LC_ALL, LC_TIME or LANG ("C" when that locale
// is not installed).
Text FormatUserDate(int64_t date_value, const Text& picture);
Text FormatUserTime(int64_t date_value, const Text& picture);

// ------------------------------------------------------------------- digests

enum DigestAlgorithm { kDigestMd5, kDigestSha1, kDigestSha256, kDigestSha512 };

// The digest (raw bytes) of the concatenation of `count` parts; empty when
// it could not be computed. The working state that saw the input is cleared.
std::string Digest(DigestAlgorithm algorithm, const std::string_view* parts, size_t count);

// Fills `size` bytes from the system's cryptographically strong random
// source. False when the source failed (the buffer is then undefined).
bool RandomBytes(void* buffer, size_t size);

// ---------------------------------------------------------------------- web
// One HTTPS GET that runs in the background and is polled (OpenSSL-backed
// libcurl on POSIX, WinHTTP on Windows). Only https URLs are fetched.

struct HttpsRequest;  // opaque

enum class HttpsState {
  kRunning,     // not finished yet
  kCompleted,   // a response arrived: HttpsStatus and HttpsBody hold it
  kFailed,      // the transfer failed (connection, protocol, non-https URL)
  kAborted,     // the transfer was cut off (body larger than allowed)
  kTlsFailure,  // the TLS connection could not be set up or verified
};

// Starts the request with the given User-Agent. `ca_file` (PEM, may be
// empty) replaces the system's trusted certificates. A body longer than
// `max_body_bytes` aborts the transfer. nullptr when the request cannot be
// created.
HttpsRequest* HttpsGetStart(const std::string& url, const std::string& user_agent,
                            const std::string& ca_file, size_t max_body_bytes);

// Lets the request progress for at most `wait_ms` milliseconds (0: only
// look) and returns its state; returns as soon as it has finished.
HttpsState HttpsPoll(HttpsRequest* request, int wait_ms);

// The HTTP status and the body of a completed request.
long HttpsStatus(const HttpsRequest* request);
const std::string& HttpsBody(const HttpsRequest* request);

// Aborts the request if it is still running and frees it.
void HttpsClose(HttpsRequest* request);

}  // namespace zefa::platform

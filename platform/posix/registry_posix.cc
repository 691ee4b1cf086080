// The registry of the POSIX platform: a folder tree under
// $CLAVORA_ROOT/registry (CLAVORA_ROOT defaults to /var/lib/clavora and is
// read on every call).
//
// Layout:
//   registry/.lock                        locked (flock) by every writer for its
//                                         whole read-modify-write
//   registry/hkey_local_machine/          one folder per root key
//   registry/hkey_local_machine/software/ one folder per key, named by its
//                                         lower-case escaped name (FolderName)
//   <key folder>/.key                     the key's record: original spelling,
//                                         last-write stamp, values in order
//
// Names that begin with "." inside a key folder belong to the store (.key,
// ".tmp-*" files being written, ".new-*" keys being created, ".del-*" keys
// being removed); an escaped key name never begins with ".", so keys and
// store files cannot collide, and readers skip every dot name.
//
// Record file (ASCII lines, each ending in "\n"):
//   clavora-registry-key 1
//   name <escaped original name>
//   stamp <nanoseconds since 1970 UTC>
//   value <type> <data as lower-case hex> <escaped value name>
//   ...
//   end
// Escaped names keep printable ASCII except "%"; every other UTF-16 unit is
// written "%XXXX", so any name (line breaks, lone surrogates) survives.
//
// Atomicity: a record is replaced by writing a temporary file in the same
// folder, flushing it, renaming it over ".key" and flushing the folder. A key
// is created by preparing ".new-*" with its record and renaming the folder
// into place; a key tree is deleted by renaming it to ".del-*" first. Readers
// take no lock: every state they can observe is complete. Writers in other
// processes and other threads serialise on the lock file (each call opens
// its own descriptor, so flock also excludes threads of one process).
//
// Last-write time: stored in nanoseconds and moved forward on every value set
// or delete and on every touch, by at least 100 ns, so that the reported
// time (in 100 ns ticks, as Windows keeps it) changes with every change, even
// two within one clock reading. Creating or deleting a subkey leaves the
// parent's stamp alone, as on Windows. A stamp beyond the signed 64-bit range
// makes the record damaged. A damaged record's key reports its record file's
// modification time instead, so that repairing or replacing it is a change.
//
// A damaged (or unreadable) record makes its key unreadable: no values, no
// writes to it, RegistryKeyCheck says kUnreadable, and the listing of its
// parent names it by its folder name so that a walk over the tree meets it.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "platform/characters.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace zefa::platform {

namespace {

constexpr char kDefaultClavoraRoot[] = "/var/lib/clavora";
constexpr char kRecordFileName[] = ".key";
constexpr char kRecordHeader[] = "clavora-registry-key 1";
// Folder names stay well below NAME_MAX (255 bytes); longer escaped names are
// cut and completed with a hash of the whole lower-case name.
constexpr size_t kMaxFolderNameBytes = 200;
constexpr size_t kHashedPrefixBytes = 150;

std::atomic<uint64_t> g_unique_counter{0};

struct RootName {
  const char* folder;
  const char* display;
};

constexpr RootName kRoots[] = {
    {"hkey_local_machine", "HKEY_LOCAL_MACHINE"},   {"hkey_current_user", "HKEY_CURRENT_USER"},
    {"hkey_classes_root", "HKEY_CLASSES_ROOT"},     {"hkey_users", "HKEY_USERS"},
    {"hkey_current_config", "HKEY_CURRENT_CONFIG"},
};

struct KeyRecord {
  Text name;
  int64_t stamp_ns = 0;
  std::vector<RegistryValue> values;
};

// Where one key lives: the store folder, the root's folder name and the
// subkey names from the root down.
struct KeyLocation {
  std::string store;
  const RootName* root = nullptr;
  std::vector<Text> parts;
};

// ------------------------------------------------------------------ names

Text Lower(TextView text) {
  Text out(text);
  for (WChar& c : out) c = CharLower(c);
  return out;
}

bool NamesEqual(TextView a, TextView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (CharLower(a[i]) != CharLower(b[i])) return false;
  }
  return true;
}

void AppendEscapedUnit(std::string& out, uint16_t unit) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%%%04X", static_cast<unsigned>(unit));
  out += buffer;
}

bool IsHighSurrogate(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

uint64_t Fnv1a(TextView text) {
  uint64_t hash = 1469598103934665603ULL;
  for (WChar c : text) {
    const uint16_t u = static_cast<uint16_t>(c);
    hash = (hash ^ (u & 0xFF)) * 1099511628211ULL;
    hash = (hash ^ (u >> 8)) * 1099511628211ULL;
  }
  return hash;
}

// File-system name of a key folder: the lower-case name, UTF-8 for
// well-formed characters, "%XXXX" for "%", "/", "~", control characters, lone
// surrogates and a leading ".".
std::string FolderName(TextView name) {
  const Text lowered = Lower(name);
  std::string out;
  size_t cut = 0;
  for (size_t i = 0; i < lowered.size(); ++i) {
    if (out.size() <= kHashedPrefixBytes) cut = out.size();
    const uint16_t u = static_cast<uint16_t>(lowered[i]);
    if (u >= 0x20 && u < 0x7F) {
      if (u == '/' || u == '%' || u == '~' || (i == 0 && u == '.')) {
        AppendEscapedUnit(out, u);
      } else {
        out.push_back(static_cast<char>(u));
      }
    } else if (u < 0x80) {
      AppendEscapedUnit(out, u);
    } else if (IsHighSurrogate(u) && i + 1 < lowered.size() &&
               IsLowSurrogate(static_cast<uint16_t>(lowered[i + 1]))) {
      out += TextToUtf8(TextView(lowered).substr(i, 2));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendEscapedUnit(out, u);
    } else {
      out += TextToUtf8(TextView(lowered).substr(i, 1));
    }
  }
  if (out.size() > kMaxFolderNameBytes) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a(lowered)));
    out.resize(cut);
    out += hash;
  }
  return out;
}

// Names inside a record: printable ASCII except "%" as is, "%XXXX" otherwise.
std::string EscapeName(TextView name) {
  std::string out;
  out.reserve(name.size());
  for (WChar c : name) {
    const uint16_t u = static_cast<uint16_t>(c);
    if (u >= 0x20 && u < 0x7F && u != '%') {
      out.push_back(static_cast<char>(u));
    } else {
      AppendEscapedUnit(out, u);
    }
  }
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<Text> UnescapeName(std::string_view text) {
  Text out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(static_cast<WChar>(static_cast<unsigned char>(text[i])));
      continue;
    }
    if (i + 4 >= text.size()) return std::nullopt;
    uint16_t unit = 0;
    for (size_t k = 1; k <= 4; ++k) {
      const int digit = HexDigitValue(text[i + k]);
      if (digit < 0) return std::nullopt;
      unit = static_cast<uint16_t>((unit << 4) | digit);
    }
    out.push_back(static_cast<WChar>(unit));
    i += 4;
  }
  return out;
}

std::string HexEncode(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::optional<std::string> HexDecode(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigitValue(hex[i]);
    const int low = HexDigitValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>((high << 4) | low));
  }
  return out;
}

// ----------------------------------------------------------------- records

std::string SerializeRecord(const KeyRecord& record) {
  std::string out = kRecordHeader;
  out += "\nname ";
  out += EscapeName(record.name);
  out += "\nstamp ";
  out += std::to_string(record.stamp_ns);
  out += '\n';
  for (const RegistryValue& value : record.values) {
    out += "value ";
    out += std::to_string(value.type);
    out += ' ';
    out += HexEncode(value.data);
    out += ' ';
    out += EscapeName(value.name);
    out += '\n';
  }
  out += "end\n";
  return out;
}

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::optional<KeyRecord> ParseRecord(std::string_view text) {
  KeyRecord record;
  bool header = false;
  bool ended = false;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (ended) return std::nullopt;
    if (!header) {
      if (line != kRecordHeader) return std::nullopt;
      header = true;
    } else if (line.substr(0, 5) == "name ") {
      auto name = UnescapeName(line.substr(5));
      if (!name) return std::nullopt;
      record.name = *name;
    } else if (line.substr(0, 6) == "stamp ") {
      auto stamp = ParseUnsigned(line.substr(6));
      if (!stamp || *stamp > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      record.stamp_ns = static_cast<int64_t>(*stamp);
    } else if (line.substr(0, 6) == "value ") {
      const std::string_view rest = line.substr(6);
      const size_t type_end = rest.find(' ');
      if (type_end == std::string_view::npos) return std::nullopt;
      const size_t data_end = rest.find(' ', type_end + 1);
      if (data_end == std::string_view::npos) return std::nullopt;
      auto type = ParseUnsigned(rest.substr(0, type_end));
      auto data = HexDecode(rest.substr(type_end + 1, data_end - type_end - 1));
      auto name = UnescapeName(rest.substr(data_end + 1));
      if (!type || *type > 0xFFFFFFFFULL || !data || !name) return std::nullopt;
      RegistryValue value;
      value.name = std::move(*name);
      value.type = static_cast<uint32_t>(*type);
      value.data = std::move(*data);
      record.values.push_back(std::move(value));
    } else if (line == "end") {
      ended = true;
    } else {
      return std::nullopt;
    }
  }
  if (!ended) return std::nullopt;
  return record;
}

// -------------------------------------------------------------- file system

std::string StoreFolder() {
  const char* root = std::getenv("CLAVORA_ROOT");
  std::string base = (root != nullptr && root[0] != '\0') ? root : kDefaultClavoraRoot;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/registry";
}

std::string UniqueSuffix() {
  return std::to_string(static_cast<long long>(::getpid())) + "-" +
         std::to_string(g_unique_counter.fetch_add(1));
}

constexpr int64_t kStampStepNs = 100;  // one tick of the reported time
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;

int64_t NanosecondsToTicks(int64_t ns) { return ns / 100 + kTicksFrom1601To1970; }

int64_t NowNanoseconds() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeFolderTree(const std::string& path) {
  if (IsFolder(path)) return true;
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return IsFolder(path);
}

// nullopt when missing (errno ENOENT/ENOTDIR) or unreadable; `missing` tells
// which.
std::optional<std::string> ReadFileBytes(const std::string& path, bool* missing) {
  *missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *missing = errno == ENOENT || errno == ENOTDIR;
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return bytes;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

// Creates a new file with the bytes and flushes it to disk.
bool WriteNewFileDurably(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok) {
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool ReplaceFileAtomically(const std::string& folder, const std::string& name,
                           const std::string& bytes) {
  const std::string temporary = folder + "/.tmp-" + UniqueSuffix();
  if (!WriteNewFileDurably(temporary, bytes)) return false;
  if (::rename(temporary.c_str(), (folder + "/" + name).c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

int RemoveOneEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  ::nftw(path.c_str(), RemoveOneEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Holds the store's writer lock until destroyed (closing the descriptor
// releases the flock).
struct StoreLock {
  int fd = -1;
  StoreLock() = default;
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  ~StoreLock() {
    if (fd >= 0) ::close(fd);
  }
};

bool LockStore(const std::string& store, StoreLock* lock) {
  if (!MakeFolderTree(store)) return false;
  lock->fd = ::open((store + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock->fd < 0) return false;
  while (::flock(lock->fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// ------------------------------------------------------------------- keys

std::optional<KeyLocation> LocateKey(const Text& root, const Text& subkey) {
  KeyLocation location;
  const Text lowered_root = Lower(root);
  for (const RootName& candidate : kRoots) {
    if (lowered_root == AsciiToText(candidate.folder)) location.root = &candidate;
  }
  if (location.root == nullptr) return std::nullopt;
  size_t start = 0;
  while (start <= subkey.size()) {
    size_t end = subkey.find(static_cast<WChar>('\\'), start);
    if (end == Text::npos) end = subkey.size();
    if (end > start) location.parts.push_back(subkey.substr(start, end - start));
    start = end + 1;
  }
  location.store = StoreFolder();
  return location;
}

std::string RootFolder(const KeyLocation& key) { return key.store + "/" + key.root->folder; }

std::string KeyFolder(const KeyLocation& key, size_t depth) {
  std::string folder = RootFolder(key);
  for (size_t i = 0; i < depth; ++i) folder += "/" + FolderName(key.parts[i]);
  return folder;
}

std::string KeyFolder(const KeyLocation& key) { return KeyFolder(key, key.parts.size()); }

// The key's record; a folder without a record (a root key never written)
// reads as an empty record. nullopt when the record is unreadable or damaged.
std::optional<KeyRecord> LoadRecord(const std::string& folder) {
  bool missing = false;
  auto bytes = ReadFileBytes(folder + "/" + kRecordFileName, &missing);
  if (!bytes) {
    if (missing) return KeyRecord{};
    return std::nullopt;
  }
  return ParseRecord(*bytes);
}

// Removes what a writer that died half-way left in the folder (".tmp-*",
// ".new-*", ".del-*"). Only while holding the store lock: then no other
// writer is in the middle of its work.
void RemoveLeftovers(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> leftovers;
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, 5) == ".tmp-" || name.substr(0, 5) == ".new-" ||
        name.substr(0, 5) == ".del-") {
      leftovers.push_back(folder + "/" + entry->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& path : leftovers) RemoveTree(path);
}

// Creates one key below `parent`; the caller holds the store lock.
bool CreateKeyFolder(const std::string& parent, const Text& name) {
  RemoveLeftovers(parent);
  const std::string staging = parent + "/.new-" + UniqueSuffix();
  if (::mkdir(staging.c_str(), 0755) != 0) return false;
  KeyRecord record;
  record.name = name;
  record.stamp_ns = NowNanoseconds();
  const bool ok = WriteNewFileDurably(staging + "/" + kRecordFileName, SerializeRecord(record)) &&
                  SyncFolder(staging) &&
                  ::rename(staging.c_str(), (parent + "/" + FolderName(name)).c_str()) == 0;
  if (!ok) {
    RemoveTree(staging);
    return false;
  }
  SyncFolder(parent);
  return true;
}

// Creates every missing key of the path; the caller holds the store lock.
bool EnsureKey(const KeyLocation& key) {
  if (!MakeFolderTree(RootFolder(key))) return false;
  for (size_t depth = 1; depth <= key.parts.size(); ++depth) {
    if (IsFolder(KeyFolder(key, depth))) continue;
    if (!CreateKeyFolder(KeyFolder(key, depth - 1), key.parts[depth - 1])) return false;
  }
  return true;
}

// The stamp after `stamp`: the clock's time when it is later, otherwise one
// step on, so that it always changes. A stamp within a step of the end of the
// range (year 2262) goes back to the clock rather than overflowing.
int64_t NextStamp(int64_t stamp, int64_t now) {
  if (stamp <= INT64_MAX - kStampStepNs) return std::max(now, stamp + kStampStepNs);
  return now;
}

// Writes a changed record with its stamp moved forward; the caller holds the
// store lock.
bool StoreChangedRecord(const KeyLocation& key, const std::string& folder, KeyRecord& record) {
  RemoveLeftovers(folder);
  if (key.parts.empty()) record.name = AsciiToText(key.root->display);
  record.stamp_ns = NextStamp(record.stamp_ns, NowNanoseconds());
  return ReplaceFileAtomically(folder, kRecordFileName, SerializeRecord(record));
}

Text LowerSortKey(const Text& name) { return Lower(name); }

// The key name a folder name stands for ("%XXXX" units, UTF-8 otherwise):
// the lower-case name, which locates the folder again. A shortened name
// (ending in "~" and a hash) cannot be restored and is returned as it is.
Text NameOfFolder(std::string_view folder) {
  Text out;
  size_t start = 0;
  while (start < folder.size()) {
    const size_t percent = folder.find('%', start);
    const size_t end = percent == std::string_view::npos ? folder.size() : percent;
    out += Utf8ToText(folder.substr(start, end - start));
    if (end == folder.size()) break;
    auto unit = UnescapeName(folder.substr(end, 5));
    if (!unit || end + 5 > folder.size()) {
      out += Utf8ToText(folder.substr(end, 1));
      start = end + 1;
    } else {
      out += *unit;
      start = end + 5;
    }
  }
  return out;
}

// Modification time of a file in nanoseconds since 1970; 0 when missing.
int64_t FileModifiedNanoseconds(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

}  // namespace

std::optional<RegistryValue> RegistryRead(const Text& root, const Text& subkey, const Text& name,
                                          int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return std::nullopt;
  auto record = LoadRecord(KeyFolder(*key));
  if (!record) return std::nullopt;
  for (RegistryValue& value : record->values) {
    if (NamesEqual(value.name, name)) return std::move(value);
  }
  return std::nullopt;
}

int64_t RegistryKeyLastWriteTicks(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return 0;
  const std::string folder = KeyFolder(*key);
  if (!IsFolder(folder)) return 0;
  auto record = LoadRecord(folder);
  if (!record) {
    const int64_t modified = FileModifiedNanoseconds(folder + "/" + kRecordFileName);
    return modified > 0 ? NanosecondsToTicks(modified) : 0;
  }
  if (record->stamp_ns <= 0) return 0;  // a root key never written
  return NanosecondsToTicks(record->stamp_ns);
}

bool RegistryTouchKey(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return false;
  StoreLock lock;
  if (!LockStore(key->store, &lock)) return false;
  const std::string folder = KeyFolder(*key);
  if (!IsFolder(folder)) return false;
  auto record = LoadRecord(folder);
  if (!record) return false;  // a damaged record is left for inspection
  return StoreChangedRecord(*key, folder, *record);
}

RegistryKeyState RegistryKeyCheck(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return RegistryKeyState::kMissing;
  const std::string folder = KeyFolder(*key);
  if (!key->parts.empty() && !IsFolder(folder)) return RegistryKeyState::kMissing;
  return LoadRecord(folder) ? RegistryKeyState::kReadable : RegistryKeyState::kUnreadable;
}

bool RegistryCreateKey(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return false;
  StoreLock lock;
  return LockStore(key->store, &lock) && EnsureKey(*key);
}

bool RegistryWrite(const Text& root, const Text& subkey, const RegistryValue& value, int view) {
  return RegistryWriteValues(root, subkey, {value}, view);
}

bool RegistryWriteValues(const Text& root, const Text& subkey,
                         const std::vector<RegistryValue>& values, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return false;
  StoreLock lock;
  if (!LockStore(key->store, &lock) || !EnsureKey(*key)) return false;
  const std::string folder = KeyFolder(*key);
  auto record = LoadRecord(folder);
  if (!record) return false;  // a damaged record is left for inspection
  // Values by their lower-case name, so each one is found at once.
  std::unordered_map<Text, size_t> index;
  index.reserve(record->values.size() + values.size());
  for (size_t i = 0; i < record->values.size(); ++i)
    index.emplace(Lower(record->values[i].name), i);
  for (const RegistryValue& value : values) {
    const auto [at, added] = index.emplace(Lower(value.name), record->values.size());
    if (added) {
      record->values.push_back(value);
    } else {
      RegistryValue& existing = record->values[at->second];
      existing.type = value.type;  // the first spelling of the name stays
      existing.data = value.data;
    }
  }
  return StoreChangedRecord(*key, folder, *record);
}

bool RegistryDeleteValue(const Text& root, const Text& subkey, const Text& name, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return false;
  StoreLock lock;
  if (!LockStore(key->store, &lock)) return false;
  const std::string folder = KeyFolder(*key);
  if (!IsFolder(folder)) return false;
  auto record = LoadRecord(folder);
  if (!record) return false;
  auto existing = std::find_if(record->values.begin(), record->values.end(),
                               [&](const RegistryValue& v) { return NamesEqual(v.name, name); });
  if (existing == record->values.end()) return false;
  record->values.erase(existing);
  return StoreChangedRecord(*key, folder, *record);
}

bool RegistryDeleteKey(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key || key->parts.empty()) return false;  // root keys cannot be deleted
  StoreLock lock;
  if (!LockStore(key->store, &lock)) return false;
  const std::string folder = KeyFolder(*key);
  if (!IsFolder(folder)) return false;
  const std::string parent = KeyFolder(*key, key->parts.size() - 1);
  const std::string doomed = parent + "/.del-" + UniqueSuffix();
  if (::rename(folder.c_str(), doomed.c_str()) != 0) return false;
  SyncFolder(parent);
  RemoveLeftovers(parent);
  return true;
}

bool RegistryKeyExists(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return false;
  return key->parts.empty() || IsFolder(KeyFolder(*key));
}

std::vector<Text> RegistrySubkeys(const Text& root, const Text& subkey, int /*view*/) {
  std::vector<Text> names;
  auto key = LocateKey(root, subkey);
  if (!key) return names;
  const std::string folder = KeyFolder(*key);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const struct dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string child = folder + "/" + entry->d_name;
    if (!IsFolder(child)) continue;
    auto record = LoadRecord(child);
    if (!record) {
      if (IsFolder(child)) names.push_back(NameOfFolder(entry->d_name));  // damaged
      continue;
    }
    names.push_back(record->name.empty() ? NameOfFolder(entry->d_name) : record->name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(),
            [](const Text& a, const Text& b) { return LowerSortKey(a) < LowerSortKey(b); });
  return names;
}

std::vector<RegistryValue> RegistryValues(const Text& root, const Text& subkey, int /*view*/) {
  auto key = LocateKey(root, subkey);
  if (!key) return {};
  auto record = LoadRecord(KeyFolder(*key));
  if (!record) return {};
  return std::move(record->values);
}

}  // namespace zefa::platform

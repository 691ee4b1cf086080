// File system operations on the wide-character Win32 file calls.

#include "platform/windows/win_util.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <atomic>

#include "platform/time.h"
#include "platform/files.h"

namespace zefa::platform {

namespace {

std::atomic<uint32_t> g_temporary_counter{0};

// Only the owner, the system and the administrators; nothing inherited.
constexpr wchar_t kOwnerOnlyDescriptor[] = L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)";

// The path as the system takes it; nullopt for an empty path or one with a NUL.
std::optional<Text> NativePath(const Text& path) {
  if (path.empty() || HasNul(path)) return std::nullopt;
  return path;
}

bool Attributes(const Text& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return !path.empty() && !HasNul(path) &&
         GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE;
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (WriteFile(file, data, chunk, &written, nullptr) == FALSE || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// Backslashes only, no doubled separators (a leading "\\" of a UNC path
// stays), no trailing separator.
Text CleanFolderPath(const Text& path) {
  Text out;
  for (size_t i = 0; i < path.size(); ++i) {
    const WChar c = path[i] == L'/' ? L'\\' : path[i];
    if (c == L'\\' && !out.empty() && out.back() == L'\\' && i > 1) continue;
    out.push_back(c);
  }
  while (out.size() > 3 && out.back() == L'\\') out.pop_back();
  return out;
}

size_t LastSeparator(const Text& path) { return path.find_last_of(L"\\/"); }

// A security descriptor made from its text form, freed with the object.
struct Descriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  explicit Descriptor(const wchar_t* text) {
    if (text != nullptr && ConvertStringSecurityDescriptorToSecurityDescriptorW(
                               text, SDDL_REVISION_1, &descriptor, nullptr) == FALSE) {
      descriptor = nullptr;
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
};

}  // namespace

WChar PathSeparator() { return L'\\'; }

bool IsAbsolutePath(const Text& path) {
  return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
         (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\');
}

std::filesystem::path PathFromText(const Text& path) {
  return std::filesystem::path(std::wstring(path.begin(), path.end()));
}

std::FILE* OpenStream(const std::filesystem::path& path, const char* mode) {
  std::wstring wide_mode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wide_mode.c_str());
}

bool FileExists(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, data);
}

bool DirectoryExists(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

PathAccess CheckPathAccess(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || HasNul(path)) return PathAccess::kMissing;
  if (!Attributes(path, data)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                   error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH
               ? PathAccess::kMissing
               : PathAccess::kDenied;
  }
  // A folder opens for reading only with backup semantics.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return PathAccess::kDenied;
  CloseHandle(handle);
  return PathAccess::kReadable;
}

int64_t FileSize(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                              data.nFileSizeLow);
}

int64_t FileModifiedLocal(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, data)) return 0;
  return UtcToLocal(FileTimeToSeconds(data.ftLastWriteTime));
}

bool CreateFolder(const Text& path) {
  const auto native = NativePath(path);
  return native && CreateDirectoryW(native->c_str(), nullptr) != FALSE;
}

bool CreateFolderTree(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return false;
  // The shell's call wants a full path.
  const Text clean = CleanFolderPath(*native);
  wchar_t full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameW(clean.c_str(), MAX_PATH * 4, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 4) return false;
  SHCreateDirectoryExW(nullptr, full, nullptr);  // failures show in the final test
  return DirectoryExists(full);
}

std::optional<std::string> ReadWholeFile(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return std::nullopt;
  ScopedHandle file(CreateFileW(native->c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return std::nullopt;
  std::string contents;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (ReadFile(file.handle, buffer, sizeof buffer, &got, nullptr) == FALSE) return std::nullopt;
    if (got == 0) return contents;
    contents.append(buffer, got);
  }
}

FileRead ReadRegularFile(const Text& path, size_t max_bytes, std::string& out) {
  out.clear();
  const auto native = NativePath(path);
  if (!native) return FileRead::kFailed;
  // A pipe's name opens at once or fails (busy), it never waits; what is
  // opened must be a file on a disk.
  ScopedHandle file(CreateFileW(native->c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::kMissing
                                                                          : FileRead::kFailed;
  }
  if (GetFileType(file.handle) != FILE_TYPE_DISK) return FileRead::kNotRegular;
  char buffer[65536];
  while (out.size() < max_bytes) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, max_bytes - out.size()));
    if (ReadFile(file.handle, buffer, want, &got, nullptr) == FALSE) {
      out.clear();
      return FileRead::kFailed;
    }
    if (got == 0) break;
    out.append(buffer, got);
  }
  return FileRead::kRead;
}

bool AppendToFile(const Text& path, const std::string& bytes) {
  const auto native = NativePath(path);
  if (!native) return false;
  HANDLE file = CreateFileW(native->c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Writers of one machine take the log's lock file around this call, so
  // the end found here is where the bytes go.
  LARGE_INTEGER before{};
  const bool sized = GetFileSizeEx(file, &before) != FALSE &&
                     SetFilePointerEx(file, before, nullptr, FILE_BEGIN) != FALSE;
  const bool written = sized && WriteAll(file, bytes.data(), bytes.size());
  // A full disk may take part of the bytes: the file is cut back to where
  // it ended, so the next line starts on a line of its own.
  if (!written && sized && SetFilePointerEx(file, before, nullptr, FILE_BEGIN) != FALSE)
    SetEndOfFile(file);
  return CloseHandle(file) != FALSE && written;
}

struct FileLock {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FileLock* LockFileExclusive(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return nullptr;
  HANDLE file = CreateFileW(native->c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  OVERLAPPED at{};  // the first byte; waits while another handle holds it
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) == FALSE) {
    CloseHandle(file);
    return nullptr;
  }
  return new FileLock{file};
}

void UnlockFile(FileLock* lock) {
  if (lock == nullptr) return;
  OVERLAPPED at{};
  UnlockFileEx(lock->file, 0, 1, 0, &at);
  CloseHandle(lock->file);
  delete lock;
}

bool ReplaceFileAtomically(const Text& path, const std::string& bytes, bool owner_only) {
  const auto native = NativePath(path);
  if (!native || native->back() == L'\\' || native->back() == L'/') return false;
  const size_t separator = LastSeparator(*native);
  const Text folder = separator == Text::npos ? Text() : native->substr(0, separator + 1);
  const Text name = separator == Text::npos ? *native : native->substr(separator + 1);
  const Text temporary = folder + L"." + name + L".tmp-" +
                         IntegerToText(static_cast<int64_t>(GetCurrentProcessId())) + L"-" +
                         IntegerToText(g_temporary_counter.fetch_add(1));

  Descriptor descriptor(owner_only ? kOwnerOnlyDescriptor : nullptr);
  if (owner_only && descriptor.descriptor == nullptr) return false;
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.descriptor, FALSE};
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, owner_only ? &security : nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, bytes.data(), bytes.size()) && FlushFileBuffers(file) != FALSE;
  ok = CloseHandle(file) != FALSE && ok;
  if (!ok || MoveFileExW(temporary.c_str(), native->c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool DeleteFile(const Text& path) {
  const auto native = NativePath(path);
  return native && DeleteFileW(native->c_str()) != FALSE;
}

bool RenameFile(const Text& from, const Text& to) {
  const auto native_from = NativePath(from);
  const auto native_to = NativePath(to);
  return native_from && native_to &&
         MoveFileExW(native_from->c_str(), native_to->c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::vector<Text> FilesInFolder(const Text& folder) {
  std::vector<Text> names;
  const auto native = NativePath(folder);
  if (!native) return names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((*native + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

bool CopyFile(const Text& from, const Text& to) {
  const auto native_from = NativePath(from);
  const auto native_to = NativePath(to);
  if (!native_from || !native_to || DirectoryExists(from)) return false;
  // Copying a file onto itself would at best do nothing; refuse it like
  // everywhere else.
  wchar_t full_from[MAX_PATH * 4], full_to[MAX_PATH * 4];
  const DWORD a = GetFullPathNameW(native_from->c_str(), MAX_PATH * 4, full_from, nullptr);
  const DWORD b = GetFullPathNameW(native_to->c_str(), MAX_PATH * 4, full_to, nullptr);
  if (a == 0 || b == 0 || a >= MAX_PATH * 4 || b >= MAX_PATH * 4 ||
      CompareStringOrdinal(full_from, -1, full_to, -1, TRUE) == CSTR_EQUAL) {
    return false;
  }
  return CopyFileW(native_from->c_str(), native_to->c_str(), FALSE) != FALSE;
}

}  // namespace zefa::platform

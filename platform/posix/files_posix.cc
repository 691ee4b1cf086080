// File system operations. Paths arrive as UTF-16 text and are handed to the
// kernel as UTF-8.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "platform/time.h"
#include "platform/files.h"

namespace zefa::platform {

namespace {

// The UTF-8 form of a path; nullopt for an empty path or one with a NUL.
std::optional<std::string> NativePath(const Text& path) {
  if (path.empty() || path.find(WChar{0}) != Text::npos) return std::nullopt;
  return TextToUtf8(path);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Reads what is left of `fd` into `out`.
bool ReadAll(int fd, std::string& out) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.append(buffer, static_cast<size_t>(got));
  }
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsSameFile(const struct stat& info, const std::string& path) {
  struct stat other {};
  return stat(path.c_str(), &other) == 0 && other.st_dev == info.st_dev &&
         other.st_ino == info.st_ino;
}

void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

WChar PathSeparator() { return u'/'; }

bool IsAbsolutePath(const Text& path) { return !path.empty() && path[0] == u'/'; }

std::filesystem::path PathFromText(const Text& path) {
  return std::filesystem::path(TextToUtf8(path));
}

std::FILE* OpenStream(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool FileExists(const Text& path) {
  const auto native = NativePath(path);
  struct stat info {};
  return native && lstat(native->c_str(), &info) == 0;  // a dangling link exists too
}

bool DirectoryExists(const Text& path) {
  const auto native = NativePath(path);
  struct stat info {};
  return native && stat(native->c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

PathAccess CheckPathAccess(const Text& path) {
  const auto native = NativePath(path);
  struct stat info {};
  if (!native) return PathAccess::kMissing;
  if (stat(native->c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? PathAccess::kMissing : PathAccess::kDenied;
  const int mode = S_ISDIR(info.st_mode) ? (R_OK | X_OK) : R_OK;
  return access(native->c_str(), mode) == 0 ? PathAccess::kReadable : PathAccess::kDenied;
}

int64_t FileSize(const Text& path) {
  const auto native = NativePath(path);
  struct stat info {};
  if (!native || stat(native->c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return -1;
  return static_cast<int64_t>(info.st_size);
}

int64_t FileModifiedLocal(const Text& path) {
  const auto native = NativePath(path);
  struct stat info {};
  if (!native || stat(native->c_str(), &info) != 0) return 0;
  return UtcToLocal(static_cast<int64_t>(info.st_mtime));
}

bool CreateFolder(const Text& path) {
  const auto native = NativePath(path);
  return native && mkdir(native->c_str(), 0755) == 0;
}

bool CreateFolderTree(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return false;
  // Create every prefix that ends just before a separator, then the whole.
  for (size_t slash = native->find('/', 1); slash != std::string::npos;
       slash = native->find('/', slash + 1)) {
    if ((*native)[slash - 1] == '/') continue;
    mkdir(native->substr(0, slash).c_str(), 0755);  // failures show in the final test
  }
  mkdir(native->c_str(), 0755);
  return DirectoryExists(path);
}

std::optional<std::string> ReadWholeFile(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return std::nullopt;
  const int fd = open(native->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  const bool ok = ReadAll(fd, contents);
  close(fd);
  if (!ok) return std::nullopt;
  return contents;
}

FileRead ReadRegularFile(const Text& path, size_t max_bytes, std::string& out) {
  out.clear();
  const auto native = NativePath(path);
  if (!native) return FileRead::kFailed;
  const int fd = open(native->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? FileRead::kMissing : FileRead::kFailed;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    close(fd);
    return FileRead::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    return FileRead::kNotRegular;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  bool ok = true;
  if (max_bytes > 0) {
    out.resize(static_cast<size_t>(
        std::min<uint64_t>(max_bytes, static_cast<uint64_t>(info.st_size) + 1)));
  }
  size_t used = 0;
  while (ok && used < max_bytes) {
    if (used == out.size()) out.resize(std::min(max_bytes, out.size() * 2 + 4096));
    const ssize_t got = read(fd, out.data() + used, out.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    used += static_cast<size_t>(got);
  }
  close(fd);
  out.resize(ok ? used : 0);
  return ok ? FileRead::kRead : FileRead::kFailed;
}

bool AppendToFile(const Text& path, const std::string& bytes) {
  const auto native = NativePath(path);
  if (!native) return false;
  const int fd = open(native->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat before {};
  const bool sized = fstat(fd, &before) == 0;
  bool written = WriteAll(fd, bytes.data(), bytes.size());
  // A full disk may take part of the bytes: the file is cut back to where
  // it ended, so the next line starts on a line of its own.
  if (!written && sized) {
    while (ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
    }
  }
  // Writes that the file system only refuses when it flushes (a network
  // share) show in close; the line is then not known to be there.
  return close(fd) == 0 && written;
}

struct FileLock {
  int fd = -1;
};

FileLock* LockFileExclusive(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return nullptr;
  const int fd = open(native->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    close(fd);
    return nullptr;
  }
  return new FileLock{fd};
}

void UnlockFile(FileLock* lock) {
  if (lock == nullptr) return;
  close(lock->fd);  // releases the lock
  delete lock;
}

bool ReplaceFileAtomically(const Text& path, const std::string& bytes, bool owner_only) {
  const auto native = NativePath(path);
  if (!native || native->back() == '/') return false;
  const std::string folder = ParentFolder(*native);
  const std::string name = native->substr(native->find_last_of('/') + 1);
  std::string temp = (folder == "/" ? "" : folder) + "/." + name + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, owner_only ? 0600 : 0644) == 0 && WriteAll(fd, bytes.data(), bytes.size()) &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), native->c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

bool DeleteFile(const Text& path) {
  const auto native = NativePath(path);
  return native && unlink(native->c_str()) == 0;
}

bool RenameFile(const Text& from, const Text& to) {
  const auto native_from = NativePath(from);
  const auto native_to = NativePath(to);
  return native_from && native_to && rename(native_from->c_str(), native_to->c_str()) == 0;
}

std::vector<Text> FilesInFolder(const Text& folder) {
  std::vector<Text> names;
  const auto native = NativePath(folder);
  if (!native) return names;
  DIR* dir = opendir(native->c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat info {};
    if (stat((*native + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    names.push_back(Utf8ToText(name));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool CopyFile(const Text& from, const Text& to) {
  const auto native_from = NativePath(from);
  const auto native_to = NativePath(to);
  if (!native_from || !native_to) return false;
  const int source = open(native_from->c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return false;
  struct stat source_info {};
  if (fstat(source, &source_info) != 0 || !S_ISREG(source_info.st_mode) ||
      IsSameFile(source_info, *native_to)) {
    close(source);  // copying a file onto itself would truncate it
    return false;
  }
  const mode_t mode = source_info.st_mode & 07777;
  const int target = open(native_to->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (target < 0) {
    close(source);
    return false;
  }
  bool ok = fchmod(target, mode) == 0;
  char buffer[65536];
  while (ok) {
    const ssize_t got = read(source, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = WriteAll(target, buffer, static_cast<size_t>(got));
  }
  close(source);
  return close(target) == 0 && ok;
}

bool CreateFolderLink(const Text& link, const Text& target) {
  const auto native_link = NativePath(link);
  const auto native_target = NativePath(target);
  return native_link && native_target && symlink(native_target->c_str(), native_link->c_str()) == 0;
}

bool MakeFolderPrivate(const Text& path) {
  const auto native = NativePath(path);
  if (!native || !DirectoryExists(path)) return false;
  // Extended access lists would keep grants that the mode bits do not show.
  // Without them (or where the file system has none) the mode is the whole
  // story, and 0700 leaves the owner alone.
  removexattr(native->c_str(), "system.posix_acl_access");
  removexattr(native->c_str(), "system.posix_acl_default");
  return chmod(native->c_str(), 0700) == 0;
}

}  // namespace zefa::platform

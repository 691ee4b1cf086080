// The platform layer: files and folders, locks, mapped files. One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <cstdio>
#include <filesystem>

#include "platform/text.h"

namespace zefa::platform {

// Path separator of the platform ('\\' on Windows, '/' elsewhere).
WChar PathSeparator();

// True for a path that does not depend on the current folder: "/..." on
// POSIX; "X:\...", "X:/..." or "\\server\..." on Windows.
bool IsAbsolutePath(const Text& path);

// The file-system path of a text path (wide characters on Windows, UTF-8
// elsewhere).
std::filesystem::path PathFromText(const Text& path);

// Opens a C stream by path on every platform (wide names on Windows);
// nullptr when it cannot be opened.
std::FILE* OpenStream(const std::filesystem::path& path, const char* mode);

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

// How a ReadRegularFile call went.
enum class FileRead { kRead, kMissing, kNotRegular, kFailed };

// Reads the first `max_bytes` bytes of a regular file (all of it when it is
// shorter) into `out`. The file is opened without waiting for a writer
// (POSIX: O_NONBLOCK, then S_ISREG on the open descriptor; Windows: the
// handle must be a disk file), so a FIFO, a device or a socket in its place
// never blocks the caller: anything but a regular file gives kNotRegular and
// nothing is read. kMissing when nothing is there, kFailed when it cannot be
// opened or read (`out` is then empty).
FileRead ReadRegularFile(const Text& path, size_t max_bytes, std::string& out);

// Appends bytes to a file, creating it when missing. The file is opened,
// written, flushed and closed within the call, with read sharing, so other
// programs may read, copy or delete it between calls. All or nothing: when
// the bytes cannot all be written (a full disk), the file is cut back to its
// size before the call, so no partial line is left behind. False when it
// cannot be opened or written.
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

// nullptr when the file cannot be opened or mapped, or is no regular file
// (opened without waiting for a writer, so a FIFO never blocks the caller);
// `error` then says why.
// An empty file maps to a valid handle with size 0.
MappedFile* MapFileReadOnly(const Text& path, std::string* error);
const unsigned char* MappedFileData(const MappedFile* file);
uint64_t MappedFileSize(const MappedFile* file);
void UnmapFile(MappedFile* file);  // nullptr is ignored

// How many of the mapped pages from byte `offset` for `length` bytes are in
// memory now (mincore on POSIX); -1 where the platform cannot tell.
int64_t MappedFileResidentPages(const MappedFile* file, uint64_t offset, uint64_t length);

// Page hints for a range of a mapping, for a reader that walks the file in
// order: kWillNeed starts reading the range in the background, kDontNeed
// takes the range's pages out of this process's memory (the system's file
// cache may keep them). False when the platform ignored the hint.
enum class MappedPageAdvice { kWillNeed, kDontNeed };
bool AdviseMappedPages(const MappedFile* file, uint64_t offset, uint64_t length,
                       MappedPageAdvice advice);

// Asks the system to drop the file's cached pages (those no mapping holds),
// so that the next reads come from the disk. False when it cannot.
bool DropFileFromCache(const Text& path);

}  // namespace zefa::platform

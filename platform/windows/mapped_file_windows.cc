// Read-only file mappings with CreateFileMappingW and MapViewOfFile. The file
// is opened with delete sharing, so that it can be renamed away while mapped.

#include "platform/windows/win_util.h"

#include "platform/files.h"

namespace zefa::platform {

struct MappedFile {
  const void* data = nullptr;
  uint64_t size = 0;
};

namespace {

std::string LastErrorText(const char* what) {
  return std::string(what) + ": error " + std::to_string(GetLastError());
}

}  // namespace

MappedFile* MapFileReadOnly(const Text& path, std::string* error) {
  auto fail = [&](const std::string& why) -> MappedFile* {
    if (error != nullptr) *error = why;
    return nullptr;
  };
  if (path.empty() || HasNul(path)) return fail("invalid file name");
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail(LastErrorText("cannot open"));
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return fail("not a regular file");
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(handle, &size) == FALSE) {
    const std::string why = LastErrorText("cannot examine");
    CloseHandle(handle);
    return fail(why);
  }
  auto* file = new MappedFile;
  file->size = static_cast<uint64_t>(size.QuadPart);
  if (file->size > 0) {
    HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
      const std::string why = LastErrorText("cannot map");
      CloseHandle(handle);
      delete file;
      return fail(why);
    }
    file->data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    const std::string why = LastErrorText("cannot map");
    CloseHandle(mapping);  // the view keeps the mapping and the file
    if (file->data == nullptr) {
      CloseHandle(handle);
      delete file;
      return fail(why);
    }
  }
  CloseHandle(handle);
  return file;
}

const unsigned char* MappedFileData(const MappedFile* file) {
  return file == nullptr ? nullptr : static_cast<const unsigned char*>(file->data);
}

uint64_t MappedFileSize(const MappedFile* file) { return file == nullptr ? 0 : file->size; }

void UnmapFile(MappedFile* file) {
  if (file == nullptr) return;
  if (file->data != nullptr) UnmapViewOfFile(file->data);
  delete file;
}

int64_t MappedFileResidentPages(const MappedFile*, uint64_t, uint64_t) { return -1; }

bool AdviseMappedPages(const MappedFile* file, uint64_t offset, uint64_t length,
                       MappedPageAdvice advice) {
  if (file == nullptr || file->data == nullptr || offset >= file->size || length == 0) return false;
  if (length > file->size - offset) length = file->size - offset;
  char* start = static_cast<char*>(const_cast<void*>(file->data)) + offset;
  if (advice == MappedPageAdvice::kDontNeed) {
    // Unlocking pages that are not locked removes them from the working set.
    return VirtualUnlock(start, static_cast<SIZE_T>(length)) != 0 ||
           GetLastError() == ERROR_NOT_LOCKED;
  }
  // PrefetchVirtualMemory exists from Windows 8 on; older systems ignore the hint.
  using PrefetchFunction = BOOL(WINAPI*)(HANDLE, ULONG_PTR, PVOID, ULONG);
  struct RangeEntry {
    PVOID VirtualAddress;
    SIZE_T NumberOfBytes;
  };
  static const auto prefetch = reinterpret_cast<PrefetchFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "PrefetchVirtualMemory")));
  if (prefetch == nullptr) return false;
  RangeEntry range{start, static_cast<SIZE_T>(length)};
  return prefetch(GetCurrentProcess(), 1, &range, 0) != 0;
}

bool DropFileFromCache(const Text&) { return false; }

}  // namespace zefa::platform

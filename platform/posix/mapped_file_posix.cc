// Read-only file mappings with mmap; random access is announced so that a
// page fault reads only the page it needs.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/files.h"

namespace zefa::platform {

struct MappedFile {
  void* data = nullptr;
  uint64_t size = 0;
};

namespace {

std::string ErrnoText(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

MappedFile* MapFileReadOnly(const Text& path, std::string* error) {
  auto fail = [&](const std::string& why) -> MappedFile* {
    if (error != nullptr) *error = why;
    return nullptr;
  };
  if (path.empty() || path.find(WChar{0}) != Text::npos) return fail("invalid file name");
  // Not waiting for a writer: a FIFO in the file's place is refused below
  // instead of blocking the caller.
  const int fd = open(TextToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(ErrnoText("cannot open"));
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const std::string why = ErrnoText("cannot examine");
    close(fd);
    return fail(why);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    return fail("not a regular file");
  }
  auto* file = new MappedFile;
  file->size = static_cast<uint64_t>(info.st_size);
  if (file->size > 0) {
    void* data = mmap(nullptr, file->size, PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      const std::string why = ErrnoText("cannot map");
      close(fd);
      delete file;
      return fail(why);
    }
    madvise(data, file->size, MADV_RANDOM);
    file->data = data;
  }
  close(fd);  // the mapping keeps the file
  return file;
}

const unsigned char* MappedFileData(const MappedFile* file) {
  return file == nullptr ? nullptr : static_cast<const unsigned char*>(file->data);
}

uint64_t MappedFileSize(const MappedFile* file) { return file == nullptr ? 0 : file->size; }

void UnmapFile(MappedFile* file) {
  if (file == nullptr) return;
  if (file->data != nullptr) munmap(file->data, file->size);
  delete file;
}

int64_t MappedFileResidentPages(const MappedFile* file, uint64_t offset, uint64_t length) {
  if (file == nullptr || file->data == nullptr || offset >= file->size) return 0;
  if (length > file->size - offset) length = file->size - offset;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t first = offset / page * page;
  const uint64_t end = offset + length;
  const size_t pages = static_cast<size_t>((end - first + page - 1) / page);
  std::vector<unsigned char> residency(pages);
  if (mincore(static_cast<char*>(file->data) + first, end - first, residency.data()) != 0)
    return -1;
  int64_t resident = 0;
  for (unsigned char flag : residency) resident += flag & 1;
  return resident;
}

bool AdviseMappedPages(const MappedFile* file, uint64_t offset, uint64_t length,
                       MappedPageAdvice advice) {
  if (file == nullptr || file->data == nullptr || offset >= file->size || length == 0) return false;
  if (length > file->size - offset) length = file->size - offset;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t first = offset / page * page;
  return madvise(static_cast<char*>(file->data) + first, offset + length - first,
                 advice == MappedPageAdvice::kWillNeed ? MADV_WILLNEED : MADV_DONTNEED) == 0;
}

bool DropFileFromCache(const Text& path) {
  // Not waiting for a writer: a FIFO in the file's place is refused below
  // instead of blocking the caller.
  const int fd = open(TextToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  fdatasync(fd);  // dirty pages cannot be dropped
  const bool ok = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  return ok;
}

}  // namespace zefa::platform

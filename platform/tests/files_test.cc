#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/files.h"
#include "platform/tests/test_folder.h"

namespace zefa::platform {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempFolder;

int ModeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

size_t EntriesIn(const std::string& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

TEST(Files, ExistenceSizeAndDate) {
  TempFolder dir;
  const Text file = dir.Wide("a.txt");
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(FileSize(file), -1);
  EXPECT_EQ(FileModifiedLocal(file), 0);
  EXPECT_FALSE(FileExists(Text()));

  ASSERT_TRUE(AppendToFile(file, "hello"));
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_EQ(FileSize(file), 5);
  EXPECT_TRUE(DirectoryExists(Utf8ToText(dir.path())));
  EXPECT_EQ(FileSize(Utf8ToText(dir.path())), -1);

  const utimbuf times{1705320000, 1705320000};  // 2024-01-15 12:00:00 UTC
  ASSERT_EQ(utime(dir.File("a.txt").c_str(), &times), 0);
  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(FileModifiedLocal(file), 1705320000 + 3600);
}

TEST(Files, NonAsciiNamesReachTheFileSystemAsUtf8) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(Utf8ToText(dir.File("Grüße 日本.log")), "x"));
  EXPECT_TRUE(fs::exists(dir.File("Grüße 日本.log")));
}

TEST(Files, AppendCreatesThenAppendsAndReadReturnsEveryByte) {
  TempFolder dir;
  const Text file = dir.Wide("log.txt");
  const std::string binary("a\0b\xff", 4);
  ASSERT_TRUE(AppendToFile(file, "line 1\n"));
  ASSERT_TRUE(AppendToFile(file, binary));
  EXPECT_EQ(ReadWholeFile(file), "line 1\n" + binary);
  EXPECT_EQ(ReadWholeFile(dir.Wide("missing")), std::nullopt);
  EXPECT_EQ(ReadWholeFile(Utf8ToText(dir.path())), std::nullopt);
  EXPECT_FALSE(AppendToFile(dir.Wide("no/such/folder.txt"), "x"));
}

TEST(Files, ReplaceAtomicallySwapsContentsAndLeavesNoTemporaryFile) {
  TempFolder dir;
  const Text file = dir.Wide("state.bin");
  ASSERT_TRUE(ReplaceFileAtomically(file, "old contents", false));
  EXPECT_EQ(ModeOf(dir.File("state.bin")), 0644);
  ASSERT_TRUE(ReplaceFileAtomically(file, "new", true));
  EXPECT_EQ(ReadWholeFile(file), "new");
  EXPECT_EQ(ModeOf(dir.File("state.bin")), 0600);
  EXPECT_EQ(EntriesIn(dir.path()), 1u);

  // A target that cannot be replaced stays as it was, with no debris.
  ASSERT_TRUE(CreateFolder(dir.Wide("sub")));
  ASSERT_TRUE(AppendToFile(dir.Wide("sub/keep"), "k"));
  EXPECT_FALSE(ReplaceFileAtomically(dir.Wide("sub"), "x", false));
  EXPECT_EQ(ReadWholeFile(dir.Wide("sub/keep")), "k");
  EXPECT_EQ(EntriesIn(dir.path()), 2u);
  EXPECT_FALSE(ReplaceFileAtomically(dir.Wide("missing/state.bin"), "x", false));
}

TEST(Files, FoldersAndFolderTrees) {
  TempFolder dir;
  EXPECT_TRUE(CreateFolder(dir.Wide("one")));
  EXPECT_FALSE(CreateFolder(dir.Wide("one")));  // already there
  EXPECT_FALSE(CreateFolder(dir.Wide("x/y")));  // parent missing

  EXPECT_TRUE(CreateFolderTree(dir.Wide("a//b/c/")));
  EXPECT_TRUE(DirectoryExists(dir.Wide("a/b/c")));
  EXPECT_TRUE(CreateFolderTree(dir.Wide("a/b/c")));  // exists afterwards: true

  ASSERT_TRUE(AppendToFile(dir.Wide("file"), "x"));
  EXPECT_FALSE(CreateFolderTree(dir.Wide("file/sub")));
}

TEST(Files, FilesInFolderListsPlainFilesSorted) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.Wide("b.log"), "x"));
  ASSERT_TRUE(AppendToFile(dir.Wide("a~.log"), "x"));
  ASSERT_TRUE(AppendToFile(dir.Wide("Grüße.log"), "x"));
  ASSERT_TRUE(CreateFolder(dir.Wide("sub.log")));
  fs::create_directory_symlink(dir.File("sub.log"), dir.File("link.log"));
  const std::vector<Text> names = FilesInFolder(dir.Wide(""));
  EXPECT_EQ(names, (std::vector<Text>{ZT("Grüße.log"), ZT("a~.log"), ZT("b.log")}));
  EXPECT_TRUE(FilesInFolder(dir.Wide("missing")).empty());
  EXPECT_TRUE(FilesInFolder(dir.Wide("b.log")).empty());
  EXPECT_TRUE(FilesInFolder(Text()).empty());
}

TEST(Files, DeleteRenameAndCopy) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.Wide("a"), "A"));
  ASSERT_TRUE(AppendToFile(dir.Wide("b"), "B"));
  EXPECT_TRUE(RenameFile(dir.Wide("a"), dir.Wide("b")));  // replaces b
  EXPECT_EQ(ReadWholeFile(dir.Wide("b")), "A");
  EXPECT_FALSE(FileExists(dir.Wide("a")));
  EXPECT_TRUE(DeleteFile(dir.Wide("b")));
  EXPECT_FALSE(DeleteFile(dir.Wide("b")));

  const std::string script = "#!/bin/sh\necho hi\n";
  ASSERT_TRUE(AppendToFile(dir.Wide("tool"), script));
  ASSERT_EQ(chmod(dir.File("tool").c_str(), 0750), 0);
  ASSERT_TRUE(AppendToFile(dir.Wide("copy"), "a longer old text that must vanish"));
  EXPECT_TRUE(CopyFile(dir.Wide("tool"), dir.Wide("copy")));
  EXPECT_EQ(ReadWholeFile(dir.Wide("copy")), script);
  EXPECT_EQ(ModeOf(dir.File("copy")), 0750);

  EXPECT_FALSE(CopyFile(dir.Wide("tool"), dir.Wide("tool")));  // never truncates itself
  EXPECT_EQ(ReadWholeFile(dir.Wide("tool")), script);
  EXPECT_FALSE(CopyFile(dir.Wide("missing"), dir.Wide("other")));
  EXPECT_FALSE(FileExists(dir.Wide("other")));
}

// Two holders of the lock on one file, as two processes would be: the
// second waits until the first lets go.
TEST(Files, ExclusiveLockWaitsForTheHolder) {
  TempFolder dir;
  const Text path = dir.Wide("log.lock");
  FileLock* first = LockFileExclusive(path);
  ASSERT_NE(first, nullptr);
  std::atomic<bool> second_locked{false};
  std::thread second([&] {
    FileLock* lock = LockFileExclusive(path);
    second_locked = lock != nullptr;
    UnlockFile(lock);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(second_locked) << "the second holder did not wait";
  UnlockFile(first);
  second.join();
  EXPECT_TRUE(second_locked);
  EXPECT_EQ(FileSize(path), 0) << "the lock file stays empty";
  EXPECT_EQ(LockFileExclusive(dir.Wide("missing/folder/x.lock")), nullptr);
}

TEST(Files, FolderLinkAndPrivateFolder) {
  TempFolder dir;
  ASSERT_TRUE(CreateFolderTree(dir.Wide("target/inner")));
  EXPECT_TRUE(CreateFolderLink(dir.Wide("link"), dir.Wide("target")));
  EXPECT_TRUE(DirectoryExists(dir.Wide("link/inner")));
  EXPECT_FALSE(CreateFolderLink(dir.Wide("link"), dir.Wide("target")));

  ASSERT_EQ(chmod(dir.File("target").c_str(), 0777), 0);
  EXPECT_TRUE(MakeFolderPrivate(dir.Wide("target")));
  EXPECT_EQ(ModeOf(dir.File("target")), 0700);
  EXPECT_FALSE(MakeFolderPrivate(dir.Wide("missing")));
  ASSERT_TRUE(AppendToFile(dir.Wide("plain"), "x"));
  EXPECT_FALSE(MakeFolderPrivate(dir.Wide("plain")));
}

// Resident file-backed memory of this process in kB (RssFile of /proc/self/status).
long ResidentFileKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssFile:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

// A reader that walks a mapping in order keeps only its window: kDontNeed
// takes the pages read out of the process's memory, kWillNeed is accepted,
// and ranges outside the file are refused.
TEST(MappedFiles, PageAdviceReleasesThePagesOfTheRange) {
  TempFolder dir;
  const std::string path = dir.File("mapped.bin");
  constexpr size_t kBytes = 32 << 20;
  {
    std::ofstream out(path, std::ios::binary);
    const std::string chunk(1 << 20, 'x');
    for (size_t i = 0; i < kBytes / chunk.size(); ++i) out << chunk;
  }
  MappedFile* file = MapFileReadOnly(Utf8ToText(path), nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(AdviseMappedPages(file, 0, kBytes, MappedPageAdvice::kWillNeed));
  unsigned sum = 0;
  for (size_t i = 0; i < kBytes; i += 4096) sum += MappedFileData(file)[i];
  EXPECT_EQ(sum, 'x' * (kBytes / 4096));
  const long touched = ResidentFileKb();
  EXPECT_TRUE(AdviseMappedPages(file, 100, kBytes - 200, MappedPageAdvice::kDontNeed));
  const long released = ResidentFileKb();
  EXPECT_GE(touched - released, 30L << 10) << touched << " kB before, " << released << " kB after";
  EXPECT_FALSE(AdviseMappedPages(file, kBytes, 10, MappedPageAdvice::kDontNeed));
  EXPECT_FALSE(AdviseMappedPages(nullptr, 0, 10, MappedPageAdvice::kWillNeed));
  UnmapFile(file);
}

}  // namespace
}  // namespace zefa::platform

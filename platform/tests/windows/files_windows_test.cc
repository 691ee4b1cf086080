// Files and folders through the platform layer on Windows: sharing, atomic
// replacement, folder trees, copies and the set-up's folder operations.
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/time.h"
#include "platform/files.h"
#include "platform/setup.h"

namespace zefa::platform {
namespace {

using test_support::TempFolder;

size_t EntriesIn(const Text& folder) {
  size_t count = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    const Text name = found.cFileName;
    if (name != L"." && name != L"..") ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

bool SetModified(const Text& path, int64_t utc_seconds) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const uint64_t ticks = static_cast<uint64_t>(utc_seconds + 11644473600LL) * 10000000ULL;
  FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const BOOL ok = SetFileTime(file, nullptr, nullptr, &when);
  CloseHandle(file);
  return ok != FALSE;
}

template <typename Condition>
bool WaitFor(Condition condition) {
  for (int i = 0; i < 200 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

TEST(FilesWindows, FilesInFolderListsPlainFilesSorted) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.File(L"b.log"), "x"));
  ASSERT_TRUE(AppendToFile(dir.File(L"a~.log"), "x"));
  ASSERT_TRUE(CreateFolder(dir.File(L"sub.log")));
  EXPECT_EQ(FilesInFolder(dir.path()), (std::vector<Text>{L"a~.log", L"b.log"}));
  EXPECT_TRUE(FilesInFolder(dir.File(L"missing")).empty());
  EXPECT_TRUE(FilesInFolder(Text()).empty());
}

TEST(FilesWindows, ExistenceSizeAndLocalDate) {
  TempFolder dir;
  const Text file = dir.File(L"a.txt");
  EXPECT_EQ(PathSeparator(), L'\\');
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(FileSize(file), -1);
  EXPECT_EQ(FileModifiedLocal(file), 0);
  EXPECT_FALSE(FileExists(Text()));

  ASSERT_TRUE(AppendToFile(file, "hello"));
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_EQ(FileSize(file), 5);
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_EQ(FileSize(dir.path()), -1);

  ASSERT_TRUE(SetModified(file, 1705320000));  // 2024-01-15 12:00:00 UTC
  EXPECT_EQ(FileModifiedLocal(file), UtcToLocal(1705320000));
}

TEST(FilesWindows, AppendSharesTheFileAndReadReturnsEveryByte) {
  TempFolder dir;
  const Text file = dir.File(L"Grüße 日本.log");
  const std::string binary("a\0b\xff", 4);
  ASSERT_TRUE(AppendToFile(file, "line 1\r\n"));

  // Another program reading the log between writes does not stop them.
  HANDLE reader = CreateFileW(file.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(AppendToFile(file, binary));
  CloseHandle(reader);
  EXPECT_EQ(ReadWholeFile(file), "line 1\r\n" + binary);

  EXPECT_EQ(ReadWholeFile(dir.File(L"missing")), std::nullopt);
  EXPECT_EQ(ReadWholeFile(dir.path()), std::nullopt);
  EXPECT_FALSE(AppendToFile(dir.File(L"no\\such\\folder.txt"), "x"));
}

TEST(FilesWindows, ReplaceAtomicallySwapsContentsAndLeavesNoTemporaryFile) {
  TempFolder dir;
  const Text file = dir.File(L"state.bin");
  ASSERT_TRUE(ReplaceFileAtomically(file, "old contents", false));
  ASSERT_TRUE(ReplaceFileAtomically(file, "new", true));
  EXPECT_EQ(ReadWholeFile(file), "new");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);

  ASSERT_TRUE(CreateFolder(dir.File(L"sub")));
  ASSERT_TRUE(AppendToFile(dir.File(L"sub\\keep"), "k"));
  EXPECT_FALSE(ReplaceFileAtomically(dir.File(L"sub"), "x", false));
  EXPECT_EQ(ReadWholeFile(dir.File(L"sub\\keep")), "k");
  EXPECT_EQ(EntriesIn(dir.path()), 2u);
  EXPECT_FALSE(ReplaceFileAtomically(dir.File(L"missing\\state.bin"), "x", false));
}

TEST(FilesWindows, OwnerOnlyFilesGrantNobodyElse) {
  TempFolder dir;
  const Text file = dir.File(L"secret.idp");
  ASSERT_TRUE(ReplaceFileAtomically(file, "x", true));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
            ERROR_SUCCESS);
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const Text sddl = text;
  LocalFree(text);
  LocalFree(descriptor);
  if (sddl == L"D:" || sddl.empty()) {
    GTEST_SKIP() << "this system keeps no access lists on files (" << TextToUtf8(sddl) << ")";
  }
  for (const wchar_t* other : {L";;;WD)", L";;;AU)", L";;;BU)"}) {
    EXPECT_EQ(sddl.find(other), Text::npos) << TextToUtf8(sddl);
  }
  // Wine keeps the entries but not the flag that blocks inheritance.
  if (!test_support::RunningUnderWine()) {
    EXPECT_NE(sddl.find(L"D:P"), Text::npos) << TextToUtf8(sddl);  // nothing inherited
  }
}

TEST(FilesWindows, FoldersAndFolderTrees) {
  TempFolder dir;
  EXPECT_TRUE(CreateFolder(dir.File(L"one")));
  EXPECT_FALSE(CreateFolder(dir.File(L"one")));   // already there
  EXPECT_FALSE(CreateFolder(dir.File(L"x\\y")));  // parent missing

  EXPECT_TRUE(CreateFolderTree(dir.File(L"a//b/c\\")));
  EXPECT_TRUE(DirectoryExists(dir.File(L"a\\b\\c")));
  EXPECT_TRUE(CreateFolderTree(dir.File(L"a\\b\\c")));  // exists afterwards: true

  ASSERT_TRUE(AppendToFile(dir.File(L"file"), "x"));
  EXPECT_FALSE(CreateFolderTree(dir.File(L"file\\sub")));
}

TEST(FilesWindows, DeleteRenameAndCopy) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.File(L"a"), "A"));
  ASSERT_TRUE(AppendToFile(dir.File(L"b"), "B"));
  EXPECT_TRUE(RenameFile(dir.File(L"a"), dir.File(L"b")));  // replaces b
  EXPECT_EQ(ReadWholeFile(dir.File(L"b")), "A");
  EXPECT_FALSE(FileExists(dir.File(L"a")));
  EXPECT_TRUE(DeleteFile(dir.File(L"b")));
  EXPECT_FALSE(DeleteFile(dir.File(L"b")));

  ASSERT_TRUE(AppendToFile(dir.File(L"tool.cmd"), "@echo hi\r\n"));
  ASSERT_TRUE(AppendToFile(dir.File(L"copy"), "a longer old text that must vanish"));
  EXPECT_TRUE(CopyFile(dir.File(L"tool.cmd"), dir.File(L"copy")));
  EXPECT_EQ(ReadWholeFile(dir.File(L"copy")), "@echo hi\r\n");

  // Never onto itself, not even under another spelling of the same path.
  EXPECT_FALSE(CopyFile(dir.File(L"tool.cmd"), dir.File(L"TOOL.CMD")));
  EXPECT_FALSE(CopyFile(dir.File(L"tool.cmd"), dir.path() + L"\\.\\tool.cmd"));
  EXPECT_EQ(ReadWholeFile(dir.File(L"tool.cmd")), "@echo hi\r\n");
  EXPECT_FALSE(CopyFile(dir.File(L"missing"), dir.File(L"other")));
  EXPECT_FALSE(FileExists(dir.File(L"other")));
}

TEST(FilesWindows, DeleteFolderTreeRemovesEverythingBelow) {
  TempFolder dir;
  const Text top = dir.File(L"tree");
  ASSERT_TRUE(CreateFolderTree(top + L"\\a\\b"));
  ASSERT_TRUE(AppendToFile(top + L"\\a\\b\\file.txt", "x"));
  ASSERT_TRUE(AppendToFile(top + L"\\readonly.txt", "x"));
  ASSERT_TRUE(SetFileAttributesW((top + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(DeleteFolderTree(top + L"\\"));
  EXPECT_FALSE(FileExists(top));
  EXPECT_TRUE(DeleteFolderTree(top));  // nothing there: also true
  EXPECT_TRUE(DirectoryExists(dir.path()));
}

TEST(FilesWindows, CopyNewerFilesCopiesMatchingNewerFilesOnly) {
  TempFolder dir;
  const Text from = dir.File(L"from");
  const Text to = dir.File(L"to\\nested");
  ASSERT_TRUE(CreateFolder(from));
  ASSERT_TRUE(AppendToFile(from + L"\\one.exe", "new one"));
  ASSERT_TRUE(AppendToFile(from + L"\\two.EXE", "new two"));
  ASSERT_TRUE(AppendToFile(from + L"\\notes.txt", "not matched"));
  ASSERT_TRUE(CreateFolderTree(to));
  ASSERT_TRUE(AppendToFile(to + L"\\two.EXE", "newer target"));
  ASSERT_TRUE(SetModified(from + L"\\one.exe", 1700000000));
  ASSERT_TRUE(SetModified(from + L"\\two.EXE", 1700000000));
  ASSERT_TRUE(SetModified(to + L"\\two.EXE", 1800000000));

  // The command is started, not waited for: wait for its effect.
  ASSERT_TRUE(CopyNewerFiles(from, L"*.exe", to));
  ASSERT_TRUE(WaitFor([&] { return FileSize(to + L"\\one.exe") == 7; }));
  EXPECT_EQ(ReadWholeFile(to + L"\\one.exe"), "new one");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ReadWholeFile(to + L"\\two.EXE"), "newer target");  // the target was newer
  EXPECT_FALSE(FileExists(to + L"\\notes.txt"));
  EXPECT_FALSE(CopyNewerFiles(L"", L"*.exe", to));
}

// Two holders of the lock on one file, as two processes would be: the
// second waits until the first lets go.
TEST(FilesWindows, ExclusiveLockWaitsForTheHolder) {
  TempFolder dir;
  const Text path = dir.File(L"log.lock");
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
  EXPECT_EQ(LockFileExclusive(dir.File(L"missing\\folder\\x.lock")), nullptr);
}

TEST(FilesWindows, FolderLinkIsMadeByTheShellCommand) {
  TempFolder dir;
  ASSERT_TRUE(CreateFolderTree(dir.File(L"target\\inner")));
  ASSERT_TRUE(CreateFolderLink(dir.File(L"link"), dir.File(L"target")));
  if (test_support::RunningUnderWine()) {
    // Wine's mklink reports success and creates nothing.
    GTEST_SKIP() << "Wine fakes symbolic links; the link itself is not checked";
  }
  ASSERT_TRUE(WaitFor([&] { return DirectoryExists(dir.File(L"link\\inner")); }));
}

TEST(FilesWindows, PrivateFolderLosesTheGrantToAuthenticatedUsers) {
  TempFolder dir;
  EXPECT_FALSE(MakeFolderPrivate(dir.File(L"missing")));
  ASSERT_TRUE(AppendToFile(dir.File(L"plain"), "x"));
  EXPECT_FALSE(MakeFolderPrivate(dir.File(L"plain")));
  ASSERT_TRUE(CreateFolder(dir.File(L"idp")));
  ASSERT_TRUE(MakeFolderPrivate(dir.File(L"idp")));
  if (test_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's icacls.exe is a dummy that changes no access list";
  }
  // The grant removal is not waited for: wait for its effect.
  auto sddl = [&] {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(dir.File(L"idp").c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
      return Text();
    }
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    Text result = text != nullptr ? Text(text) : Text();
    if (text != nullptr) LocalFree(text);
    LocalFree(descriptor);
    return result;
  };
  ASSERT_TRUE(WaitFor([&] { return sddl().find(L";;;AU)") == Text::npos; })) << TextToUtf8(sddl());
  EXPECT_NE(sddl().find(L"D:P"), Text::npos);
}

}  // namespace
}  // namespace zefa::platform

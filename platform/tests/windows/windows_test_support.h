// Helpers for the Windows tests of the platform layer: a fresh folder that is
// removed afterwards, an environment variable set for a scope, a unique
// registry key, and whether the tests run under Wine (which answers some
// calls with success without doing anything).
#pragma once

// Windows headers through the platform's own, which keeps the platform
// layer's names (DeleteFile, CopyFile, ReportEvent ...) free of Win32 macros;
// include this header before any other Windows header.
#include "platform/windows/win_util.h"

#include <atomic>
#include <string>

#include "platform/setup.h"

namespace zefa::platform::test_support {

inline Text UniqueName(const wchar_t* tag) {
  static std::atomic<int> counter{0};
  return Text(tag) + L"-" + IntegerToText(static_cast<int64_t>(GetCurrentProcessId())) + L"-" +
         IntegerToText(static_cast<int64_t>(GetTickCount64() % 100000)) + L"-" +
         IntegerToText(counter.fetch_add(1));
}

class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    path_ = Text(base, length) + UniqueName(L"zefa-plat");
    if (!CreateDirectoryW(path_.c_str(), nullptr)) path_.clear();
  }
  ~TempFolder() {
    if (!path_.empty()) DeleteFolderTree(path_);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const Text& path() const { return path_; }
  Text File(const Text& name) const { return path_ + L"\\" + name; }

 private:
  Text path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t old[32768];
    const DWORD length = GetEnvironmentVariableW(name, old, 32768);
    had_ = length > 0 && length < 32768;
    if (had_) old_.assign(old, length);
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Text name_;
  Text old_;
  bool had_ = false;
};

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline std::string Utf16Bytes(const Text& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WChar));
}

}  // namespace zefa::platform::test_support

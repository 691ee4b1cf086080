// No copy of a password handed to the notify program is left in freed
// memory. This program replaces operator delete: while a scan is on, every
// block is searched for the test password (UTF-16 and UTF-8) and its Base64
// forms before it is freed. It is a program of its own so that the hook
// touches no other test.
#include <gtest/gtest.h>

#include <malloc.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "directory/lookup_user.h"
#include "filter/exports.h"
#include "platform/system.h"
#include "server/server_initialisation.h"
#include "testing/test_domain.h"

namespace {

constexpr int kMaxNeedles = 8;
std::atomic<bool> g_scanning{false};
std::string_view g_needles[kMaxNeedles];
int g_needle_count = 0;
std::atomic<int> g_hits[kMaxNeedles];

void ScanFreedBlock(void* block) {
  if (block == nullptr || !g_scanning.load(std::memory_order_acquire)) return;
  const size_t size = malloc_usable_size(block);
  for (int i = 0; i < g_needle_count; ++i) {
    if (memmem(block, size, g_needles[i].data(), g_needles[i].size()) != nullptr) ++g_hits[i];
  }
}

}  // namespace

// Blocks come from malloc, so that their usable size is known when freed.
void* operator new(size_t size) {
  if (void* block = malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }

void operator delete(void* block) noexcept {
  ScanFreedBlock(block);
  free(block);
}
void operator delete(void* block, size_t) noexcept {
  ScanFreedBlock(block);
  free(block);
}
void operator delete[](void* block) noexcept {
  ScanFreedBlock(block);
  free(block);
}
void operator delete[](void* block, size_t) noexcept {
  ScanFreedBlock(block);
  free(block);
}

namespace zefa {
namespace {

using testing::T;

// The forms of a secret that may sit in a buffer: UTF-16 and UTF-8 of the
// password and of its Base64 form.
class FreedMemoryScan {
 public:
  explicit FreedMemoryScan(const std::string& password) {
    const Text wide = T(password);
    forms_[0].assign(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(WChar));
    forms_[1] = password;
    const std::string base64 = Base64(password);
    const Text wide_base64 = T(base64);
    forms_[2] = base64;
    forms_[3].assign(reinterpret_cast<const char*>(wide_base64.data()),
                     wide_base64.size() * sizeof(WChar));
  }
  ~FreedMemoryScan() { Stop(); }

  void Start() {
    g_needle_count = 4;
    for (int i = 0; i < 4; ++i) {
      g_needles[i] = forms_[i];
      g_hits[i] = 0;
    }
    g_scanning.store(true, std::memory_order_release);
  }
  void Stop() { g_scanning.store(false, std::memory_order_release); }

  // "UTF-16 password: 2, ..." for every form found; empty when none.
  std::string Found() const {
    static const char* kNames[] = {"UTF-16 password", "UTF-8 password", "Base64 (ASCII)",
                                   "Base64 (UTF-16)"};
    std::string found;
    for (int i = 0; i < 4; ++i)
      if (g_hits[i] > 0) found += std::string(kNames[i]) + ": " + std::to_string(g_hits[i]) + "; ";
    return found;
  }

 private:
  static std::string Base64(const std::string& bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
      const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                         (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                         static_cast<unsigned char>(bytes[i + 2]);
      for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(v >> shift) & 63]);
    }
    if (i < bytes.size()) {
      unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
      if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
      out.push_back(kAlphabet[(v >> 18) & 63]);
      out.push_back(kAlphabet[(v >> 12) & 63]);
      out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
      out.push_back('=');
    }
    return out;
  }

  std::string forms_[4];
};

// Long enough that every form lives on the heap (beyond the strings' inline
// buffers), with capitals so that the lower-cased copies of the similarity
// reduction are not this text.
const std::string kPassword = "Notify-Secret-\xC3\x84rger-2026";

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 100 && !std::filesystem::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return std::filesystem::exists(path);
}

TEST(NotifyProgramCopies, TheScanSeesAnUnwipedCopy) {
  FreedMemoryScan scan(kPassword);
  scan.Start();
  {
    std::string copy = kPassword;
    asm volatile("" : : "r"(copy.data()) : "memory");
  }
  scan.Stop();
  EXPECT_EQ(scan.Found(), "UTF-8 password: 1; ");
}

TEST(NotifyProgramCopies, ThePlatformStartWipesEveryCopy) {
  testing::TestDomain domain;
  const std::string script = domain.root() + "/notify.sh";
  testing::WriteFileText(script, "#!/bin/sh\ncat > /dev/null\n");
  chmod(script.c_str(), 0700);
  FreedMemoryScan scan(kPassword);
  const Text program = T(script), account = ZT("alice"), secret = T(kPassword);
  const std::vector<Text> arguments = {account};
  const std::vector<Text> with_password = {account, secret};
  scan.Start();
  EXPECT_TRUE(platform::StartProgramWithSecret(program, arguments, secret, Text()));
  EXPECT_TRUE(platform::StartProgramWithArguments(program, with_password, Text()));
  chmod(script.c_str(), 0600);  // the start through the shell makes more copies
  EXPECT_TRUE(platform::StartProgramWithSecret(program, arguments, secret, Text()));
  EXPECT_TRUE(platform::StartProgramWithArguments(program, with_password, Text()));
  scan.Stop();
  EXPECT_EQ(scan.Found(), "");
}

ZEFA_UNICODE_STRING Counted(Text& text) {
  return ZEFA_UNICODE_STRING{static_cast<uint16_t>(text.size() * sizeof(WChar)),
                             static_cast<uint16_t>(text.size() * sizeof(WChar)), text.data()};
}

TEST(NotifyProgramCopies, AChangeNotificationWithTheNotifyProgramWipesEveryCopy) {
  for (const char* base64 : {"0", "1"}) {
    testing::TestDomain domain;
    const std::string script = domain.root() + "/notify.sh";
    const std::string out = domain.root() + "/notify.out";
    testing::WriteFileText(script,
                           "#!/bin/sh\ncat > " + out + ".tmp\nmv " + out + ".tmp " + out + "\n");
    chmod(script.c_str(), 0700);
    domain.SetPolicy(1, "Enabled", "1");
    domain.SetPolicy(1, "UserGroups", "Staff");
    domain.SetPolicy(1, "NotifyProgram", script);
    domain.SetPolicy(1, "NotifyProgramBase64", base64);
    SetUserLookupForTesting([](const Text& name, UserRecord& user) {
      user.AccountName = name;
      user.GroupNames = ZT("Staff;");
    });
    ASSERT_EQ(ServerInitialisation(), 1);
    FreedMemoryScan scan(kPassword);
    Text account = ZT("alice"), password = T(kPassword);
    ZEFA_UNICODE_STRING a = Counted(account), p = Counted(password);
    scan.Start();
    EXPECT_EQ(PasswordChangeNotify(&a, 1, &p), 0);
    scan.Stop();
    EXPECT_EQ(scan.Found(), "") << "NotifyProgramBase64 " << base64;
    ASSERT_TRUE(WaitForFile(out)) << "the notify program did not run";
  }
}

}  // namespace
}  // namespace zefa

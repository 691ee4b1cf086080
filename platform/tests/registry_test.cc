// The file-backed registry store: names, types, last-write times, key trees
// and writers racing each other in threads and processes. Each test works in
// its own CLAVORA_ROOT so the tests can run in parallel.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

namespace zefa::platform {
namespace {

const Text kHklm = ZT("HKEY_LOCAL_MACHINE");

RegistryValue Value(const Text& name, uint32_t type, std::string data) {
  RegistryValue value;
  value.name = name;
  value.type = type;
  value.data = std::move(data);
  return value;
}

std::string Utf16(const Text& text) {
  std::string bytes;
  for (WChar c : text) {
    bytes.push_back(static_cast<char>(static_cast<uint16_t>(c) & 0xFF));
    bytes.push_back(static_cast<char>(static_cast<uint16_t>(c) >> 8));
  }
  return bytes;
}

Text Numbered(const char* prefix, int n) { return AsciiToText(prefix) + IntegerToText(n); }

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("CLAVORA_ROOT");
    if (old != nullptr) saved_root_ = old;
    had_root_ = old != nullptr;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "registry_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ::setenv("CLAVORA_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    if (had_root_) {
      ::setenv("CLAVORA_ROOT", saved_root_.c_str(), 1);
    } else {
      ::unsetenv("CLAVORA_ROOT");
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string root_;
  std::string saved_root_;
  bool had_root_ = false;
};

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Software\\Policies\\Clavora"),
                            Value(ZT("MinLength"), kRegDword, std::string("\x0c\0\0\0", 4)), 0));
  auto read =
      RegistryRead(ZT("hkey_local_machine"), ZT("SOFTWARE\\policies\\CLAVORA"), ZT("minlength"), 0);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->name, ZT("MinLength"));
  EXPECT_EQ(read->data, std::string("\x0c\0\0\0", 4));

  // Rewriting under another spelling replaces the value but keeps its name.
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("software\\POLICIES\\clavora"),
                            Value(ZT("MINLENGTH"), kRegSz, Utf16(Text(ZT("8")) + WChar(0))), 0));
  auto values = RegistryValues(kHklm, ZT("Software\\Policies\\Clavora"), 0);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, ZT("MinLength"));
  EXPECT_EQ(values[0].type, uint32_t{kRegSz});
  EXPECT_EQ(RegistrySubkeys(kHklm, ZT("software\\policies"), 0), std::vector<Text>{ZT("Clavora")});

  // Letters beyond ASCII fold too.
  ASSERT_TRUE(RegistryCreateKey(kHklm, ZT("\u00C4rger\\\u0416"), 0));
  EXPECT_TRUE(RegistryKeyExists(kHklm, ZT("\u00E4RGER\\\u0436"), 0));
  EXPECT_TRUE(RegistryWrite(kHklm, ZT("\u00E4rger"), Value(ZT("\u00D6l"), kRegNone, ""), 0));
  EXPECT_TRUE(RegistryRead(kHklm, ZT("\u00C4RGER"), ZT("\u00F6L"), 0).has_value());

  EXPECT_FALSE(RegistryRead(kHklm, ZT("Software\\Policies\\Clavora"), ZT("MinLengthX"), 0));
  EXPECT_FALSE(RegistryWrite(ZT("HKLM"), ZT("X"), Value(ZT("a"), kRegSz, ""), 0));
  EXPECT_FALSE(RegistryCreateKey(ZT("HKEY_NOWHERE"), ZT("X"), 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, ZT("Software\\Missing"), 0));
  EXPECT_TRUE(RegistryKeyExists(ZT("hkey_current_config"), ZT(""), 0));
  // The same path under another root is another key.
  EXPECT_FALSE(RegistryKeyExists(ZT("HKEY_CURRENT_USER"), ZT("Software"), 0));
}

TEST_F(RegistryTest, StoreFollowsClavoraRootOnEveryCall) {
  ASSERT_TRUE(RegistryCreateKey(kHklm, ZT("Here"), 0));
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/registry"));
  const std::string other = root_ + "/other";
  ::setenv("CLAVORA_ROOT", other.c_str(), 1);
  EXPECT_FALSE(RegistryKeyExists(kHklm, ZT("Here"), 0));
  ::setenv("CLAVORA_ROOT", root_.c_str(), 1);
  EXPECT_TRUE(RegistryKeyExists(kHklm, ZT("Here"), 0));
}

TEST_F(RegistryTest, EveryTypeAndOddDataRoundTripsByteForByte) {
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  const std::vector<RegistryValue> written = {
      Value(ZT("Sz"), kRegSz, Utf16(Text(ZT("caf\u00E9 \U0001F600")) + WChar(0))),
      Value(ZT("Expand"), kRegExpandSz, Utf16(Text(ZT("%SystemRoot%\\x")) + WChar(0))),
      Value(ZT("Binary"), kRegBinary, all_bytes),
      Value(ZT("Dword"), kRegDword, std::string("\xff\xff\xff\xff", 4)),
      Value(ZT("Multi"), kRegMultiSz, Utf16(Text(ZT("a\0b\0\0"), 5))),
      Value(ZT("Qword"), kRegQword, std::string("\x01\0\0\0\0\0\0\x80", 8)),
      Value(ZT(""), kRegSz, ""),  // default value, no data
      Value(ZT("odd type"), 0x12345678u, std::string(3, '\0')),
      Value(ZT("line\nbreak % and \u00A0"), kRegNone, "x"),  // name needing escapes
      Value(Text(1, WChar(0xD800)), kRegSz, "\x01"),         // lone surrogate, odd size
  };
  for (const RegistryValue& value : written) {
    ASSERT_TRUE(RegistryWrite(ZT("HKEY_USERS"), ZT("S-1-5-18\\Types"), value, 64));
  }
  const auto read = RegistryValues(ZT("HKEY_USERS"), ZT("S-1-5-18\\Types"), 32);
  ASSERT_EQ(read.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(read[i].name, written[i].name);  // insertion order is kept
    EXPECT_EQ(read[i].type, written[i].type);
    EXPECT_EQ(read[i].data, written[i].data);
  }
  auto by_name = RegistryRead(ZT("HKEY_USERS"), ZT("S-1-5-18\\Types"), ZT(""), 0);
  ASSERT_TRUE(by_name.has_value());
  EXPECT_EQ(by_name->type, uint32_t{kRegSz});
}

TEST_F(RegistryTest, KeyNamesMayHoldAnyCharacterButBackslash) {
  const std::vector<Text> names = {
      ZT("a/b"),
      ZT("."),
      ZT(".."),
      ZT(".key"),
      ZT("%0041"),
      ZT("~x"),
      ZT("tab\there"),
      ZT("new\nline"),
      Text(1, WChar(0xDC00)),
      Text(240, WChar(0x4E2D)),  // long, 3-byte UTF-8
      Text(240, WChar('a')) + ZT("1"),
      Text(240, WChar('a')) + ZT("2"),  // share a long prefix
  };
  for (const Text& name : names) {
    ASSERT_TRUE(RegistryWrite(kHklm, ZT("Odd\\") + name, Value(ZT("v"), kRegSz, Utf16(name)), 0))
        << TextToUtf8(name);
  }
  auto subkeys = RegistrySubkeys(kHklm, ZT("odd"), 0);
  std::vector<Text> expected = names;
  std::sort(subkeys.begin(), subkeys.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(subkeys, expected);
  for (const Text& name : names) {
    auto value = RegistryRead(kHklm, ZT("ODD\\") + name, ZT("V"), 0);
    ASSERT_TRUE(value.has_value()) << TextToUtf8(name);
    EXPECT_EQ(value->data, Utf16(name));
  }
  // Empty levels are ignored; the store's own files never show as keys.
  EXPECT_TRUE(RegistryKeyExists(kHklm, ZT("\\Odd\\\\a/b\\"), 0));
  EXPECT_TRUE(RegistrySubkeys(kHklm, ZT("Odd\\.key"), 0).empty());
}

TEST_F(RegistryTest, LastWriteMovesWithEveryValueChangeAndTouchOnly) {
  const Text key = ZT("Software\\Policies\\Clavora");
  EXPECT_EQ(RegistryKeyLastWriteTicks(kHklm, key, 0), 0);
  ASSERT_TRUE(RegistryWrite(kHklm, key, Value(ZT("SkipUsers"), kRegSz, Utf16(ZT("x"))), 0));
  const int64_t first = RegistryKeyLastWriteTicks(kHklm, key, 0);
  EXPECT_LE(std::llabs(RegistryTicksToUtcSeconds(first) - static_cast<int64_t>(std::time(nullptr))),
            5)
      << "ticks since 1601";

  ASSERT_TRUE(RegistryCreateKey(kHklm, key + ZT("\\1"), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key + ZT("\\1"),
                            Value(ZT("Enabled"), kRegDword, std::string("\1\0\0\0", 4)), 0));
  EXPECT_FALSE(RegistryDeleteValue(kHklm, key, ZT("NoSuchValue"), 0));
  EXPECT_EQ(RegistryKeyLastWriteTicks(kHklm, key, 0), first) << "subkey changes leave the parent";
  EXPECT_GT(RegistryKeyLastWriteTicks(kHklm, key + ZT("\\1"), 0), first);

  // Changes in quick succession, well within one second, each move it.
  int64_t previous = first;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(RegistryWrite(kHklm, key, Value(ZT("SkipUsers"), kRegSz, Utf16(ZT("y"))), 0));
    const int64_t now = RegistryKeyLastWriteTicks(kHklm, key, 0);
    EXPECT_GT(now, previous) << "write " << i;
    previous = now;
  }
  ASSERT_TRUE(RegistryDeleteKey(kHklm, key + ZT("\\1"), 0));
  EXPECT_EQ(RegistryKeyLastWriteTicks(kHklm, key, 0), previous);

  // A touch moves it and changes nothing else.
  const std::vector<RegistryValue> values = RegistryValues(kHklm, key, 0);
  ASSERT_TRUE(RegistryTouchKey(kHklm, key, 0));
  const int64_t touched = RegistryKeyLastWriteTicks(kHklm, key, 0);
  EXPECT_GT(touched, previous);
  const std::vector<RegistryValue> after = RegistryValues(kHklm, key, 0);
  ASSERT_EQ(after.size(), values.size());
  EXPECT_EQ(after[0].data, values[0].data);
  EXPECT_FALSE(RegistryTouchKey(kHklm, key + ZT("\\Missing"), 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key + ZT("\\Missing"), 0)) << "a touch creates nothing";

  ASSERT_TRUE(RegistryDeleteValue(kHklm, key, ZT("skipusers"), 0));
  EXPECT_GT(RegistryKeyLastWriteTicks(kHklm, key, 0), touched);
}

TEST_F(RegistryTest, ADamagedRecordMakesItsKeyUnreadableButStillListed) {
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Tree\\Good"), Value(ZT("v"), kRegSz, "ok"), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Tree\\Bad"), Value(ZT("v"), kRegSz, "ok"), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Tree\\Bad\\Child"), Value(ZT("v"), kRegSz, "ok"), 0));
  const std::string record = root_ + "/registry/hkey_local_machine/tree/bad/.key";
  ASSERT_TRUE(std::filesystem::exists(record));
  std::ofstream(record, std::ios::trunc) << "clavora-registry-key 1\nname Bad\nstamp 12\nvalue";

  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("Tree\\Bad"), 0), RegistryKeyState::kUnreadable);
  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("tree\\good"), 0), RegistryKeyState::kReadable);
  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("Tree\\Missing"), 0), RegistryKeyState::kMissing);
  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT(""), 0), RegistryKeyState::kReadable) << "the root key";
  // Listed under the name its folder keeps, which finds it again.
  EXPECT_EQ(RegistrySubkeys(kHklm, ZT("Tree"), 0), (std::vector<Text>{ZT("bad"), ZT("Good")}));
  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("Tree\\bad"), 0), RegistryKeyState::kUnreadable);
  EXPECT_EQ(RegistrySubkeys(kHklm, ZT("Tree\\Bad"), 0), std::vector<Text>{ZT("Child")});

  EXPECT_TRUE(RegistryValues(kHklm, ZT("Tree\\Bad"), 0).empty());
  EXPECT_FALSE(RegistryRead(kHklm, ZT("Tree\\Bad"), ZT("v"), 0));
  EXPECT_FALSE(RegistryWrite(kHklm, ZT("Tree\\Bad"), Value(ZT("w"), kRegSz, "no"), 0))
      << "a damaged record is left for inspection";
  EXPECT_FALSE(RegistryTouchKey(kHklm, ZT("Tree\\Bad"), 0));
  EXPECT_NE(RegistryKeyLastWriteTicks(kHklm, ZT("Tree\\Bad"), 0), 0)
      << "the record file's own time, so that a repair is a change";

  EXPECT_TRUE(RegistryDeleteKey(kHklm, ZT("Tree\\Bad"), 0)) << "deleting it is the way out";
  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("Tree\\Bad"), 0), RegistryKeyState::kMissing);
}

TEST_F(RegistryTest, StampsBeyondTheSignedRangeAreDamageAndTheLastOneStillMoves) {
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Wrap"), Value(ZT("v"), kRegSz, "ok"), 0));
  const std::string record = root_ + "/registry/hkey_local_machine/wrap/.key";
  const auto with_stamp = [&](const char* stamp) {
    std::ofstream(record, std::ios::trunc)
        << "clavora-registry-key 1\nname Wrap\nstamp " << stamp << "\nvalue 1 6f6b00 v\nend\n";
  };
  for (const char* beyond :
       {"9223372036854775808", "18446744073709551615", "9999999999999999999"}) {
    with_stamp(beyond);
    EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("Wrap"), 0), RegistryKeyState::kUnreadable) << beyond;
    EXPECT_FALSE(RegistryRead(kHklm, ZT("Wrap"), ZT("v"), 0)) << beyond;
    EXPECT_FALSE(RegistryWrite(kHklm, ZT("Wrap"), Value(ZT("w"), kRegSz, "no"), 0)) << beyond;
  }

  with_stamp("9223372036854775807");
  ASSERT_EQ(RegistryKeyCheck(kHklm, ZT("Wrap"), 0), RegistryKeyState::kReadable);
  const int64_t last = RegistryKeyLastWriteTicks(kHklm, ZT("Wrap"), 0);
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Wrap"), Value(ZT("w"), kRegSz, "yes"), 0));
  EXPECT_NE(RegistryKeyLastWriteTicks(kHklm, ZT("Wrap"), 0), last);
  EXPECT_EQ(RegistryKeyCheck(kHklm, ZT("Wrap"), 0), RegistryKeyState::kReadable);
  EXPECT_EQ(RegistryValues(kHklm, ZT("Wrap"), 0).size(), 2u);
}

TEST_F(RegistryTest, DeletingAKeyRemovesItsWholeTree) {
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Tree\\A\\B\\C"), Value(ZT("deep"), kRegSz, "xy"), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Tree\\A"), Value(ZT("top"), kRegSz, "xy"), 0));
  ASSERT_TRUE(RegistryCreateKey(kHklm, ZT("Tree\\Keep"), 0));

  EXPECT_TRUE(RegistryDeleteKey(kHklm, ZT("tree\\a"), 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, ZT("Tree\\A"), 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, ZT("Tree\\A\\B\\C"), 0));
  EXPECT_FALSE(RegistryRead(kHklm, ZT("Tree\\A\\B\\C"), ZT("deep"), 0));
  EXPECT_EQ(RegistrySubkeys(kHklm, ZT("Tree"), 0), std::vector<Text>{ZT("Keep")});
  EXPECT_FALSE(RegistryDeleteKey(kHklm, ZT("Tree\\A"), 0)) << "already gone";
  EXPECT_FALSE(RegistryDeleteKey(kHklm, ZT(""), 0)) << "root keys stay";
  EXPECT_FALSE(RegistryDeleteValue(kHklm, ZT("Tree\\A"), ZT("top"), 0));

  // A key created again starts empty.
  ASSERT_TRUE(RegistryCreateKey(kHklm, ZT("Tree\\A\\B"), 0));
  EXPECT_TRUE(RegistryValues(kHklm, ZT("Tree\\A"), 0).empty());
  EXPECT_TRUE(RegistrySubkeys(kHklm, ZT("Tree\\A\\B"), 0).empty());
}

TEST_F(RegistryTest, WorkLeftByAWriterThatDiedIsInvisibleAndClearedLater) {
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Crash"), Value(ZT("v"), kRegSz, "ok"), 0));
  // What a writer killed half-way leaves: a temporary record, a key being
  // created, a key tree being deleted.
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(root_) / "registry" / "hkey_local_machine" / "crash";
  ASSERT_TRUE(fs::is_directory(folder));
  std::ofstream(folder / ".tmp-1-1") << "clavora-registry-key 1\nname x\n";
  fs::create_directories(folder / ".new-1-2");
  std::ofstream(folder / ".new-1-2" / ".key")
      << "clavora-registry-key 1\nname Half\nstamp 1\nend\n";
  fs::create_directories(folder / ".del-1-3" / "sub");

  EXPECT_TRUE(RegistrySubkeys(kHklm, ZT("Crash"), 0).empty());
  auto value = RegistryRead(kHklm, ZT("Crash"), ZT("v"), 0);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, "ok");

  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Crash"), Value(ZT("w"), kRegSz, "ok"), 0));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
      << "only the record is left";
}

TEST_F(RegistryTest, ConcurrentThreadsLoseNoWriteAndReadersSeeWholeValues) {
  const std::string old_data(40000, 'o');
  const std::string new_data(50000, 'n');
  ASSERT_TRUE(RegistryWrite(kHklm, ZT("Race"), Value(ZT("Big"), kRegBinary, old_data), 0));

  constexpr int kWriters = 4;
  constexpr int kWritesEach = 10;
  std::atomic<bool> writers_done{false};
  std::atomic<int> torn_reads{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!writers_done.load()) {
      auto value = RegistryRead(kHklm, ZT("Race"), ZT("Big"), 0);
      if (!value || (value->data != old_data && value->data != new_data)) ++torn_reads;
      ++reads;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kWritesEach; ++i) {
        RegistryWrite(kHklm, ZT("Race"), Value(Numbered("v", w * 100 + i), kRegDword, "1234"), 0);
        RegistryWrite(kHklm, ZT("Race"), Value(ZT("Big"), kRegBinary, i % 2 ? old_data : new_data),
                      0);
        RegistryCreateKey(kHklm, ZT("Race\\") + Numbered("k", w * 100 + i), 0);
      }
    });
  }
  for (std::thread& t : writers) t.join();
  writers_done = true;
  reader.join();

  EXPECT_EQ(torn_reads.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(RegistryValues(kHklm, ZT("Race"), 0).size(), size_t{kWriters * kWritesEach + 1});
  EXPECT_EQ(RegistrySubkeys(kHklm, ZT("Race"), 0).size(), size_t{kWriters * kWritesEach});
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNoWrite) {
  constexpr int kProcesses = 4;
  constexpr int kWritesEach = 10;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < kWritesEach; ++i) {
        ok &=
            RegistryWrite(kHklm, ZT("Shared"), Value(Numbered("p", p * 100 + i), kRegSz, "ab"), 0);
        ok &= RegistryWrite(kHklm, ZT("Shared\\") + Numbered("k", p), Value(ZT("n"), kRegSz, "ab"),
                            0);
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(RegistryValues(kHklm, ZT("Shared"), 0).size(), size_t{kProcesses * kWritesEach});
  EXPECT_EQ(RegistrySubkeys(kHklm, ZT("Shared"), 0).size(), size_t{kProcesses});
  // No temporary file or half-made key is left behind.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_ + "/registry")) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == ".key" || name == ".lock" || name[0] != '.') << entry.path();
  }
}

}  // namespace
}  // namespace zefa::platform

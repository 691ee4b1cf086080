// The registry store's key record, read and written through the platform
// registry with the fuzz input as the record file.
//   - the values read are those of a plain reading of the record format; a
//     damaged record reads as no values;
//   - a write onto a damaged record fails and leaves the file byte for
//     byte; onto a sound one it keeps every other value, sets the new one
//     and never moves the last-write time backwards (but in the range's last
//     second, where it may return to the clock rather than overflow).
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"
#include "platform/registry.h"

using zefa::Text;
using zefa::platform::RegistryValue;

namespace {

const Text kRoot = u"HKEY_LOCAL_MACHINE";
const Text kSubkey = u"Software\\FuzzKey";
std::string g_record_path;

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<Text> Unescape(std::string_view s) {
  Text out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(static_cast<unsigned char>(s[i]));
      continue;
    }
    if (s.size() - i < 5) return std::nullopt;
    unsigned unit = 0;
    for (size_t k = 1; k <= 4; ++k) {
      if (Hex(s[i + k]) < 0) return std::nullopt;
      unit = unit << 4 | static_cast<unsigned>(Hex(s[i + k]));
    }
    out.push_back(static_cast<char16_t>(unit));
    i += 4;
  }
  return out;
}

// Decimal digits below `limit`, at most 19 of them.
std::optional<uint64_t> Number(std::string_view s, uint64_t limit) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  unsigned __int128 value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value >= limit) return std::nullopt;
  return static_cast<uint64_t>(value);
}

struct Record {
  std::vector<RegistryValue> values;
  uint64_t stamp = 0;
};

// The record format: a header line, then "name", "stamp" and "value" lines,
// then "end"; every line ends in "\n" and nothing follows "end". Stamps are
// nanoseconds that fit a signed 64-bit number.
std::optional<Record> ReadRecord(std::string_view file) {
  Record record;
  std::vector<std::string_view> lines;
  while (!file.empty()) {
    const size_t end = file.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    lines.push_back(file.substr(0, end));
    file.remove_prefix(end + 1);
  }
  if (lines.size() < 2 || lines.front() != "clavora-registry-key 1" || lines.back() != "end")
    return std::nullopt;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.substr(0, 5) == "name ") {
      if (!Unescape(line.substr(5))) return std::nullopt;
    } else if (line.substr(0, 6) == "stamp ") {
      auto stamp = Number(line.substr(6), 1ULL << 63);
      if (!stamp) return std::nullopt;
      record.stamp = *stamp;
    } else if (line.substr(0, 6) == "value ") {
      const std::string_view rest = line.substr(6);
      const size_t a = rest.find(' ');
      const size_t b = a == std::string_view::npos ? a : rest.find(' ', a + 1);
      if (b == std::string_view::npos) return std::nullopt;
      auto type = Number(rest.substr(0, a), 1ULL << 32);
      const std::string_view hex = rest.substr(a + 1, b - a - 1);
      auto name = Unescape(rest.substr(b + 1));
      if (!type || !name || hex.size() % 2 != 0) return std::nullopt;
      RegistryValue value;
      value.name = *name;
      value.type = static_cast<uint32_t>(*type);
      for (size_t k = 0; k < hex.size(); k += 2) {
        if (Hex(hex[k]) < 0 || Hex(hex[k + 1]) < 0) return std::nullopt;
        value.data.push_back(static_cast<char>(Hex(hex[k]) << 4 | Hex(hex[k + 1])));
      }
      record.values.push_back(value);
    } else {
      return std::nullopt;
    }
  }
  return record;
}

bool Same(const std::vector<RegistryValue>& a, const std::vector<RegistryValue>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  return true;
}

bool IsFuzzName(const Text& name) {
  if (name.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != u"fuzz"[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::string root = FuzzScratchFolder() + "/root";
  setenv("CLAVORA_ROOT", root.c_str(), 1);
  FUZZ_CHECK(zefa::platform::RegistryCreateKey(kRoot, kSubkey, 0));
  g_record_path = root + "/registry/hkey_local_machine/software/fuzzkey/.key";
  struct stat st {};
  FUZZ_CHECK(stat(g_record_path.c_str(), &st) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  WriteFuzzFile(g_record_path, data, size);
  const std::optional<Record> expected = ReadRecord(file);
  const std::vector<RegistryValue> before = zefa::platform::RegistryValues(kRoot, kSubkey, 0);
  const int64_t stamp_before = zefa::platform::RegistryKeyLastWriteTicks(kRoot, kSubkey, 0);
  FUZZ_CHECK(Same(before, expected ? expected->values : std::vector<RegistryValue>{}));
  // The stamp is kept in nanoseconds since 1970 and read as 100-ns ticks
  // since 1601; a key never written reads as 0.
  if (expected) {
    const int64_t ticks = expected->stamp == 0
                              ? 0
                              : static_cast<int64_t>(expected->stamp / 100) + 116444736000000000LL;
    FUZZ_CHECK(stamp_before == ticks);
  }

  RegistryValue value;
  value.name = u"Fuzz";
  value.type = zefa::platform::kRegDword;
  value.data = std::string("\x01\x02\x03\x04", 4);
  const bool written = zefa::platform::RegistryWrite(kRoot, kSubkey, value, 0);
  if (!expected) {
    FUZZ_CHECK(!written);
    FUZZ_CHECK(ReadFuzzFile(g_record_path) == file);
    return 0;
  }
  FUZZ_CHECK(written);
  std::vector<RegistryValue> after_expected = expected->values;
  bool replaced = false;
  for (RegistryValue& v : after_expected) {
    if (IsFuzzName(v.name)) {
      v.type = value.type, v.data = value.data, replaced = true;
      break;
    }
  }
  if (!replaced) after_expected.push_back(value);
  FUZZ_CHECK(Same(zefa::platform::RegistryValues(kRoot, kSubkey, 0), after_expected));
  // A stamp in the very last second of the range cannot move on; it may go
  // back to the clock instead of overflowing.
  FUZZ_CHECK(zefa::platform::RegistryKeyLastWriteTicks(kRoot, kSubkey, 0) >= stamp_before ||
             expected->stamp > static_cast<uint64_t>(INT64_MAX) - 1000000000);
  return 0;
}

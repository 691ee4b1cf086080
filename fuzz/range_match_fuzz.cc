// The breached-password range answer against a plain reference: the answer
// holds the suffix when one of its CR LF separated lines begins with it.
// The suffix is taken from the input and, so that hits are common, from
// every line of the answer as well.
#include <string>
#include <string_view>
#include <vector>

#include "breach/pwned_lookup.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr size_t kSuffixLength = 35;

std::vector<std::string_view> Lines(std::string_view body) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i + 1 < body.size(); ++i) {
    if (body[i] == '\r' && body[i + 1] == '\n') {
      lines.push_back(body.substr(start, i - start));
      start = i + 2;
      ++i;
    }
  }
  lines.push_back(body.substr(start));
  return lines;
}

bool Reference(std::string_view body, std::string_view suffix) {
  if (suffix.size() != kSuffixLength) return false;
  for (std::string_view line : Lines(body))
    if (line.size() >= suffix.size() && line.compare(0, suffix.size(), suffix) == 0) return true;
  return false;
}

void Check(std::string_view body, std::string_view suffix) {
  const bool expected = Reference(body, suffix);
  FUZZ_CHECK(zefa::PwnedRangeMatches(body, suffix) == expected);
  FUZZ_CHECK(zefa::PwnedStatusOutcome(200, body, suffix) ==
             (expected ? zefa::kPwnedFound : zefa::kPwnedNotFound));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // First byte: how long the suffix taken from the input is (usually 35).
  const size_t suffix_length = data[0] < 0xF0 ? kSuffixLength : data[0] - 0xF0 + 30;
  const std::string_view rest = input.substr(1);
  const std::string_view suffix = rest.substr(0, suffix_length);
  const std::string_view body = rest.substr(suffix.size());
  Check(body, suffix);
  for (std::string_view line : Lines(body)) Check(body, line.substr(0, kSuffixLength));
  FUZZ_CHECK(zefa::PwnedStatusOutcome(429, body, suffix) == zefa::kPwnedTooManyRequests);
  FUZZ_CHECK(zefa::PwnedStatusOutcome(503, body, suffix) == zefa::kPwnedServiceUnavailable);
  FUZZ_CHECK(zefa::PwnedStatusOutcome(404, body, suffix) == zefa::kPwnedNotFound);
  return 0;
}

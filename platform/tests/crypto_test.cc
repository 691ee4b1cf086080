// Digests against the published test vectors, and the random source.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/digests.h"
#include "platform/digest_context.h"

namespace zefa::platform {
namespace {

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    hex.push_back(kDigits[static_cast<unsigned char>(c) & 0x0F]);
  }
  return hex;
}

std::string DigestHex(DigestAlgorithm algorithm, std::string_view text) {
  const std::string_view parts[] = {text};
  return Hex(Digest(algorithm, parts, 1));
}

TEST(Digest, PublishedVectors) {
  EXPECT_EQ(DigestHex(kDigestMd5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(DigestHex(kDigestSha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(DigestHex(kDigestSha256, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestHex(kDigestSha512, "abc"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(DigestHex(kDigestSha1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(DigestHex(kDigestMd5, ""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Digest, PartsAreConcatenated) {
  const std::string_view parts[] = {"a", "", "bc"};
  EXPECT_EQ(Hex(Digest(kDigestSha256, parts, 3)), DigestHex(kDigestSha256, "abc"));
  EXPECT_EQ(Hex(Digest(kDigestSha256, parts, 0)), DigestHex(kDigestSha256, ""));
  // A million "a": the long-message vector of SHA-1.
  const std::string million(1000000, 'a');
  EXPECT_EQ(DigestHex(kDigestSha1, million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// One context reused for many digests in a row gives, every time, what a
// fresh one-off digest gives: for every algorithm, generated inputs of every
// length around the block sizes, split into parts at generated points.
TEST(DigestContext, ReusedContextAgreesWithOneOffDigests) {
  for (const DigestAlgorithm algorithm : {kDigestMd5, kDigestSha1, kDigestSha256, kDigestSha512}) {
    DigestContext* context = OpenDigestContext(algorithm);
    ASSERT_NE(context, nullptr);
    uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (size_t length = 0; length < 300; ++length) {
      std::string input(length, '\0');
      for (char& c : input) c = static_cast<char>(next() >> 24);
      const size_t cut = length == 0 ? 0 : next() % (length + 1);
      const std::string_view parts[] = {std::string_view(input).substr(0, cut),
                                        std::string_view(input).substr(cut)};
      unsigned char out[kMaxDigestBytes];
      const size_t size = DigestWith(context, parts, 2, out);
      const std::string_view whole_view[] = {input};
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), size),
                Digest(algorithm, whole_view, 1))
          << "algorithm " << algorithm << ", length " << length;
    }
    CloseDigestContext(context);
  }
  CloseDigestContext(nullptr);
}

TEST(RandomBytes, FillsTheBufferWithFreshBytes) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    std::string buffer(32, '\0');
    ASSERT_TRUE(RandomBytes(buffer.data(), buffer.size()));
    seen.insert(buffer);
  }
  EXPECT_EQ(seen.size(), 20u);
  EXPECT_TRUE(RandomBytes(nullptr, 0));
}

}  // namespace
}  // namespace zefa::platform

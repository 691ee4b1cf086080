// The store file: coding, lookups, the false-positive bound, and refusal of
// damaged, truncated and foreign files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "breach/md4.h"
#include "breach/store_builder.h"
#include "breach/store_digest.h"
#include "breach/store_format.h"
#include "breach/store_reader.h"

namespace zefa::store {
namespace {

namespace fs = std::filesystem;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
  return hex;
}

std::string Md4Hex(const std::string& input) {
  unsigned char digest[16];
  Md4(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  return Hex(std::string(reinterpret_cast<char*>(digest), 16));
}

TEST(StoreDigest, Md4AndNtHashAndSha1) {
  // RFC 1320 test suite, including inputs that need a second padding block.
  EXPECT_EQ(Md4Hex(""), "31D6CFE0D16AE931B73C59D7E0C089C0");
  EXPECT_EQ(Md4Hex("abc"), "A448017AAF21D8525FC10AE87AA6729D");
  EXPECT_EQ(Md4Hex("abcdefghijklmnopqrstuvwxyz"), "D79E1C308AA5BBCDEEA8ED63DF412DA9");
  EXPECT_EQ(
      Md4Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
      "E33B4DDC9C38F2199C3E7B164FCC0536");
  EXPECT_EQ(Hex(PasswordDigest(HashKind::kNtlm, ZT("password"))),
            "8846F7EAEE8FB117AD06BDD830B7586C");
  EXPECT_EQ(Hex(PasswordDigest(HashKind::kSha1, ZT("password"))),
            "5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8");
  EXPECT_EQ(Hex(PasswordDigest(HashKind::kSha1, ZT("pässwörd"))),
            "F517DDF1D32A112FF1AD55C66D1B12CB38E7E8F7");
  EXPECT_EQ(PasswordKey(HashKind::kSha1, ZT("password")), 0x5BAA61E4C9B93F3FULL);
}

TEST(StoreFormat, PrefixWidthRiceParameterAndRate) {
  EXPECT_EQ(PrefixBitsFor(0), 30u);
  EXPECT_EQ(PrefixBitsFor(1), 30u);
  EXPECT_EQ(PrefixBitsFor(1000000), 50u);  // 2^20 >= 10^6
  EXPECT_EQ(PrefixBitsFor(1u << 20), 50u);
  EXPECT_EQ(PrefixBitsFor((1u << 20) + 1), 51u);
  EXPECT_EQ(PrefixBitsFor(uint64_t{1} << 40), 64u);  // capped
  // Mean gap 2^30 to 2^31: the optimal Rice parameter sits just below it.
  const uint32_t r = RiceBitsFor(1000000, 50);
  EXPECT_GE(r, 28u);
  EXPECT_LE(r, 30u);
  EXPECT_LE(FalsePositiveRate(1000000, PrefixBitsFor(1000000)), std::ldexp(1.0, -30));
}

class StoreFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("store-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path Build(const std::vector<uint64_t>& keys, const std::string& name = "store.bin",
                 HashKind kind = HashKind::kSha1) {
    PartitionWriter writer;
    std::string error;
    EXPECT_TRUE(OpenPartitions(writer, folder_ / (name + ".parts"), error)) << error;
    for (uint64_t key : keys) AddKey(writer, key);
    EXPECT_TRUE(ClosePartitions(writer, error)) << error;
    StoreHeader header;
    EXPECT_TRUE(WriteStoreFromPartitions(writer.files, kind, 0, folder_ / name, {}, header, error))
        << error;
    RemovePartitions(writer);
    return folder_ / name;
  }

  static StoreHandle Open(const fs::path& path, std::string& error) {
    return OpenStore(Utf8ToText(path.string()), error);
  }

  static std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  fs::path folder_;
};

TEST_F(StoreFiles, EveryStoredKeyIsFoundAndAbsentKeysStayUnderTheBound) {
  std::mt19937_64 random(42);
  std::vector<uint64_t> keys(300000);
  for (uint64_t& key : keys) key = random();
  keys.push_back(0);  // the smallest and largest keys
  keys.push_back(~uint64_t{0});
  keys.push_back(keys[5]);  // a duplicate
  const fs::path path = Build(keys);
  std::string error;
  StoreHandle store = Open(path, error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->header.hash_count, keys.size());
  EXPECT_EQ(store->header.prefix_count, keys.size() - 1);
  EXPECT_EQ(store->header.prefix_bits, 49u);
  EXPECT_LE(store->header.false_positive_rate, std::ldexp(1.0, -30));
  EXPECT_LT(static_cast<double>(fs::file_size(path)) / store->header.prefix_count, 4.5);
  EXPECT_TRUE(VerifyStoreBlocks(*store, error)) << error;
  for (uint64_t key : keys) ASSERT_EQ(StoreLookupKey(*store, key), StoreAnswer::kFound) << key;

  // Absent keys: with m/2^k below 1e-9 not one of a million may match, and
  // neighbours of stored keys that differ inside the prefix must not either.
  std::set<uint64_t> stored(keys.begin(), keys.end());
  size_t false_positives = 0;
  for (int i = 0; i < 1000000; ++i) {
    const uint64_t key = random();
    if (!stored.count(key) && StoreLookupKey(*store, key) == StoreAnswer::kFound) ++false_positives;
  }
  EXPECT_EQ(false_positives, 0u);
  const uint64_t step = uint64_t{1} << (64 - store->header.prefix_bits);
  for (size_t i = 0; i < 1000; ++i) {
    const uint64_t key = keys[i];
    if (key >= step && !stored.count(key - step) && !stored.count(key - step + 1)) {
      EXPECT_EQ(StoreLookupKey(*store, key - step), StoreAnswer::kNotFound);
    }
    EXPECT_EQ(StoreLookupKey(*store, key | (step - 1)), StoreAnswer::kFound) << "same prefix";
  }
}

TEST_F(StoreFiles, EmptySingleAndSparseStores) {
  std::string error;
  StoreHandle empty = Open(Build({}, "empty.bin"), error);
  ASSERT_TRUE(empty) << error;
  EXPECT_EQ(empty->header.block_count, 0u);
  EXPECT_EQ(StoreLookupKey(*empty, 12345), StoreAnswer::kNotFound);

  StoreHandle single = Open(Build({0x8000000000000000ULL}, "single.bin"), error);
  ASSERT_TRUE(single) << error;
  EXPECT_EQ(StoreLookupKey(*single, 0x8000000000000000ULL), StoreAnswer::kFound);
  EXPECT_EQ(StoreLookupKey(*single, 0x7FFFFFFFFFFFFFFFULL), StoreAnswer::kNotFound);
  EXPECT_EQ(StoreLookupKey(*single, ~uint64_t{0}), StoreAnswer::kNotFound);

  // Far apart keys in a store whose Rice parameter fits dense ones: the
  // gaps are written raw.
  std::vector<uint64_t> keys;
  std::mt19937_64 random(7);
  for (int i = 0; i < 5000; ++i) keys.push_back(random() >> 20);  // all in partition 0
  keys.push_back(0x4000000000000000ULL);
  keys.push_back(0xF000000000000000ULL);
  StoreHandle sparse = Open(Build(keys, "sparse.bin"), error);
  ASSERT_TRUE(sparse) << error;
  EXPECT_TRUE(VerifyStoreBlocks(*sparse, error)) << error;
  for (uint64_t key : keys) ASSERT_EQ(StoreLookupKey(*sparse, key), StoreAnswer::kFound);
  EXPECT_EQ(StoreLookupKey(*sparse, 0x8000000000000000ULL), StoreAnswer::kNotFound);
}

TEST_F(StoreFiles, SameKeysInAnyOrderGiveTheSameFile) {
  std::mt19937_64 random(3);
  std::vector<uint64_t> keys(50000);
  for (uint64_t& key : keys) key = random();
  const std::string first = ReadBytes(Build(keys, "a.bin"));
  std::shuffle(keys.begin(), keys.end(), random);
  keys.push_back(keys.front());
  EXPECT_EQ(ReadBytes(Build(keys, "b.bin")).substr(kStoreBlockSize), first.substr(kStoreBlockSize));
}

TEST_F(StoreFiles, DamagedTruncatedAndForeignFilesAreRefused) {
  std::mt19937_64 random(11);
  std::vector<uint64_t> keys(20000);
  for (uint64_t& key : keys) key = random();
  const fs::path path = Build(keys);
  const std::string good = ReadBytes(path);
  std::string error;
  StoreHandle intact = Open(path, error);
  ASSERT_TRUE(intact) << error;
  const uint64_t index_offset = intact->header.index_offset;
  intact.reset();

  auto refused_with = [&](const std::string& bytes, const std::string& reason) {
    const fs::path bad = folder_ / "bad.bin";
    WriteBytes(bad, bytes);
    std::string why;
    EXPECT_FALSE(Open(bad, why)) << reason;
    EXPECT_NE(why.find(reason), std::string::npos) << why;
  };
  refused_with(good.substr(0, good.size() - 1), "truncated");
  refused_with(good.substr(0, 5000), "truncated");
  refused_with(good.substr(0, 100), "too short");
  refused_with(good + "x", "longer than");
  refused_with("", "too short");
  refused_with(std::string(8192, 'A'), "not a password store");
  std::string header = good;
  header[20] ^= 0x01;  // the hash count
  refused_with(header, "header checksum");
  std::string version = good;
  version[8] = 2;
  refused_with(version, "format version 2");
  std::string index = good;
  index[index_offset + 13] ^= 0x40;
  refused_with(index, "index checksum");
  std::string errno_like;
  refused_with(std::string(), "too short");
  std::string why;
  EXPECT_FALSE(Open(folder_ / "missing.bin", why));
  EXPECT_NE(why.find("cannot open"), std::string::npos) << why;

  // A bit flipped inside a block: the file opens (only the header and the
  // index are read then), the block's lookups report the damage, and the
  // full check finds it.
  std::string block = good;
  block[kStoreBlockSize * 2 + 700] ^= 0x08;
  const fs::path bad = folder_ / "bad-block.bin";
  WriteBytes(bad, block);
  StoreHandle damaged = Open(bad, why);
  ASSERT_TRUE(damaged) << why;
  size_t damaged_answers = 0;
  for (uint64_t key : keys) {
    const StoreAnswer answer = StoreLookupKey(*damaged, key);
    if (StoreBlockOfKey(*damaged, key) == 1) {
      EXPECT_EQ(answer, StoreAnswer::kDamaged);
      ++damaged_answers;
    } else {
      EXPECT_EQ(answer, StoreAnswer::kFound);
    }
  }
  EXPECT_GT(damaged_answers, 0u);
  EXPECT_FALSE(VerifyStoreBlocks(*damaged, why));
  EXPECT_NE(why.find("block 1 "), std::string::npos) << why;
}

// Blocks whose checksum was made to match garbage (a writer's fault, not
// a disk's): counts, skip points and codes out of range are refused or give
// some answer, never a read outside the block (run under AddressSanitizer
// in the sanitizer build).
TEST_F(StoreFiles, GarbageBlocksWithMatchingChecksumsAreReadSafely) {
  std::mt19937_64 random(21);
  std::vector<uint64_t> keys(3000);
  for (uint64_t& key : keys) key = random();
  const std::string good = ReadBytes(Build(keys));
  std::string error;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    const size_t block = kStoreBlockSize * (1 + random() % 3);
    const int changes = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < changes; ++i) {
      const size_t at = kBlockCountOffset + random() % (kStoreBlockSize - kBlockCountOffset);
      bytes[block + at] = static_cast<char>(random());
    }
    if (round % 3 == 0) {  // an absurd count or skip offset
      const uint32_t count = static_cast<uint32_t>(random());
      std::memcpy(&bytes[block + kBlockCountOffset], &count, 4);
      const uint32_t bit = static_cast<uint32_t>(random());
      std::memcpy(&bytes[block + kBlockSkipOffset + 8], &bit, 4);
    }
    const uint64_t sum = StoreChecksum(reinterpret_cast<const unsigned char*>(&bytes[block + 8]),
                                       kStoreBlockSize - 8);
    std::memcpy(&bytes[block], &sum, 8);
    const fs::path path = folder_ / "garbage.bin";
    WriteBytes(path, bytes);
    StoreHandle store = Open(path, error);
    ASSERT_TRUE(store) << error;
    for (int i = 0; i < 200; ++i) {
      const StoreAnswer answer =
          StoreLookupKey(*store, i % 2 ? random() : keys[random() % keys.size()]);
      EXPECT_TRUE(answer == StoreAnswer::kFound || answer == StoreAnswer::kNotFound ||
                  answer == StoreAnswer::kDamaged);
    }
    VerifyStoreBlocks(*store, error);
  }
}

TEST_F(StoreFiles, PasswordsOfBothKindsAreFoundByTheirKind) {
  for (HashKind kind : {HashKind::kSha1, HashKind::kNtlm}) {
    std::vector<uint64_t> keys;
    for (const Text& password : {Text(ZT("password")), Text(ZT("Sommer2024!")), Text(ZT(""))})
      keys.push_back(*PasswordKey(kind, password));
    std::string error;
    StoreHandle store = Open(Build(keys, std::string(HashKindName(kind)) + ".bin", kind), error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->header.kind, kind);
    EXPECT_EQ(StoreLookupPassword(*store, ZT("Sommer2024!")), StoreAnswer::kFound);
    EXPECT_EQ(StoreLookupPassword(*store, ZT("")), StoreAnswer::kFound);
    EXPECT_EQ(StoreLookupPassword(*store, ZT("sommer2024!")), StoreAnswer::kNotFound);
  }
}

}  // namespace
}  // namespace zefa::store

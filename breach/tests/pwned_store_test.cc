// The table of open stores: path resolution, and lookups on many threads
// while loads swap the stores under them.
#include "breach/pwned_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "breach/pwned_lookup.h"
#include "breach/store_builder.h"
#include "breach/store_digest.h"

namespace zefa {
namespace {

namespace fs = std::filesystem;

TEST(PwnedStorePath, AbsolutePathsOrNamesInTheWordsFolder) {
  EXPECT_EQ(PwnedStorePath(ZT("/var/lib/clavora/pwned.store"), ZT("/share/words")),
            ZT("/var/lib/clavora/pwned.store"));
  EXPECT_EQ(PwnedStorePath(ZT("pwned.store"), ZT("/share/words")), ZT("/share/words/pwned.store"));
  EXPECT_EQ(PwnedStorePath(ZT("../../etc/shadow"), ZT("/share/words")), Text());
  EXPECT_EQ(PwnedStorePath(ZT("sub/../x.store"), ZT("/share/words")), Text());
  EXPECT_EQ(PwnedStorePath(ZT("x..store"), ZT("/share/words")), ZT("/share/words/x..store"));
  EXPECT_EQ(PwnedStorePath(ZT(""), ZT("/share/words")), Text());
  EXPECT_EQ(PwnedStorePath(ZT("pwned.store"), ZT("")), Text()) << "no words folder yet";
}

void MakeStore(const fs::path& path, const std::vector<Text>& passwords) {
  store::PartitionWriter writer;
  std::string error;
  ASSERT_TRUE(store::OpenPartitions(writer, path.string() + ".parts", error)) << error;
  for (const Text& password : passwords)
    store::AddKey(writer, *store::PasswordKey(store::HashKind::kSha1, password));
  ASSERT_TRUE(store::ClosePartitions(writer, error)) << error;
  store::StoreHeader header;
  ASSERT_TRUE(store::WriteStoreFromPartitions(writer.files, store::HashKind::kSha1, 0, path, {},
                                              header, error))
      << error;
  store::RemovePartitions(writer);
}

TEST(PwnedStoreTable, LookupsOnManyThreadsWhileLoadsSwapTheStores) {
  const fs::path folder = fs::temp_directory_path() / "pwned-store-table-test";
  fs::remove_all(folder);
  fs::create_directories(folder);
  MakeStore(folder / "a.store", {ZT("only-in-a"), ZT("in-both")});
  MakeStore(folder / "b.store", {ZT("only-in-b"), ZT("in-both")});
  const Text words = Utf8ToText(folder.string());
  OpenPwnedStores({ZT("a.store"), ZT("b.store")}, words);

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        if (PwnedStoreLookup(ZT("a.store"), ZT("in-both")) != kPwnedFound) ++wrong;
        if (PwnedStoreLookup(ZT("b.store"), ZT("only-in-b")) != kPwnedFound) ++wrong;
        if (PwnedStoreLookup(ZT("a.store"), ZT("only-in-b")) != kPwnedNotFound) ++wrong;
      }
    });
  }
  for (int load = 0; load < 200; ++load) OpenPwnedStores({ZT("b.store"), ZT("a.store")}, words);
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);

  OpenPwnedStores({ZT("a.store")}, words);
  EXPECT_EQ(PwnedStoreLookup(ZT("b.store"), ZT("only-in-b")), kPwnedStoreUnavailable)
      << "a store no set names any more is closed";
  ClosePwnedStores();
  EXPECT_EQ(PwnedStoreLookup(ZT("a.store"), ZT("in-both")), kPwnedStoreUnavailable);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace zefa

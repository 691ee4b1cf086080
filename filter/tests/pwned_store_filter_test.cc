// The breached check against an offline store (PwnedStore): verdict and
// message, both hash kinds, no network, a missing or damaged store failing
// open with one warning per load, a store replaced on disk picked up at the
// next load, and the test console naming the store.
#include <gtest/gtest.h>

#include <filesystem>

#include "breach/pwned_store.h"
#include "breach/store_builder.h"
#include "breach/store_digest.h"
#include "filter/exports.h"
#include "filter/test_password.h"
#include "policy/policies.h"
#include "server/reload_policies.h"
#include "server/server_initialisation.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

namespace fs = std::filesystem;
using store::HashKind;

void MakeStore(const std::string& path, HashKind kind, const std::vector<std::string>& passwords) {
  store::PartitionWriter writer;
  std::string error;
  ASSERT_TRUE(store::OpenPartitions(writer, path + ".parts", error)) << error;
  for (const std::string& password : passwords)
    store::AddKey(writer, *store::PasswordKey(kind, Utf8ToText(password)));
  ASSERT_TRUE(store::ClosePartitions(writer, error)) << error;
  store::StoreHeader header;
  ASSERT_TRUE(store::WriteStoreFromPartitions(writer.files, kind, 0, path, {}, header, error))
      << error;
  store::RemovePartitions(writer);
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The store's own warnings and those of the breached check (others, such as
// a mirror that found no directory, do not concern it).
size_t StoreWarnings(const std::string& log) {
  return Count(log, "\tWarning\tPwnedStore ") + Count(log, "\tWarning\tPwnedCheck ");
}

class PwnedStoreFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    // Any online lookup would go to a closed port and leave a warning.
    setenv("CLAVORA_PWNED_URL", "https://127.0.0.1:1", 1);
    domain_.SetPolicy(1, "Enabled", "1");
    domain_.SetPolicy(1, "UserGroups", "Staff");
    domain_.SetPolicy(1, "PwnedEnabled", "1");
    SetUserLookupForTesting([](const Text& name, UserRecord& user) {
      user.AccountName = name;
      user.GroupNames = ZT("Staff;");
    });
  }
  void TearDown() override {
    unsetenv("CLAVORA_PWNED_URL");
    ClosePwnedStores();
  }

  static bool Filter(const char* password) {
    Text account = ZT("jdoe"), full, secret = testing::T(password);
    auto counted = [](Text& text) {
      return ZEFA_UNICODE_STRING{static_cast<uint16_t>(text.size() * sizeof(WChar)),
                                 static_cast<uint16_t>(text.size() * sizeof(WChar)), text.data()};
    };
    ZEFA_UNICODE_STRING a = counted(account), f = counted(full), p = counted(secret);
    return PasswordFilter(&a, &f, &p, 0) != 0;
  }

  static void NextLoad() {
    testing::TestDomain::ForgetPolicyStamp();
    ReloadPolicies();
  }

  std::string Log() const { return testing::ReadFileText(domain_.log_file()); }

  testing::TestDomain domain_;
};

TEST_F(PwnedStoreFilter, ListedPasswordsAreRejectedFromTheStoreOfEitherKind) {
  fs::create_directories(domain_.words_folder());
  MakeStore(domain_.words_folder() + "/pwned-sha1.store", HashKind::kSha1,
            {"Sommer2024!", "correct horse battery staple"});
  const std::string ntlm = domain_.root() + "/pwned-ntlm.store";
  MakeStore(ntlm, HashKind::kNtlm, {"Winter2023?"});
  domain_.SetPolicy(1, "PwnedStore", "pwned-sha1.store");
  ASSERT_EQ(ServerInitialisation(), 1);

  EXPECT_FALSE(Filter("Sommer2024!"));
  EXPECT_FALSE(Filter("correct horse battery staple"));
  EXPECT_TRUE(Filter("Winter2023?")) << "only in the NTLM store";
  EXPECT_TRUE(Filter("sommer2024!"));
  std::string log = Log();
  EXPECT_EQ(Count(log, "\tPassword Denied\t"), 2u) << log;
  EXPECT_NE(log.find(" | -Must not be listed as compromised in PwnedCheck"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("PwnedCheck Failed"), std::string::npos) << "no online lookup: " << log;
  EXPECT_EQ(StoreWarnings(log), 0u) << log;

  domain_.SetPolicy(1, "PwnedStore", ntlm);  // an absolute path
  NextLoad();
  EXPECT_FALSE(Filter("Winter2023?"));
  EXPECT_TRUE(Filter("Sommer2024!"));
  EXPECT_EQ(StoreWarnings(Log()), 0u) << Log();
}

TEST_F(PwnedStoreFilter, MissingOrDamagedStoresPassWithOneWarningPerLoad) {
  domain_.SetPolicy(1, "PwnedStore", domain_.root() + "/absent.store");
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(Filter("Sommer2024!"));
  EXPECT_TRUE(Filter("anything else at all"));
  EXPECT_EQ(Count(Log(), "\tWarning\tPwnedStore "), 1u) << Log();
  EXPECT_NE(Log().find("absent.store unusable: cannot open"), std::string::npos) << Log();
  NextLoad();
  EXPECT_EQ(Count(Log(), "\tWarning\tPwnedStore "), 2u) << "one per load: " << Log();

  // A truncated store is refused at the load.
  const std::string cut = domain_.root() + "/cut.store";
  MakeStore(cut, HashKind::kSha1, {"Sommer2024!"});
  fs::resize_file(cut, fs::file_size(cut) - 1);
  domain_.SetPolicy(1, "PwnedStore", cut);
  NextLoad();
  EXPECT_TRUE(Filter("Sommer2024!")) << "fails open";
  EXPECT_NE(Log().find("cut.store unusable: truncated"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("PwnedCheck Failed"), std::string::npos) << "no online fallback";

  // A damaged block is found by the lookup that reads it: one warning.
  const std::string damaged = domain_.root() + "/damaged.store";
  MakeStore(damaged, HashKind::kSha1, {"Sommer2024!"});
  {
    std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 + 200);
    file.put('\x5A');
  }
  domain_.SetPolicy(1, "PwnedStore", damaged);
  NextLoad();
  const size_t before = Count(Log(), "\tWarning\tPwnedStore ");
  EXPECT_TRUE(Filter("Sommer2024!"));
  EXPECT_TRUE(Filter("Sommer2024!"));
  EXPECT_EQ(Count(Log(), "\tWarning\tPwnedStore "), before + 1) << Log();
  EXPECT_NE(Log().find("damaged.store unusable: a block is damaged"), std::string::npos);
}

TEST_F(PwnedStoreFilter, AReplacedStoreIsReadFromTheNextLoadOn) {
  const std::string path = domain_.root() + "/pwned.store";
  MakeStore(path, HashKind::kSha1, {"Sommer2024!"});
  domain_.SetPolicy(1, "PwnedStore", path);
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_FALSE(Filter("Sommer2024!"));

  // zefastore writes the new store beside the old one and renames it over.
  MakeStore(path + ".new", HashKind::kSha1, {"Herbst2025#"});
  fs::rename(path + ".new", path);
  EXPECT_FALSE(Filter("Sommer2024!")) << "the open store stays until the next load";
  EXPECT_TRUE(Filter("Herbst2025#"));
  NextLoad();
  EXPECT_TRUE(Filter("Sommer2024!"));
  EXPECT_FALSE(Filter("Herbst2025#"));
}

TEST_F(PwnedStoreFilter, TheTestConsoleNamesTheStore) {
  const std::string path = domain_.root() + "/pwned.store";
  MakeStore(path, HashKind::kNtlm, {"Sommer2024!", "x", "y"});
  domain_.SetPolicy(1, "PwnedStore", path);
  ::testing::internal::CaptureStdout();
  RunTestPassword(ZT("jdoe"), ZT("Sommer2024!"));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("PwnedCheck store: " + path + " (NTLM, 3 hashes)"), std::string::npos) << out;
  EXPECT_NE(out.find("Result: Denied"), std::string::npos) << out;
  EXPECT_NE(out.find("-Must not be listed as compromised in PwnedCheck"), std::string::npos) << out;
}

}  // namespace
}  // namespace zefa

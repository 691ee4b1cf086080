// The password audit's findings over generated accounts: listed variants,
// shared groups, the reports (no hash text), the group walk that gives the
// policy selection its record, and the encrypted-secret values of sam.ldb.
// The whole program against a real DC: scripts/tests/zefaaudit_test.sh.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <set>

#include "tools/password_audit.h"
#include "tools/sam_database.h"
#include "tools/sam_user_records.h"

namespace zefa::audit {
namespace {

Text RandomWord(std::mt19937& random, size_t length) {
  Text word;
  for (size_t i = 0; i < length; ++i) word += static_cast<WChar>(ZT('a') + random() % 26);
  return word;
}

std::string HexOf(const NtHash& hash) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : hash) hex += {digits[c >> 4], digits[c & 15]};
  return hex;
}

AuditAccount Account(const Text& name, int64_t set, const Text& password) {
  AuditAccount account;
  account.name = name;
  account.set = set;
  account.has_nt_hash = true;
  account.nt_hash = NtHashOf(password);
  return account;
}

// Every variant the README lists of a set's word or of the account's name is
// found, on any number of threads; a password one step beside the variants
// (another ending, another set's word) is not; accounts without a set are
// never listed.
TEST(PasswordAudit, ListedFindsEveryVariantOfItsSetsWordsAndTheName) {
  std::mt19937 random(26);
  const std::vector<Text> endings = {ZT(""),     ZT("7"), ZT("42"), ZT("1950"),
                                     ZT("2039"), ZT("!"), ZT("1!")};
  std::vector<SetWords> words(9);
  auto file = std::make_shared<WordList>();
  for (int i = 0; i < 500; ++i) {
    words[1].words.push_back(RandomWord(random, 4 + random() % 27));  // long ones too
    AppendWord(*file, RandomWord(random, 5));
  }
  FinishWordList(*file);
  words[2].file = file;

  std::vector<AuditAccount> accounts;
  std::vector<bool> expected;
  for (int i = 0; i < 300; ++i) {
    const Text ending = endings[random() % endings.size()];
    const bool capital = random() % 2 == 0;
    auto shape = [&](Text word) {
      if (capital) word[0] = static_cast<WChar>(word[0] - 32);
      return word + ending;
    };
    const Text name = ZT("user") + RandomWord(random, 6);
    switch (i % 6) {
      case 0:
        accounts.push_back(Account(name, 1, shape(words[1].words[random() % 500])));
        break;
      case 1: {
        const Text word = WordAt(*file, random() % WordCount(*file));
        accounts.push_back(Account(name, 2, shape(Text(word))));
        break;
      }
      case 2:
        accounts.push_back(Account(name, 3, shape(name)));
        break;
      case 3:
        accounts.push_back(Account(name, 1, shape(words[1].words[0]) + ZT("x")));
        break;
      case 4:
        accounts.push_back(Account(name, 2, shape(words[1].words[random() % 500])));
        break;
      case 5:
        accounts.push_back(Account(name, 0, shape(words[1].words[random() % 500])));
        break;
    }
    expected.push_back(i % 6 <= 2);
  }
  for (unsigned threads : {1u, 3u}) {
    FindListed(accounts, words, threads);
    for (size_t i = 0; i < accounts.size(); ++i)
      EXPECT_EQ(accounts[i].listed, expected[i])
          << "account " << i << ", " << threads << " threads";
  }
  EXPECT_EQ(ListedVariants(ZT("Word")).size(), 2u * 203u);  // Word, word; 203 endings each
}

// Accounts share a group exactly when they hold the same hash (the empty
// password's hash excepted: those are "empty"); groups are numbered 1.. in
// the order of their first account; no report holds hash text.
TEST(PasswordAudit, SharedGroupsFollowTheHashesAndReportsHoldNoHash) {
  std::mt19937 random(7);
  std::vector<Text> pool;
  for (int i = 0; i < 40; ++i) pool.push_back(RandomWord(random, 10));
  pool.push_back(Text());
  std::vector<AuditAccount> accounts;
  std::vector<Text> passwords;
  for (int i = 0; i < 400; ++i) {
    passwords.push_back(pool[random() % (i % 3 == 0 ? pool.size() : 20)]);
    if (i % 4 == 1) passwords.back() = RandomWord(random, 14);  // unique
    accounts.push_back(Account(ZT("u") + RandomWord(random, 8), 0, passwords.back()));
  }
  FindEmpty(accounts);
  FindShared(accounts);
  int64_t highest = 0;
  for (size_t i = 0; i < accounts.size(); ++i) {
    EXPECT_EQ(accounts[i].empty, passwords[i].empty());
    size_t same = 0;
    for (size_t j = 0; j < accounts.size(); ++j) {
      if (i == j) continue;
      const bool hash_equal = passwords[i] == passwords[j];
      same += hash_equal;
      if (!passwords[i].empty()) {
        EXPECT_EQ(
            accounts[i].shared_group == accounts[j].shared_group && accounts[i].shared_group != 0,
            hash_equal);
      }
    }
    EXPECT_EQ(accounts[i].shared_group != 0, same > 0 && !passwords[i].empty());
    if (accounts[i].shared_group != 0) {
      EXPECT_LE(accounts[i].shared_group, highest + 1) << "numbered in order of first account";
      highest = std::max(highest, accounts[i].shared_group);
    }
  }
  const std::string reports = CsvReport(accounts) + JsonReport(accounts) + SummaryText(accounts);
  for (const AuditAccount& account : accounts)
    EXPECT_EQ(reports.find(HexOf(account.nt_hash)), std::string::npos);
  const std::string csv = CsvReport(accounts);
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 401);
}

// The groups of an account: its memberOf and primary group, followed to any
// depth through security groups only, a cycle once; privileged through
// any chain that reaches Administrators or the admin groups.
TEST(PasswordAudit, AccountGroupsFollowNestedSecurityGroups) {
  SamContents contents;
  contents.domain_sid = "S-1-5-21-1-2-3";
  const std::string d = contents.domain_sid;
  auto group = [&](const std::string& name, const std::string& sid, std::vector<std::string> of,
                   bool security = true) {
    SamObject g;
    g.name = name;
    g.sid = sid;
    g.member_of = std::move(of);
    g.group_type = security ? 0x80000002u : 0x2u;
    contents.groups.push_back(g);
  };
  // A chain of 30 nested groups ending in Administrators, with a cycle.
  for (int i = 0; i < 30; ++i)
    group("chain" + std::to_string(i), d + "-" + std::to_string(2000 + i),
          {i == 29 ? "S-1-5-32-544" : d + "-" + std::to_string(2001 + i), d + "-2000"});
  group("Administrators", "S-1-5-32-544", {});
  group("Domain Users", d + "-513", {"S-1-5-32-545"});
  group("Users", "S-1-5-32-545", {});
  group("mailing", d + "-3000", {d + "-2000"}, false);  // distribution: not followed
  SamObject chained, mailed;
  chained.name = "chained";
  chained.member_of = {d + "-2000"};
  chained.primary_group_rid = 513;
  chained.parents = {"Staff", "Engi/neering"};
  mailed.name = "mailed";
  mailed.member_of = {d + "-3000"};
  mailed.primary_group_rid = 513;
  mailed.parents = {"Users"};
  contents.users = {chained, mailed};
  const std::vector<AccountFacts> facts = BuildAccountFacts(contents);
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_TRUE(facts[0].privileged);
  for (int i = 0; i < 30; ++i)
    EXPECT_NE(facts[0].record.GroupNames.find(Utf8ToText("chain" + std::to_string(i) + ";")),
              Text::npos);
  for (const WChar* name : {ZT("Administrators;"), ZT("Domain Users;"), ZT("Users;")})
    EXPECT_NE(facts[0].record.GroupNames.find(name), Text::npos) << TextToUtf8(name);
  EXPECT_EQ(facts[0].record.Container, ZT("Staff/Engi\\/neering"));
  EXPECT_FALSE(facts[1].privileged);
  EXPECT_EQ(facts[1].record.GroupNames.find(ZT("mailing;")), Text::npos);
  EXPECT_EQ(facts[1].record.GroupNames.find(ZT("chain")), Text::npos);
  EXPECT_EQ(facts[1].record.Container, ZT("Users"));
}

// An encrypted secret as the DC writes it (AES-128-GCM, the header as
// authenticated data) decodes with its key; with another key, or any byte
// altered, it is refused; a plain value passes as it is.
TEST(PasswordAudit, EncryptedSecretsDecodeOnlyWithTheirKeyAndUnaltered) {
  std::mt19937 random(3);
  auto bytes = [&](size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
  };
  for (int round = 0; round < 20; ++round) {
    const std::string key = bytes(16), iv = bytes(12), value = bytes(16);
    std::string header = {'\xed', '\xad', '\x5c', '\xca', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    std::string plain = {16, 0, 0, 0};
    plain += value;
    std::string cipher(plain.size(), '\0'), tag(16, '\0');
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int length = 0;
    EVP_EncryptInit_ex(context, EVP_aes_128_gcm(), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
    EVP_EncryptInit_ex(context, nullptr, nullptr,
                       reinterpret_cast<const unsigned char*>(key.data()),
                       reinterpret_cast<const unsigned char*>(iv.data()));
    EVP_EncryptUpdate(context, nullptr, &length,
                      reinterpret_cast<const unsigned char*>(header.data()), 16);
    EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(cipher.data()), &length,
                      reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char*>(cipher.data()) + length, &length);
    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, tag.data());
    EVP_CIPHER_CTX_free(context);
    const std::string blob = std::string{12, 0, 0, 0} + iv + header + cipher + tag;

    std::string out;
    ASSERT_TRUE(DecodeSecretValue(blob, key, out));
    EXPECT_EQ(out, value);
    EXPECT_FALSE(DecodeSecretValue(blob, bytes(16), out));
    EXPECT_FALSE(DecodeSecretValue(blob, std::string(), out));
    std::string altered = blob;
    altered[4 + random() % (altered.size() - 4)] ^= static_cast<char>(1 + random() % 255);
    if (altered.compare(16, 4, "\xed\xad\x5c\xca") == 0) {
      EXPECT_FALSE(DecodeSecretValue(altered, key, out));
    }
    ASSERT_TRUE(DecodeSecretValue(value, key, out));
    EXPECT_EQ(out, value);
  }
}

}  // namespace
}  // namespace zefa::audit

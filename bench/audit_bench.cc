// Benchmark of the password audit (zefaaudit) on a domain of generated
// accounts against a large generated NTLM store. In a work folder it
// writes:
//   - a store of STORE_SIZE random NT-hash keys plus the hashes of the
//     generated "breached" passwords (built in-process, as zefastore does),
//   - a sam.ldb with its domain partition holding ACCOUNTS users in 50 OUs
//     and 50 nested security groups, each user's unicodePwd encrypted as a
//     Samba DC stores it (AES-128-GCM under a key file beside sam.ldb): one
//     in 100 breached, one in 50 sharing one of seven passwords, one in 200
//     a forbidden word plus a year, the others unique,
//   - a policy set governing the OUs with a ForbiddenFile of WORDS words,
// then runs the zefaaudit program on it and prints its wall time, accounts
// per second and peak memory (the child's maximum resident set). The work
// folder is deleted at the end.
//   audit_bench [--work FOLDER] [--tool PATH] [--accounts N] [--store-size N] [--words N]
//               [--keep]   (--keep leaves the work folder for further runs)
// Needs root (zefaaudit refuses anyone else).
extern "C" {
#include <ldb.h>
#include <talloc.h>
}
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "breach/store_builder.h"
#include "breach/store_digest.h"
#include "tools/password_audit.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace zefa;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string EncryptSecret(const std::string& key, const std::string& value,
                          std::mt19937_64& random) {
  std::string iv(12, '\0');
  for (char& c : iv) c = static_cast<char>(random());
  const std::string header = {'\xed', '\xad', '\x5c', '\xca', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  std::string plain = {static_cast<char>(value.size()), 0, 0, 0};
  plain += value;
  std::string cipher(plain.size(), '\0'), tag(16, '\0');
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int length = 0;
  EVP_EncryptInit_ex(context, EVP_aes_128_gcm(), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
  EVP_EncryptInit_ex(context, nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                     reinterpret_cast<const unsigned char*>(iv.data()));
  EVP_EncryptUpdate(context, nullptr, &length,
                    reinterpret_cast<const unsigned char*>(header.data()), 16);
  EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(cipher.data()), &length,
                    reinterpret_cast<const unsigned char*>(plain.data()),
                    static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char*>(cipher.data()) + length, &length);
  EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, tag.data());
  EVP_CIPHER_CTX_free(context);
  return std::string{12, 0, 0, 0} + iv + header + cipher + tag;
}

std::string SidBytes(uint32_t rid) {
  std::string sid = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (uint32_t part : {1u, 2u, 3u, rid}) {
    for (int i = 0; i < 4; ++i) sid += static_cast<char>(part >> (8 * i));
  }
  return sid;
}

void AddValue(ldb_message* message, const char* name, const std::string& value) {
  ldb_val val;
  val.data = reinterpret_cast<uint8_t*>(talloc_memdup(message, value.data(), value.size()));
  val.length = value.size();
  ldb_msg_add_value(message, name, &val, nullptr);
}

void AddText(ldb_message* message, const char* name, const std::string& value) {
  ldb_msg_add_string(message, name, talloc_strdup(message, value.c_str()));
}

bool Add(ldb_context* ldb, ldb_message* message) {
  const int rc = ldb_add(ldb, message);
  if (rc != LDB_SUCCESS) std::fprintf(stderr, "ldb_add: %s\n", ldb_errstring(ldb));
  talloc_free(message);
  return rc == LDB_SUCCESS;
}

ldb_message* Message(ldb_context* ldb, const std::string& dn) {
  ldb_message* message = ldb_msg_new(ldb);
  message->dn = ldb_dn_new(message, ldb, dn.c_str());
  return message;
}

const std::string kDomain = "DC=bench,DC=test";
const std::string kDomainSid = "S-1-5-21-1-2-3";

std::string GroupValue(int k) {
  return "<SID=" + kDomainSid + "-" + std::to_string(5000 + k) + ">;CN=G" + std::to_string(k) +
         ",CN=Users," + kDomain;
}

bool WriteSamDatabase(const fs::path& folder, uint64_t accounts,
                      const std::vector<std::string>& passwords, std::string& error) {
  fs::create_directories(folder / "sam.ldb.d");
  std::mt19937_64 random(1);
  std::string key(16, '\0');
  for (char& c : key) c = static_cast<char>(random());
  std::ofstream(folder / "encrypted_secrets.key", std::ios::binary).write(key.data(), 16);

  TALLOC_CTX* memory = talloc_new(nullptr);
  ldb_context* top = ldb_init(memory, nullptr);
  const char* options[] = {"modules:", nullptr};
  if (ldb_connect(top, ("tdb://" + (folder / "sam.ldb").string()).c_str(), 0, options) !=
      LDB_SUCCESS) {
    error = "cannot create sam.ldb";
    return false;
  }
  ldb_message* root = Message(top, "@ROOTDSE");
  AddText(root, "defaultNamingContext", kDomain);
  ldb_message* partition = Message(top, "@PARTITION");
  AddText(partition, "backendStore", "tdb");
  AddText(partition, "partition", "DC=BENCH,DC=TEST:sam.ldb.d/DC=BENCH,DC=TEST.ldb");
  if (!Add(top, root) || !Add(top, partition)) {
    error = "cannot write sam.ldb";
    return false;
  }
  ldb_context* ldb = ldb_init(memory, nullptr);
  const std::string url = "tdb://" + (folder / "sam.ldb.d" / "DC=BENCH,DC=TEST.ldb").string();
  if (ldb_connect(ldb, url.c_str(), 0, options) != LDB_SUCCESS) {
    error = "cannot create the partition";
    return false;
  }
  ldb_transaction_start(ldb);
  auto group = [&](const std::string& name, uint32_t rid, const std::vector<std::string>& of) {
    ldb_message* m = Message(ldb, "CN=" + name + ",CN=Users," + kDomain);
    AddText(m, "objectClass", "top");
    AddText(m, "objectClass", "group");
    AddText(m, "sAMAccountName", name);
    AddValue(m, "objectSid", SidBytes(rid));
    AddText(m, "groupType", "-2147483646");
    for (const std::string& value : of) AddText(m, "memberOf", value);
    return Add(ldb, m);
  };
  bool ok = group("Domain Users", 513, {}) && group("Domain Admins", 512, {});
  for (int k = 0; k < 50 && ok; ++k)
    ok = group(
        "G" + std::to_string(k), 5000 + k,
        k + 1 < 50 ? std::vector<std::string>{GroupValue(k + 1)} : std::vector<std::string>{});
  for (uint64_t i = 0; i < accounts && ok; ++i) {
    const std::string name = "user" + std::to_string(i);
    ldb_message* m =
        Message(ldb, "CN=" + name + ",OU=Dept" + std::to_string(i % 50) + "," + kDomain);
    for (const char* c : {"top", "person", "organizationalPerson", "user"})
      AddText(m, "objectClass", c);
    AddText(m, "sAMAccountName", name);
    AddText(m, "sAMAccountType", "805306368");
    AddValue(m, "objectSid", SidBytes(static_cast<uint32_t>(10000 + i)));
    AddText(m, "userAccountControl", "512");
    AddText(m, "primaryGroupID", "513");
    AddText(m, "memberOf", GroupValue(static_cast<int>(i % 50)));
    const audit::NtHash hash = audit::NtHashOf(Utf8ToText(passwords[i]));
    AddValue(m, "unicodePwd", EncryptSecret(key, std::string(hash.begin(), hash.end()), random));
    ok = Add(ldb, m);
  }
  ldb_transaction_commit(ldb);
  talloc_free(memory);
  if (!ok) error = "cannot write the users";
  return ok;
}

bool WriteStore(const fs::path& path, const fs::path& temp, uint64_t size,
                const std::vector<std::string>& breached, std::string& error) {
  store::PartitionWriter writer;
  if (!store::OpenPartitions(writer, temp, error)) return false;
  std::mt19937_64 random(2);
  for (uint64_t i = 0; i < size; ++i) store::AddKey(writer, random());
  for (const std::string& password : breached)
    store::AddKey(writer, *store::PasswordKey(store::HashKind::kNtlm, Utf8ToText(password)));
  if (!store::ClosePartitions(writer, error)) return false;
  store::StoreHeader header;
  const bool ok = store::WriteStoreFromPartitions(writer.files, store::HashKind::kNtlm, 0, path, {},
                                                  header, error);
  store::RemovePartitions(writer);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = fs::temp_directory_path() / "zefaaudit-bench";
  std::string tool = std::string(CLAVORA_BIN_DIR) + "/zefaaudit";
  uint64_t accounts = 100000, store_size = 100000000, words = 10000;
  bool keep = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--keep") {
      keep = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) break;
    if (arg == "--work")
      work = argv[i + 1];
    else if (arg == "--tool")
      tool = argv[i + 1];
    else if (arg == "--accounts")
      accounts = std::strtoull(argv[i + 1], nullptr, 10);
    else if (arg == "--store-size")
      store_size = std::strtoull(argv[i + 1], nullptr, 10);
    else if (arg == "--words")
      words = std::strtoull(argv[i + 1], nullptr, 10);
  }
  fs::remove_all(work);
  fs::create_directories(work / "netlogon" / "zefa" / "system" / "words");
  fs::create_directories(work / "netlogon" / "zefa" / "system" / "log");
  fs::create_directories(work / "root");

  std::vector<std::string> word_list;
  {
    std::mt19937_64 random(3);
    std::ofstream file(work / "netlogon" / "zefa" / "system" / "words" / "bench.txt");
    for (uint64_t i = 0; i < words; ++i) {
      std::string word;
      for (int c = 0; c < 6 + static_cast<int>(random() % 5); ++c)
        word += static_cast<char>('a' + random() % 26);
      file << word << "\n";
      word_list.push_back(word);
    }
  }
  std::vector<std::string> passwords, breached;
  std::mt19937_64 random(4);
  for (uint64_t i = 0; i < accounts; ++i) {
    if (i % 100 == 0) {
      passwords.push_back("breached-" + std::to_string(i));
      breached.push_back(passwords.back());
    } else if (i % 50 == 1) {
      passwords.push_back("shared-" + std::to_string(i % 7));
    } else if (i % 200 == 2 && !word_list.empty()) {
      passwords.push_back(word_list[random() % word_list.size()] +
                          std::to_string(1950 + random() % 90));
    } else {
      passwords.push_back("unique-" + std::to_string(random()));
    }
  }

  std::string error;
  auto started = Clock::now();
  if (!WriteStore(work / "bench.store", work / "partitions", store_size, breached, error)) {
    std::fprintf(stderr, "store: %s\n", error.c_str());
    return 1;
  }
  std::printf("store: %llu entries, %.1f MB, built in %.1f s\n",
              static_cast<unsigned long long>(store_size),
              fs::file_size(work / "bench.store") / 1e6, Seconds(started));
  started = Clock::now();
  if (!WriteSamDatabase(work / "private", accounts, passwords, error)) {
    std::fprintf(stderr, "sam.ldb: %s\n", error.c_str());
    return 1;
  }
  std::printf("sam.ldb: %llu accounts written in %.1f s\n",
              static_cast<unsigned long long>(accounts), Seconds(started));

  std::ofstream(work / "smb.conf")
      << "[global]\n\tnetbios name = BENCH\n\tworkgroup = BENCH\n"
      << "\tprivate dir = " << (work / "private").string() << "\n"
      << "[netlogon]\n\tpath = " << (work / "netlogon").string() << "\n";
  setenv("CLAVORA_SMB_CONF", (work / "smb.conf").c_str(), 1);
  setenv("CLAVORA_ROOT", (work / "root").c_str(), 1);
  const std::string reg =
      std::string(CLAVORA_BIN_DIR) + "/zefareg add \"HKLM\\Software\\Policies\\Clavora\\1\" ";
  for (const std::string& value :
       {std::string("/v Enabled /t REG_DWORD /d 1"), std::string("/v UserOus /t REG_SZ /d Dept"),
        std::string("/v ForbiddenFile /t REG_SZ /d bench.txt")}) {
    if (std::system((reg + value + " /f >/dev/null").c_str()) != 0) {
      std::fprintf(stderr, "zefareg failed\n");
      return 1;
    }
  }

  // A cold page cache for the store, as on a DC that has not read it lately.
  sync();
  if (const int fd = open((work / "bench.store").c_str(), O_RDONLY); fd >= 0) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
  const std::string csv = (work / "report.csv").string();
  const std::string store_path = (work / "bench.store").string();
  std::vector<char*> args = {const_cast<char*>(tool.c_str()),
                             const_cast<char*>("--store"),
                             const_cast<char*>(store_path.c_str()),
                             const_cast<char*>("--csv"),
                             const_cast<char*>(csv.c_str()),
                             const_cast<char*>("--no-progress"),
                             nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  started = Clock::now();
  if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, args.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", tool.c_str());
    return 1;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds = Seconds(started);
  const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

  uint64_t lines = 0, found_breached = 0, found_shared = 0, found_listed = 0;
  {
    std::ifstream report(csv);
    std::string line;
    std::getline(report, line);
    while (std::getline(report, line)) {
      ++lines;
      std::vector<std::string> fields;
      size_t start = 0;
      for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
        fields.push_back(line.substr(start, comma - start));
      fields.push_back(line.substr(start));
      if (fields.size() < 12) continue;
      found_breached += fields[3] == "1";
      found_shared += fields[5] != "0";
      found_listed += fields[6] == "1";
    }
  }
  std::printf(
      "zefaaudit: exit %d, %llu accounts in %.2f s (%.0f accounts/s), peak memory %.1f MB, "
      "CPU %.2f s user + %.2f s system\n",
      exit_code, static_cast<unsigned long long>(lines), seconds, lines / seconds,
      usage.ru_maxrss / 1024.0, usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
      usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
  {
    std::ifstream load("/proc/loadavg");
    std::string one, five;
    load >> one >> five;
    std::printf("machine load average during the run: %s (1 min), %s (5 min) on %u cores\n",
                one.c_str(), five.c_str(), std::thread::hardware_concurrency());
  }
  std::printf(
      "findings: %llu breached (expected %zu), %llu shared, %llu listed; %llu forbidden words\n",
      static_cast<unsigned long long>(found_breached), breached.size(),
      static_cast<unsigned long long>(found_shared), static_cast<unsigned long long>(found_listed),
      static_cast<unsigned long long>(words));
  if (!keep) fs::remove_all(work);
  return exit_code == 1 ? 0 : 1;
}

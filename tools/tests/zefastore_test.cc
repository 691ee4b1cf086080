// zefastore: the corpus's text forms, the program's commands and exit codes,
// refusal of damaged stores, and sync against a real HTTPS range server on
// loopback (interrupted and resumed).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>

#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "breach/store_digest.h"
#include "breach/store_reader.h"
#include "tools/store_sources.h"
#include "tools/tests/range_https_server.h"

extern char** environ;

namespace zefa::store {
namespace {

namespace fs = std::filesystem;

const std::string kTool = std::string(CLAVORA_BIN_DIR) + "/zefastore";

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
  return hex;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct ToolRun {
  int exit_code = -1;
  std::string out, err;
};

TEST(StoreSources, HashLinesAndRangeBodies) {
  uint64_t key = 0, count = 0;
  EXPECT_TRUE(ParseHashLine("5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:3730471", 40, key, count));
  EXPECT_EQ(key, 0x5BAA61E4C9B93F3FULL);
  EXPECT_EQ(count, 3730471u);
  EXPECT_TRUE(ParseHashLine("5baa61e4c9b93f3f0682250b6cf8331b7ee68fd8", 40, key, count));
  EXPECT_EQ(key, 0x5BAA61E4C9B93F3FULL);
  EXPECT_EQ(count, 1u) << "a line without a count counts once";
  EXPECT_FALSE(ParseHashLine("5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD:1", 40, key, count));
  EXPECT_FALSE(ParseHashLine("5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:", 40, key, count));
  EXPECT_FALSE(ParseHashLine("5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:1x", 40, key, count));
  EXPECT_FALSE(ParseHashLine("ZBAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:1", 40, key, count));
  EXPECT_FALSE(ParseHashLine("5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8 1", 40, key, count));

  std::vector<uint64_t> keys;
  uint64_t kept = 0, dropped = 0;
  // "password" is 5BAA6 1E4C9B93F3F0682250B6CF8331B7EE68FD8; padding lines
  // (count 0) are not hashes; one line below the minimum count.
  EXPECT_TRUE(ParseRangeBody(
      "1E4C9B93F3F0682250B6CF8331B7EE68FD8:10\r\n"
      "0018A45C4D1DEF81644B54AB7F969B88D65:0\r\n"
      "00D4F6E8FA6EECAD2A3AA415EEC418D38EC:1\r\n",
      0x5BAA6, 35, 2, [&](uint64_t k) { keys.push_back(k); }, kept, dropped));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0], 0x5BAA61E4C9B93F3FULL) << "five prefix digits and eleven of the suffix";
  EXPECT_EQ(kept, 1u);
  EXPECT_EQ(dropped, 1u);
  EXPECT_FALSE(ParseRangeBody(
      "1E4C9B93F3F0682250B6CF8331B7EE68FD8:1\r\n<html>", 0x5BAA6, 35, 0, [](uint64_t) {}, kept,
      dropped));
}

class Zefastore : public ::testing::Test {
 protected:
  void SetUp() override {
    // The process id keeps test runs of several checkouts apart.
    folder_ = fs::temp_directory_path() /
              ("zefastore-test-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  ToolRun Tool(const std::string& arguments, const std::string& input = "") {
    WriteText(folder_ / "stdin", input);
    const std::string command = kTool + " " + arguments + " < '" + (folder_ / "stdin").string() +
                                "' > '" + (folder_ / "stdout").string() + "' 2> '" +
                                (folder_ / "stderr").string() + "'";
    ToolRun run;
    const int status = std::system(command.c_str());
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadText(folder_ / "stdout");
    run.err = ReadText(folder_ / "stderr");
    return run;
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  // Random hashes with counts 1 to 50, plus the known passwords: those in
  // `rare` with count 1, the others with count 100.
  void WriteCorpus(HashKind kind, size_t random_hashes, const std::vector<std::string>& known,
                   const std::vector<std::string>& rare, const std::string& big_file,
                   const std::string& prefix_folder) {
    std::mt19937_64 random(kind == HashKind::kSha1 ? 1 : 2);
    const size_t digits = HashKindDigestBytes(kind) * 2;
    std::vector<std::pair<std::string, int>> lines;
    for (size_t i = 0; i < random_hashes; ++i) {
      std::string bytes;
      for (size_t b = 0; b < digits / 2; ++b) bytes.push_back(static_cast<char>(random()));
      lines.emplace_back(Hex(bytes), static_cast<int>(random() % 50 + 1));
    }
    for (const std::string& password : known)
      lines.emplace_back(Hex(PasswordDigest(kind, Utf8ToText(password))), 100);
    for (const std::string& password : rare)
      lines.emplace_back(Hex(PasswordDigest(kind, Utf8ToText(password))), 1);
    std::string text;
    for (const auto& [hash, count] : lines) text += hash + ":" + std::to_string(count) + "\r\n";
    WriteText(folder_ / big_file, text);
    fs::create_directories(folder_ / prefix_folder);
    std::map<std::string, std::string> files;
    for (const auto& [hash, count] : lines)
      files[hash.substr(0, 5)] += hash.substr(5) + ":" + std::to_string(count) + "\r\n";
    for (const auto& [prefix, body] : files)
      WriteText(folder_ / prefix_folder / (prefix + ".txt"), body);
  }

  fs::path folder_;
};

std::vector<std::string> KnownPasswords() {
  std::vector<std::string> known = {"password",
                                    "123456",
                                    "Sommer2024!",
                                    "pässwörd",
                                    "key\xF0\x9F\x94\x91",
                                    "correct horse battery staple"};
  for (int i = 0; i < 300; ++i) known.push_back("Known-" + std::to_string(i * 7919));
  return known;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string Repeat(const std::string& line, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += line;
  return text;
}

TEST_F(Zefastore, KnownPasswordsAreFoundInEveryFormAndKind) {
  const std::vector<std::string> known = KnownPasswords();
  const std::vector<std::string> rare = {"once-only-1", "once-only-2"};
  std::vector<std::string> absent;
  for (int i = 0; i < 300; ++i) absent.push_back("absent-" + std::to_string(i) + "-Xq");
  WriteText(folder_ / "passwords.txt", Lines(known) + Lines(rare));

  for (HashKind kind : {HashKind::kSha1, HashKind::kNtlm}) {
    const std::string kind_option = kind == HashKind::kNtlm ? " --kind ntlm" : "";
    SCOPED_TRACE(HashKindName(kind));
    const std::string corpus = std::string("corpus-") + HashKindName(kind) + ".txt";
    const std::string ranges = std::string("ranges-") + HashKindName(kind);
    WriteCorpus(kind, 30000, known, rare, corpus, ranges);
    for (const std::string& from : {Path(corpus), Path(ranges), Path("passwords.txt")}) {
      SCOPED_TRACE(from);
      const ToolRun create = Tool("create " + Path("s.bin") + " --from " + from + kind_option);
      ASSERT_EQ(create.exit_code, 0) << create.err;
      EXPECT_NE(create.out.find("bytes per entry"), std::string::npos) << create.out;

      const ToolRun found = Tool("lookup " + Path("s.bin"), Lines(known) + Lines(rare));
      EXPECT_EQ(found.exit_code, 0) << found.err;
      EXPECT_EQ(found.out, Repeat("found\n", known.size() + rare.size()));
      const ToolRun missing = Tool("lookup " + Path("s.bin"), Lines(absent));
      EXPECT_EQ(missing.exit_code, 1) << "as grep: nothing found";
      EXPECT_EQ(missing.out, Repeat("not found\n", absent.size()));
      const ToolRun mixed = Tool("lookup " + Path("s.bin"), "absent-1-Xq\r\npassword\r\n");
      EXPECT_EQ(mixed.out, "not found\nfound\n");
      EXPECT_EQ(mixed.exit_code, 0);

      const ToolRun info = Tool("info " + Path("s.bin"));
      EXPECT_EQ(info.exit_code, 0) << info.err;
      EXPECT_NE(info.out.find(std::string("hash kind:           ") + HashKindName(kind)),
                std::string::npos)
          << info.out;
      EXPECT_NE(info.out.find("false-positive rate: "), std::string::npos);
      EXPECT_NE(info.out.find("blocks intact"), std::string::npos);
    }
    // Both forms together, and --min-count keeps only hashes seen often
    // enough (the rare passwords were seen once).
    const ToolRun both = Tool("create " + Path("m.bin") + " --from " + Path(corpus) + " " +
                              Path(ranges) + " --min-count 2" + kind_option);
    ASSERT_EQ(both.exit_code, 0) << both.err;
    EXPECT_EQ(Tool("lookup " + Path("m.bin"), Lines(known)).out, Repeat("found\n", known.size()));
    EXPECT_EQ(Tool("lookup " + Path("m.bin"), Lines(rare)).out, Repeat("not found\n", rare.size()));
    EXPECT_NE(Tool("info " + Path("m.bin")).out.find("minimum count:       2\n"),
              std::string::npos);
  }
}

// Answers are buffered, yet a caller that sends one line and waits gets its
// answer while its input stays open: line after line, found or not.
TEST_F(Zefastore, LookupAnswersEachLineWhileTheInputStaysOpen) {
  const std::vector<std::string> known = KnownPasswords();
  WriteCorpus(HashKind::kSha1, 2000, known, {}, "corpus.txt", "ranges");
  ASSERT_EQ(Tool("create " + Path("s.bin") + " --from " + Path("corpus.txt")).exit_code, 0);

  int to_tool[2], from_tool[2];
  ASSERT_EQ(pipe(to_tool), 0);
  ASSERT_EQ(pipe(from_tool), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_tool[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_tool[1], 1);
  posix_spawn_file_actions_addclose(&actions, to_tool[1]);
  posix_spawn_file_actions_addclose(&actions, from_tool[0]);
  std::string store = Path("s.bin");
  std::string lookup = "lookup";
  char* argv[] = {const_cast<char*>(kTool.c_str()), lookup.data(), store.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kTool.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(to_tool[0]);
  close(from_tool[1]);

  // Reads one answer line, waiting at most five seconds for it.
  const auto answer = [&]() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (line.empty() || line.back() != '\n') {
      pollfd entry{from_tool[0], POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
      char c;
      if (read(from_tool[0], &c, 1) != 1) break;
      line += c;
    }
    return line;
  };
  std::mt19937 random(3);
  for (int i = 0; i < 40; ++i) {
    const bool stored = random() % 2 == 0;
    const std::string password =
        stored ? known[random() % known.size()] : "absent-" + std::to_string(random());
    const std::string line = password + (i % 3 == 0 ? "\r\n" : "\n");
    ASSERT_EQ(write(to_tool[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(answer(), stored ? "found\n" : "not found\n") << "line " << i;
  }
  close(to_tool[1]);
  EXPECT_EQ(answer(), "") << "nothing after the end of the input";
  close(from_tool[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Every command has its own help, wherever --help stands after it, on
// standard output with exit code 0; nothing is created.
TEST_F(Zefastore, EveryCommandHasItsHelp) {
  for (const std::string command : {"create", "sync", "lookup", "info"}) {
    for (const std::string help : {"--help", "-h"}) {
      for (const std::string& args :
           {command + " " + help, command + " " + Path("s.bin") + " " + help,
            command + " " + Path("s.bin") + " --kind sha1 " + help}) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 0) << args;
        EXPECT_EQ(run.out.rfind("zefastore " + command + " ", 0), 0u) << args << "\n" << run.out;
        EXPECT_EQ(run.err, "") << args;
      }
    }
  }
  EXPECT_FALSE(fs::exists(folder_ / "s.bin"));
}

TEST_F(Zefastore, BadSourcesAndDamagedStoresAreRefusedClearly) {
  WriteText(folder_ / "sha1.txt", "5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:3\r\n");
  ToolRun run = Tool("create " + Path("s.bin") + " --from " + Path("sha1.txt") + " --kind ntlm");
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("holds SHA-1 hashes"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(folder_ / "s.bin"));
  EXPECT_FALSE(fs::exists(folder_ / "s.bin.parts")) << "temporary files are removed";

  WriteText(folder_ / "broken.txt",
            "5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:3\r\n5BAA61E4C9B93F3F06822:1\r\n");
  run = Tool("create " + Path("s.bin") + " --from " + Path("broken.txt"));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("broken.txt:2: not a SHA-1 HASH:COUNT line"), std::string::npos)
      << run.err;
  run = Tool("create " + Path("s.bin") + " --from " + Path("nowhere.txt"));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("cannot read"), std::string::npos) << run.err;
  EXPECT_EQ(Tool("frobnicate " + Path("s.bin")).exit_code, 2);
  EXPECT_EQ(Tool("create " + Path("s.bin") + " --kind md5 --from x").exit_code, 2);

  std::string text;
  std::mt19937_64 random(5);
  for (int i = 0; i < 20000; ++i) {
    std::string bytes;
    for (int b = 0; b < 20; ++b) bytes.push_back(static_cast<char>(random()));
    text += Hex(bytes) + ":1\n";
  }
  text += "5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:3\n";
  WriteText(folder_ / "corpus.txt", text);
  ASSERT_EQ(Tool("create " + Path("s.bin") + " --from " + Path("corpus.txt")).exit_code, 0);
  const std::string good = ReadText(folder_ / "s.bin");

  WriteText(folder_ / "cut.bin", good.substr(0, good.size() - 4096));
  run = Tool("lookup " + Path("cut.bin"), "password\n");
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("refused: truncated"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "") << "no answer from a refused store";
  run = Tool("info " + Path("cut.bin"));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("truncated"), std::string::npos) << run.err;

  // A damaged block: info's full check names it; a lookup that lands on it
  // stops with an error rather than answering.
  std::string damaged = good;
  damaged[4096 + 3000] ^= 0x10;  // block 0
  WriteText(folder_ / "damaged.bin", damaged);
  run = Tool("info " + Path("damaged.bin"));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("block 0 is damaged"), std::string::npos) << run.err;
  std::string low_key_password;
  for (int i = 0;; ++i) {  // a password whose hash lands in block 0
    const std::string candidate = "p" + std::to_string(i);
    std::string error;
    StoreHandle store = OpenStore(Utf8ToText(Path("damaged.bin")), error);
    ASSERT_TRUE(store) << error;
    if (StoreBlockOfKey(*store, *PasswordKey(HashKind::kSha1, Utf8ToText(candidate))) == 0) {
      low_key_password = candidate;
      break;
    }
  }
  run = Tool("lookup " + Path("damaged.bin"), low_key_password + "\n");
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("damaged"), std::string::npos) << run.err;
}

// A child process that can be killed (the interrupted sync).
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

TEST_F(Zefastore, InterruptedSyncResumesAndGivesTheSameStoreAsCreate) {
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                         "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                         Path("key.pem") + "' -out '" + Path("cert.pem") + "' 2>/dev/null")
                            .c_str()),
            0);
  // The corpus: random hashes and the known passwords, as the range
  // interface answers it (upper-case suffixes with counts, CR LF lines).
  const std::vector<std::string> known = KnownPasswords();
  WriteCorpus(HashKind::kSha1, 40000, known, {}, "corpus.txt", "ranges");
  std::vector<std::string> bodies(1u << 20);
  for (const auto& entry : fs::directory_iterator(folder_ / "ranges")) {
    const std::string name = entry.path().filename().string();
    bodies[std::stoul(name.substr(0, 5), nullptr, 16)] = ReadText(entry.path());
  }
  test_support::RangeHttpsServer server(Path("cert.pem"), Path("key.pem"),
                                        [&](const std::string& path, int& status) {
                                          if (path.size() != 12 || path.rfind("/range/", 0) != 0) {
                                            status = 404;
                                            return std::string();
                                          }
                                          return bodies[std::stoul(path.substr(7), nullptr, 16)];
                                        });
  ASSERT_GT(server.port(), 0);
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port());

  // First run: killed once a few partitions are complete.
  const pid_t first = Spawn({kTool, "sync", Path("synced.bin"), "--url", url, "--ca-file",
                             Path("cert.pem"), "--parallel", "16"},
                            Path("first.log"));
  ASSERT_GT(first, 0);
  const fs::path work = folder_ / "synced.bin.sync";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (!fs::exists(work / "part-02") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(first, SIGKILL);
  int status = 0;
  waitpid(first, &status, 0);
  ASSERT_TRUE(fs::exists(work / "part-02")) << ReadText(folder_ / "first.log");
  EXPECT_FALSE(fs::exists(folder_ / "synced.bin"));
  const uint64_t first_requests = server.requests();

  // Second run: resumes after the complete partitions.
  const ToolRun second = Tool("sync " + Path("synced.bin") + " --url " + url + " --ca-file " +
                              Path("cert.pem") + " --parallel 16");
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.err.find("resuming: "), std::string::npos) << second.err.substr(0, 500);
  EXPECT_NE(second.err.find("prefixes"), std::string::npos);
  EXPECT_NE(second.err.find("left"), std::string::npos) << "the progress bar shows time left";
  const uint64_t second_requests = server.requests() - first_requests;
  EXPECT_LE(second_requests, (1u << 20) - 3 * 4096u) << "complete partitions are not fetched again";
  EXPECT_GE(first_requests + second_requests, 1u << 20) << "every prefix asked";
  EXPECT_FALSE(fs::exists(work)) << "the work folder is removed at the end";
  EXPECT_EQ(server.user_agents(), std::set<std::string>{"ZEFA-PWNED"});

  // The same hashes from the corpus file give the same store, byte for byte.
  ASSERT_EQ(Tool("create " + Path("created.bin") + " --from " + Path("corpus.txt")).exit_code, 0);
  const std::string synced = ReadText(folder_ / "synced.bin");
  EXPECT_TRUE(synced == ReadText(folder_ / "created.bin"));
  EXPECT_EQ(Tool("lookup " + Path("synced.bin"), Lines(known)).out,
            Repeat("found\n", known.size()));
}

}  // namespace
}  // namespace zefa::store

// The breached-password lookup against a real HTTPS range server on loopback
// (breach/tests/range_server.py, a child process with a certificate made here).
#include "breach/pwned_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/tests/test_folder.h"
#include "util/server_paths.h"
#include "platform/digests.h"

extern char** environ;

namespace zefa {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

std::string Sha1Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", digest[i]);
    hex += pair;
  }
  return hex;
}

TEST(PwnedDigest, Sha1OfUtf8InUpperCaseHex) {
  EXPECT_EQ(PwnedPasswordDigest(ZT("")), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  EXPECT_EQ(PwnedPasswordDigest(ZT("password")), "5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8");
  EXPECT_EQ(PwnedPasswordDigest(ZT("pässwörd")), "F517DDF1D32A112FF1AD55C66D1B12CB38E7E8F7");
  EXPECT_EQ(PwnedPasswordDigest(ZT("key\U0001F511")), "A81418338EF652F7ACA592DCD5716A96F8D8AB0A");
}

TEST(PwnedRange, UrlAndSuffixMatching) {
  EXPECT_EQ(PwnedRangeUrl("", "5BAA6"), "https://api.pwnedpasswords.com/range/5BAA6");
  EXPECT_EQ(PwnedRangeUrl("https://127.0.0.1:8443/", "DA39A"),
            "https://127.0.0.1:8443/range/DA39A");

  const std::string suffix = "1E4C9B93F3F0682250B6CF8331B7EE68FD8";
  std::string lower = suffix;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  EXPECT_TRUE(
      PwnedRangeMatches("0018A45C4D1DEF81644B54AB7F969B88D65:3\r\n" + suffix + ":1\r\n", suffix));
  EXPECT_TRUE(
      PwnedRangeMatches("0018A45C4D1DEF81644B54AB7F969B88D65:3\r\n" + suffix + ":1", suffix));
  EXPECT_FALSE(PwnedRangeMatches(lower + ":1\r\n", suffix));
  EXPECT_FALSE(PwnedRangeMatches("0" + suffix + ":1\r\n", suffix)) << "must start the line";
  EXPECT_FALSE(PwnedRangeMatches(suffix.substr(0, 34) + "\r\n", suffix));
  EXPECT_FALSE(PwnedRangeMatches("", suffix));
}

struct RecordedRequest {
  std::string listener, method, path, version;
  std::vector<std::string> headers;
  int body_bytes = -1;
};

struct TimedOutcome {
  Text outcome;
  double ms = 0;
};

class PwnedLookupServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<TempFolder>();
    for (const char* name : {"trusted", "foreign"}) {
      const std::string command =
          std::string("openssl req -x509 -newkey rsa:2048 -nodes -days 1 ") +
          "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " + folder_->File(name) +
          ".key -out " + folder_->File(name) + ".pem 2>/dev/null";
      ASSERT_EQ(std::system(command.c_str()), 0);
    }
    const std::string script = std::string(CLAVORA_SOURCE_DIR) + "/breach/tests/range_server.py";
    std::vector<std::string> args = {"python3",      script,
                                     "--cert",       folder_->File("trusted.pem"),
                                     "--key",        folder_->File("trusted.key"),
                                     "--other-cert", folder_->File("foreign.pem"),
                                     "--other-key",  folder_->File("foreign.key"),
                                     "--routes",     folder_->File("routes"),
                                     "--log",        folder_->File("requests")};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned = posix_spawnp(&server_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(spawned, 0);
    FILE* from_server = fdopen(out[0], "r");
    char line[128] = {};
    const bool got = fgets(line, sizeof line, from_server) != nullptr;
    fclose(from_server);
    ASSERT_TRUE(got) << "range server did not start";
    ASSERT_EQ(std::sscanf(line, "PORTS %d %d %d", &tls_port_, &foreign_port_, &plain_port_), 3);

    url_env_ = std::make_unique<ScopedEnv>("CLAVORA_PWNED_URL", Url("https", tls_port_).c_str());
    ca_env_ =
        std::make_unique<ScopedEnv>("CLAVORA_PWNED_CA_FILE", folder_->File("trusted.pem").c_str());
  }

  static void TearDownTestSuite() {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
    ca_env_.reset();
    url_env_.reset();
    folder_.reset();
    ClearServerPaths();
  }

  void SetUp() override {
    ASSERT_GT(tls_port_, 0);
    std::ofstream(folder_->File("routes"), std::ios::trunc);
    std::ofstream(folder_->File("requests"), std::ios::trunc);
    SetNetworkReady(1);
  }

  static std::string Url(const char* scheme, int port) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
  }

  static void SetNetworkReady(int ready) {
    ServerPaths paths;
    paths.NetworkReady = ready;
    StoreServerPaths(paths);
  }

  static std::string Digest(const std::string& password) { return Sha1Hex(password); }

  // Routes the password's prefix: status ("drop" for no answer), delay and body.
  void Route(const std::string& password, const std::string& status, int delay_ms = 0,
             const std::string& body = "") {
    static int bodies = 0;
    const std::string body_file = folder_->File("body" + std::to_string(++bodies));
    std::ofstream(body_file, std::ios::binary) << body;
    std::ofstream(folder_->File("routes"), std::ios::app)
        << Digest(password).substr(0, 5) << ' ' << status << ' ' << delay_ms << ' ' << body_file
        << '\n';
  }

  // A range answer in the service's form that lists the password (or not).
  static std::string RangeBody(const std::string& password, bool listed) {
    std::string body = "0018A45C4D1DEF81644B54AB7F969B88D65:3\r\n";
    if (listed) body += Digest(password).substr(5) + ":1\r\n";
    return body + "FFFFFD2B2C5A1E7C3CBA6E1C8C7F1D1D3D3:12";
  }

  // Every lookup, whatever its outcome, ends well within half a second.
  static TimedOutcome Lookup(const std::string& password) {
    const auto start = std::chrono::steady_clock::now();
    TimedOutcome result{PwnedLookup(Utf8ToText(password)), 0};
    result.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(result.ms, 600) << password;
    return result;
  }

  static std::string RequestLog() {
    std::stringstream text;
    text << std::ifstream(folder_->File("requests")).rdbuf();
    return text.str();
  }

  static std::vector<RecordedRequest> Requests() {
    std::vector<RecordedRequest> requests;
    std::istringstream log(RequestLog());
    std::string line;
    while (std::getline(log, line)) {
      if (line.rfind("REQUEST ", 0) == 0) {
        requests.emplace_back();
        std::istringstream(line.substr(8)) >> requests.back().listener >> requests.back().method >>
            requests.back().path >> requests.back().version;
      } else if (line.rfind("HEADER ", 0) == 0 && !requests.empty()) {
        requests.back().headers.push_back(line.substr(7));
      } else if (line.rfind("BODY ", 0) == 0 && !requests.empty()) {
        requests.back().body_bytes = std::stoi(line.substr(5));
      }
    }
    return requests;
  }

  static inline std::unique_ptr<TempFolder> folder_;
  static inline std::unique_ptr<ScopedEnv> url_env_, ca_env_;
  static inline pid_t server_ = 0;
  static inline int tls_port_ = 0, foreign_port_ = 0, plain_port_ = 0;
};

TEST_F(PwnedLookupServer, ListedSuffixIsFoundAndOnlyThePrefixIsSent) {
  Route("Summer2024!", "200", 0, RangeBody("Summer2024!", true));
  EXPECT_EQ(Lookup("Summer2024!").outcome, kPwnedFound);

  const std::vector<RecordedRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& request = requests[0];
  EXPECT_EQ(request.listener, "tls");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/range/" + Digest("Summer2024!").substr(0, 5));
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.headers,
            (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(tls_port_),
                                      "User-Agent: ZEFA-PWNED", "Accept: */*"}));
  EXPECT_EQ(request.body_bytes, 0);
  const std::string log = RequestLog();
  EXPECT_EQ(log.find(Digest("Summer2024!").substr(5)), std::string::npos);
  EXPECT_EQ(log.find("Summer2024"), std::string::npos);
}

TEST_F(PwnedLookupServer, UnlistedOrLowerCaseSuffixIsNotFound) {
  Route("not listed", "200", 0, RangeBody("not listed", false));
  std::string lower = RangeBody("lower case", true);
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  Route("lower case", "200", 0, lower);
  EXPECT_EQ(Lookup("not listed").outcome, kPwnedNotFound);
  EXPECT_EQ(Lookup("lower case").outcome, kPwnedNotFound);
}

TEST_F(PwnedLookupServer, EmptyPasswordIsLookedUpAsTheDigestOfNoBytes) {
  Route("", "200", 0, RangeBody("", true));
  EXPECT_EQ(Lookup("").outcome, kPwnedFound);
  const std::vector<RecordedRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/range/DA39A");
}

TEST_F(PwnedLookupServer, StatusOtherThan200IgnoresTheBody) {
  const struct {
    const char* password;
    const char* status;
    const WChar* outcome;
  } cases[] = {
      {"status 404", "404", kPwnedNotFound},
      {"status 500", "500", kPwnedNotFound},
      {"status 429", "429", kPwnedTooManyRequests},
      {"status 503", "503", kPwnedServiceUnavailable},
  };
  for (const auto& c : cases) Route(c.password, c.status, 0, RangeBody(c.password, true));
  for (const auto& c : cases) EXPECT_EQ(Lookup(c.password).outcome, c.outcome) << c.status;
}

TEST_F(PwnedLookupServer, SlowServiceIsAbandonedAtTheSixthPoll) {
  Route("slow answer", "200", 1500, RangeBody("slow answer", true));
  Route("late but in time", "200", 150, RangeBody("late but in time", true));
  const TimedOutcome slow = Lookup("slow answer");
  EXPECT_EQ(slow.outcome, kPwnedMaxRetries);
  EXPECT_GE(slow.ms, 340) << "six polls 70 ms apart";
  EXPECT_EQ(Lookup("late but in time").outcome, kPwnedFound);
}

TEST_F(PwnedLookupServer, BrokenTransfersFail) {
  Route("dropped", "drop");
  Route("huge answer", "200", 0, std::string(300 * 1024, 'A'));
  EXPECT_EQ(Lookup("dropped").outcome, kPwnedHttpFailed);
  EXPECT_EQ(Lookup("huge answer").outcome, kPwnedHttpAborted);

  int closed_port = 0;
  {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    closed_port = ntohs(address.sin_port);
    close(s);
  }
  ScopedEnv refused("CLAVORA_PWNED_URL", Url("https", closed_port).c_str());
  EXPECT_EQ(Lookup("refused").outcome, kPwnedHttpFailed);
}

TEST_F(PwnedLookupServer, TlsFailuresAreReportedAsSuch) {
  Route("tls", "200", 0, RangeBody("tls", true));
  {
    ScopedEnv untrusted("CLAVORA_PWNED_URL", Url("https", foreign_port_).c_str());
    EXPECT_EQ(Lookup("tls").outcome, kPwnedSslSupportError);
  }
  {
    ScopedEnv not_tls("CLAVORA_PWNED_URL", Url("https", plain_port_).c_str());
    EXPECT_EQ(Lookup("tls").outcome, kPwnedSslSupportError);
  }
  {
    ScopedEnv missing_ca("CLAVORA_PWNED_CA_FILE", folder_->File("missing.pem").c_str());
    EXPECT_EQ(Lookup("tls").outcome, kPwnedSslSupportError);
  }
  {
    ScopedEnv plain("CLAVORA_PWNED_URL", Url("http", plain_port_).c_str());
    EXPECT_EQ(Lookup("tls").outcome, kPwnedHttpFailed) << "never falls back to plain HTTP";
  }
  for (const RecordedRequest& request : Requests()) EXPECT_NE(request.listener, "plain");
}

TEST_F(PwnedLookupServer, WithoutNetworkNoRequestIsMade) {
  Route("offline", "200", 0, RangeBody("offline", true));
  SetNetworkReady(0);
  EXPECT_EQ(Lookup("offline").outcome, kPwnedNoConnection);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(PwnedLookupServer, LookupsRunConcurrently) {
  Route("shared", "200", 0, RangeBody("shared", true));
  std::vector<Text> outcomes(6);
  std::vector<std::thread> threads;
  for (Text& outcome : outcomes) {
    threads.emplace_back([&outcome] { outcome = Lookup("shared").outcome; });
  }
  for (std::thread& t : threads) t.join();
  for (const Text& outcome : outcomes) EXPECT_EQ(outcome, kPwnedFound);
  EXPECT_EQ(Requests().size(), outcomes.size());
}

}  // namespace
}  // namespace zefa

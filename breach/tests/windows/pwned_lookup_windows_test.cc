// The breached-password lookup over WinHTTP, against the stand-in range
// service (breach/tests/range_server.py) that scripts/windows-ci.sh starts
// on the host before the tests run:
//   CLAVORA_TEST_RANGE_PORTS     "<tls> <foreign> <plain>" as the server printed
//   CLAVORA_TEST_RANGE_DIR       its folder as this program sees it
//   CLAVORA_TEST_RANGE_UNIX_DIR  the same folder as the server sees it
// The folder holds trusted.pem (the certificate the lookup trusts), routes
// and requests. Without these variables the tests skip.
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "breach/pwned_lookup.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/digests.h"
#include "util/server_paths.h"

namespace zefa {
namespace {

using platform::test_support::ScopedEnv;

std::string Sha1Hex(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::string_view parts[] = {text};
  std::string hex;
  for (const char c : platform::Digest(platform::kDigestSha1, parts, 1)) {
    hex.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    hex.push_back(kDigits[static_cast<unsigned char>(c) & 0x0F]);
  }
  return hex;
}

class PwnedLookupWinHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    const Text ports = platform::EnvironmentVariable(L"CLAVORA_TEST_RANGE_PORTS");
    dir_ = platform::EnvironmentVariable(L"CLAVORA_TEST_RANGE_DIR");
    unix_dir_ = TextToUtf8(platform::EnvironmentVariable(L"CLAVORA_TEST_RANGE_UNIX_DIR"));
    if (ports.empty() || dir_.empty() || unix_dir_.empty()) {
      GTEST_SKIP() << "no range server (scripts/windows-ci.sh starts one)";
    }
    swscanf(ports.c_str(), L"%d %d %d", &tls_port_, &foreign_port_, &plain_port_);
    ASSERT_GT(plain_port_, 0);
    ASSERT_TRUE(platform::ReplaceFileAtomically(dir_ + L"\\routes", "", false));
    ASSERT_TRUE(platform::ReplaceFileAtomically(dir_ + L"\\requests", "", false));
    url_ = std::make_unique<ScopedEnv>(L"CLAVORA_PWNED_URL", Url("https", tls_port_).c_str());
    ca_ = std::make_unique<ScopedEnv>(L"CLAVORA_PWNED_CA_FILE", (dir_ + L"\\trusted.pem").c_str());
    ServerPaths paths;
    paths.NetworkReady = 1;
    StoreServerPaths(paths);
    // The first HTTPS requests of a process load the TLS machinery, which
    // under Wine (more so on a busy machine) takes longer than a lookup may;
    // they are not timed. Warm up until one lookup gets its answer in time,
    // so that no request of the warm-up arrives after the log is cleared.
    // A lookup that gave up goes on in the background, and its request can
    // reach the server later; wait (a few seconds at most) until every
    // attempt has arrived before the log is cleared.
    Route("warm-up", "404");
    int attempts = 0;
    bool warm = false;
    while (attempts < 20 && !warm) {
      ++attempts;
      warm = PwnedLookup(L"warm-up") == kPwnedNotFound;
    }
    ASSERT_TRUE(warm) << "no lookup of the warm-up got its answer in time";
    const std::string warm_up_request = "GET /range/" + Sha1Hex("warm-up").substr(0, 5) + " ";
    for (int wait = 0; wait < 50 && Count(Requests(), warm_up_request) < attempts; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(platform::ReplaceFileAtomically(dir_ + L"\\requests", "", false));
  }
  void TearDown() override { ClearServerPaths(); }

  static Text Url(const char* scheme, int port) {
    return AsciiToText(std::string(scheme) + "://127.0.0.1:" + std::to_string(port));
  }

  void Route(const std::string& password, const std::string& status, int delay_ms = 0,
             const std::string& body = "") {
    const std::string name = "body" + std::to_string(++bodies_);
    ASSERT_TRUE(platform::ReplaceFileAtomically(dir_ + L"\\" + AsciiToText(name), body, false));
    ASSERT_TRUE(platform::AppendToFile(
        dir_ + L"\\routes", Sha1Hex(password).substr(0, 5) + " " + status + " " +
                                std::to_string(delay_ms) + " " + unix_dir_ + "/" + name + "\n"));
  }

  static std::string RangeBody(const std::string& password, bool listed) {
    std::string body = "0018A45C4D1DEF81644B54AB7F969B88D65:3\r\n";
    if (listed) body += Sha1Hex(password).substr(5) + ":1\r\n";
    return body + "FFFFFD2B2C5A1E7C3CBA6E1C8C7F1D1D3D3:12";
  }

  // Every lookup ends well within half a second.
  static Text Lookup(const std::string& password) {
    const auto start = std::chrono::steady_clock::now();
    Text outcome = PwnedLookup(Utf8ToText(password));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 600) << password;
    return outcome;
  }

  static int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++count;
    return count;
  }

  std::string Requests() const {
    return platform::ReadWholeFile(dir_ + L"\\requests").value_or("");
  }

  Text dir_;
  std::string unix_dir_;
  int tls_port_ = 0, foreign_port_ = 0, plain_port_ = 0;
  int bodies_ = 0;
  std::unique_ptr<ScopedEnv> url_, ca_;
};

TEST_F(PwnedLookupWinHttp, ListedSuffixIsFoundAndOnlyThePrefixIsSent) {
  Route("Summer2024!", "200", 0, RangeBody("Summer2024!", true));
  Route("not listed", "200", 0, RangeBody("not listed", false));
  EXPECT_EQ(Lookup("Summer2024!"), kPwnedFound);
  EXPECT_EQ(Lookup("not listed"), kPwnedNotFound);

  const std::string log = Requests();
  EXPECT_NE(log.find("REQUEST tls GET /range/" + Sha1Hex("Summer2024!").substr(0, 5) + " HTTP/1.1"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("HEADER User-Agent: ZEFA-PWNED\n"), std::string::npos) << log;
  EXPECT_NE(log.find("BODY 0\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(Sha1Hex("Summer2024!").substr(5)), std::string::npos);
}

TEST_F(PwnedLookupWinHttp, StatusesSlownessAndBrokenTransfers) {
  Route("status 404", "404", 0, RangeBody("status 404", true));
  Route("status 429", "429");
  Route("slow answer", "200", 1500, RangeBody("slow answer", true));
  Route("dropped", "drop");
  Route("huge answer", "200", 0, std::string(300 * 1024, 'A'));
  EXPECT_EQ(Lookup("status 404"), kPwnedNotFound);
  EXPECT_EQ(Lookup("status 429"), kPwnedTooManyRequests);
  EXPECT_EQ(Lookup("slow answer"), kPwnedMaxRetries);
  EXPECT_EQ(Lookup("dropped"), kPwnedHttpFailed);
  EXPECT_EQ(Lookup("huge answer"), kPwnedHttpAborted);
}

TEST_F(PwnedLookupWinHttp, TlsFailuresAndPlainHttp) {
  Route("tls", "200", 0, RangeBody("tls", true));
  {
    ScopedEnv untrusted(L"CLAVORA_PWNED_URL", Url("https", foreign_port_).c_str());
    EXPECT_EQ(Lookup("tls"), kPwnedSslSupportError);
  }
  {
    ScopedEnv missing_ca(L"CLAVORA_PWNED_CA_FILE", (dir_ + L"\\missing.pem").c_str());
    EXPECT_EQ(Lookup("tls"), kPwnedSslSupportError);
  }
  {
    ScopedEnv plain(L"CLAVORA_PWNED_URL", Url("http", plain_port_).c_str());
    EXPECT_EQ(Lookup("tls"), kPwnedHttpFailed) << "never plain HTTP";
  }
  EXPECT_EQ(Requests().find("REQUEST plain"), std::string::npos);
}

TEST_F(PwnedLookupWinHttp, WithTheSystemStoreAnUntrustedServerGetsNoRequest) {
  Route("tls", "200", 0, RangeBody("tls", true));
  ScopedEnv system_store(L"CLAVORA_PWNED_CA_FILE", nullptr);
  ScopedEnv untrusted(L"CLAVORA_PWNED_URL", Url("https", foreign_port_).c_str());
  EXPECT_EQ(Lookup("tls"), kPwnedSslSupportError);
  EXPECT_EQ(Requests().find("REQUEST"), std::string::npos) << Requests();
}

TEST_F(PwnedLookupWinHttp, LookupsRunConcurrently) {
  Route("shared", "200", 0, RangeBody("shared", true));
  std::vector<Text> outcomes(6);
  std::vector<std::thread> threads;
  for (Text& outcome : outcomes) threads.emplace_back([&outcome] { outcome = Lookup("shared"); });
  for (std::thread& t : threads) t.join();
  for (const Text& outcome : outcomes) EXPECT_EQ(outcome, kPwnedFound);
}

}  // namespace
}  // namespace zefa

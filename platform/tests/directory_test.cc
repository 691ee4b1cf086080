// The directory client against a real domain controller (Samba AD DC, see
// scripts/samba-dc.sh): CLAVORA_TEST_DC_DIR names the DC's folder. Without it
// the tests that need a DC are skipped; the others still run.
//
// The DC's certificate names dc1.example.test. When the hosts file maps that
// name to the DC's address the TLS tests connect by name with full verification against
// the DC's CA. Otherwise they must connect by address, which fails the name
// check, so this test program (never the product) sets LDAPTLS_REQCERT=allow
// before libldap reads its environment.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/files.h"
#include "platform/directory.h"
#include "platform/tests/test_folder.h"
#include "testing/silent_directory.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;

constexpr int kBase = 0, kOneLevel = 1, kSubtree = 2;
const Text kDomainDn = ZT("DC=example,DC=test");
const char kAdminDn[] = "CN=Administrator,CN=Users,DC=example,DC=test";
const char kDcHostName[] = "dc1.example.test";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string LdapiUri(const std::string& socket_path) {
  std::string uri = "ldapi://";
  for (const char c : socket_path) uri += c == '/' ? std::string("%2F") : std::string(1, c);
  return uri;
}

struct TestDc {
  std::string dir;
  std::string ip;
  std::string admin_password;
  std::string ca_file;
  bool name_resolves = false;  // dc1.example.test leads to ip

  std::string PrivilegedUri() const { return LdapiUri(dir + "/private/ldap_priv/ldapi"); }
  std::string TlsHost() const { return name_resolves ? kDcHostName : ip; }
};

// Whether the hosts file maps the name to the address (read directly, so no
// lookup leaves the machine).
bool HostsFileMaps(const std::string& name, const std::string& ip) {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string address, alias;
    if (!(words >> address) || address != ip) continue;
    while (words >> alias) {
      if (alias == name) return true;
    }
  }
  return false;
}

std::optional<TestDc> LoadTestDc() {
  const char* dir = std::getenv("CLAVORA_TEST_DC_DIR");
  if (dir == nullptr || *dir == '\0') return std::nullopt;
  TestDc dc{dir, FileText(std::string(dir) + "/dc.ip"), FileText(std::string(dir) + "/admin.pass"),
            std::string(dir) + "/private/tls/ca.pem"};
  dc.name_resolves = HostsFileMaps(kDcHostName, dc.ip);
  return dc;
}

const std::optional<TestDc>& Dc() {
  static const std::optional<TestDc> dc = LoadTestDc();
  return dc;
}

// Runs before any test touches libldap (see the top of the file).
const bool kTlsNameCheckRelaxed = [] {
  if (!Dc() || Dc()->name_resolves) return false;
  setenv("LDAPTLS_REQCERT", "allow", 1);
  return true;
}();

#define REQUIRE_DC()                                                        \
  if (!Dc())                                                                \
    GTEST_SKIP() << "CLAVORA_TEST_DC_DIR is not set: no domain controller " \
                    "(start one with scripts/samba-dc.sh up DIR IP)";       \
  const TestDc& dc = *Dc()

// Unique per test run, so that reruns against one DC do not collide.
Text RunTag() {
  static const Text tag = AsciiToText(
      "zefa-" + std::to_string(getpid()) + "-" +
      std::to_string(std::chrono::system_clock::now().time_since_epoch().count() % 100000000));
  return tag;
}

// The connection settings of one test; the rest of the environment is
// cleared so the developer's own settings do not leak in.
struct Settings {
  ScopedEnv uri, bind_dn, password_file, ca_file;
  Settings(const std::string& u, const char* dn = nullptr, const char* pw = nullptr,
           const char* ca = nullptr)
      : uri("CLAVORA_LDAP_URI", u.c_str()),
        bind_dn("CLAVORA_LDAP_BIND_DN", dn),
        password_file("CLAVORA_LDAP_PASSWORD_FILE", pw),
        ca_file("CLAVORA_LDAP_CA_FILE", ca) {}
};

const DirectoryAttribute* Find(const DirectoryEntry& entry, const Text& name) {
  for (const DirectoryAttribute& a : entry.attributes) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

std::string SidToText(const std::string& b) {
  if (b.size() < 8 || b.size() != 8 + 4 * static_cast<size_t>(b[1])) return "";
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | static_cast<unsigned char>(b[i]);
  std::string text = "S-" + std::to_string(b[0]) + "-" + std::to_string(authority);
  for (size_t i = 8; i < b.size(); i += 4) {
    uint32_t part = 0;
    for (int k = 3; k >= 0; --k) part = part << 8 | static_cast<unsigned char>(b[i + k]);
    text += "-" + std::to_string(part);
  }
  return text;
}

// The DN and attributes of the one entry a privileged-socket search finds.
DirectoryEntry ReadOne(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                       const std::vector<Text>& attributes) {
  std::vector<DirectoryEntry> entries;
  EXPECT_EQ(DirectorySearch(handle, base, scope, filter, attributes, 0, entries), 0);
  EXPECT_EQ(entries.size(), 1u);
  return entries.empty() ? DirectoryEntry{} : entries.front();
}

// ------------------------------------------------------- without a DC

TEST(Directory, RefusesIncompleteOrUnsafeSettingsWithoutConnecting) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.Wide("pw"), "secret"));
  // Each failed open leaves its reason for the console to show.
  const auto reason = [] { return TextToUtf8(DirectoryAccessProblem()); };
  {
    Settings s("ldaps://127.0.0.1:1", kAdminDn);  // no password file
    EXPECT_EQ(DirectoryOpen(), nullptr);
    EXPECT_EQ(reason(),
              "CLAVORA_LDAP_BIND_DN and CLAVORA_LDAP_PASSWORD_FILE go together, only "
              "one is set");
  }
  {
    Settings s("ldaps://127.0.0.1:1", nullptr, dir.File("pw").c_str());  // no bind name
    EXPECT_EQ(DirectoryOpen(), nullptr);
    EXPECT_NE(reason().find("go together"), std::string::npos);
  }
  for (const char* uri : {"ldaps://a ldap://b", "ldapi://%2Fx,ldap://b", "http://x", "x"}) {
    Settings s(uri, kAdminDn, dir.File("pw").c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr) << uri;
    // (A first address on the local socket is named by the socket's own problem.)
    if (std::string(uri).rfind("ldapi", 0) != 0) {
      EXPECT_EQ(reason(), uri + std::string(" is not an ldap://, ldaps:// or ldapi:// address"));
    }
  }
  {
    Settings s("ldap://127.0.0.1:1", kAdminDn, dir.File("pw").c_str());  // nobody listens
    EXPECT_EQ(DirectoryOpen(), nullptr);
    EXPECT_EQ(reason(), "the directory at ldap://127.0.0.1:1: Can't contact LDAP server");
  }
  {
    Settings s("ldap://127.0.0.1:1", kAdminDn, dir.File("absent").c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr);
    EXPECT_NE(reason().find("Can't contact LDAP server"), std::string::npos) << reason();
  }
  Settings missing_socket(LdapiUri(dir.File("none")));  // no bind, but nothing there
  EXPECT_EQ(DirectoryOpen(), nullptr);
  EXPECT_EQ(reason(), "the directory's socket " + dir.File("none") +
                          " does not exist: is the domain controller running?");
}

// Servers that accept connections and never answer, over each way in: the
// local socket (no bind, so the first search waits), StartTLS and ldaps (the
// open waits). Each costs one bounded wait; a connection that waited in vain
// is given up, so the next request on it does not wait again.
TEST(Directory, SilentServerCostsOneBoundedWaitPerConnection) {
  using Clock = std::chrono::steady_clock;
  const auto bound = std::chrono::milliseconds(kDirectoryRequestMilliseconds + 1500);
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.Wide("pw"), "secret"));

  testing::SilentDirectory local = testing::SilentDirectory::Local(dir.File("ldapi"));
  local.Start();
  {
    Settings s(testing::LdapiUriOf(dir.File("ldapi")));
    DirectoryHandle* handle = DirectoryOpen();
    ASSERT_NE(handle, nullptr);  // nothing is asked before the first search
    EXPECT_FALSE(DirectoryConnectionLost(handle));
    std::vector<DirectoryEntry> entries;
    auto start = Clock::now();
    const int first = DirectorySearch(handle, Text(), kBase, Text(), {}, 0, entries);
    EXPECT_NE(first, 0);
    EXPECT_LT(Clock::now() - start, bound);
    EXPECT_TRUE(DirectoryConnectionLost(handle));
    start = Clock::now();
    EXPECT_EQ(DirectorySearch(handle, Text(), kBase, Text(), {}, 0, entries), first);
    EXPECT_NE(DirectoryModify(handle, ZT("cn=x"), {{kDirectoryReplace, ZT("cn"), {"x"}}}, false),
              0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(local.silenced_requests(), 1);  // the later requests were never sent
    start = Clock::now();
    DirectoryClose(handle);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  }

  testing::SilentDirectory tcp = testing::SilentDirectory::Tcp();
  tcp.Start();
  const std::string port = std::to_string(tcp.port());
  for (const std::string& uri : {"ldap://127.0.0.1:" + port, "ldaps://127.0.0.1:" + port}) {
    Settings s(uri, kAdminDn, dir.File("pw").c_str());  // StartTLS on ldap://
    const auto start = Clock::now();
    EXPECT_EQ(DirectoryOpen(), nullptr) << uri;
    EXPECT_LT(Clock::now() - start, bound) << uri;
  }
  EXPECT_EQ(tcp.connections_accepted(), 2);
}

// A thread's budget cuts every request short, opens included, and an inner
// budget cannot reach past an outer one.
TEST(Directory, ThreadBudgetEndsRequestsEarly) {
  using Clock = std::chrono::steady_clock;
  TempFolder dir;
  testing::SilentDirectory local = testing::SilentDirectory::Local(dir.File("ldapi"));
  local.Start();
  Settings s(testing::LdapiUriOf(dir.File("ldapi")));
  const auto cut = std::chrono::milliseconds(kDirectoryRequestMilliseconds / 2);
  {
    const DirectoryTimeBudget outer(300);
    const DirectoryTimeBudget inner(60000);
    DirectoryHandle* handle = DirectoryOpen();
    ASSERT_NE(handle, nullptr);
    std::vector<DirectoryEntry> entries;
    const auto start = Clock::now();
    EXPECT_NE(DirectorySearch(handle, Text(), kBase, Text(), {}, 0, entries), 0);
    EXPECT_LT(Clock::now() - start, cut);
    DirectoryClose(handle);
    // Spent: no connection is even tried.
    EXPECT_EQ(DirectoryOpen(), nullptr);
  }
  // Outside the budget a request has its own bound again.
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  std::vector<DirectoryEntry> entries;
  const auto start = Clock::now();
  EXPECT_NE(DirectorySearch(handle, Text(), kBase, Text(), {}, 0, entries), 0);
  EXPECT_GT(Clock::now() - start, cut);
  DirectoryClose(handle);
}

// A peer on a local socket that answers the first search with one entry and
// then "size limit exceeded", as a server does when the size limit cuts the
// search short.
TEST(Directory, SearchCutShortReturnsItsCodeAndNoEntries) {
  TempFolder dir;
  const std::string path = dir.File("ldapi");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  std::thread peer([listener] {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    char request[512];
    if (read(connection, request, sizeof request) > 0) {  // the search, message 1
      static const unsigned char kAnswer[] = {
          0x30, 0x0d, 0x02, 0x01, 0x01, 0x64, 0x08, 0x04, 0x04, 'c',  'n',  '=',  'a',  0x30, 0x00,
          0x30, 0x0c, 0x02, 0x01, 0x01, 0x65, 0x07, 0x0a, 0x01, 0x04, 0x04, 0x00, 0x04, 0x00};
      if (write(connection, kAnswer, sizeof kAnswer) != sizeof kAnswer) return;
      while (read(connection, request, sizeof request) > 0) {
      }
    }
    close(connection);
  });

  {
    Settings s(LdapiUri(path));
    DirectoryHandle* handle = DirectoryOpen();
    ASSERT_NE(handle, nullptr);
    std::vector<DirectoryEntry> entries(2);
    EXPECT_EQ(DirectorySearch(handle, ZT("cn=x"), kSubtree, Text(), {}, 1, entries), 4);
    EXPECT_TRUE(entries.empty());
    DirectoryClose(handle);
  }
  peer.join();
  close(listener);
}

// ------------------------------------------------------------ with a DC

TEST(DirectoryDc, PrivilegedSocketWithoutBindWritesAndReads) {
  REQUIRE_DC();
  Settings s(dc.PrivilegedUri());
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);

  const Text ou = ZT("OU=") + RunTag() + ZT("-write,") + kDomainDn;
  EXPECT_EQ(DirectoryAdd(handle, ou,
                         {{kDirectoryAdd, ZT("objectClass"), {"organizationalUnit"}},
                          {kDirectoryAdd, ZT("description"), {"first"}}},
                         false),
            0);
  EXPECT_EQ(
      DirectoryAdd(handle, ou, {{kDirectoryAdd, ZT("objectClass"), {"organizationalUnit"}}}, false),
      68);  // already exists
  // Raw bytes travel unchanged: UTF-8 of "Zürich", and a value with a NUL.
  EXPECT_EQ(DirectoryModify(handle, ou,
                            {{kDirectoryReplace, ZT("description"), {"Z\xC3\xBCrich"}},
                             {kDirectoryAdd, ZT("street"), {std::string("a\0b", 3)}}},
                            true),
            0);
  DirectoryEntry entry = ReadOne(handle, ou, kBase, Text(), {ZT("description"), ZT("street")});
  ASSERT_NE(Find(entry, ZT("description")), nullptr);
  EXPECT_EQ(Find(entry, ZT("description"))->values, std::vector<std::string>{"Z\xC3\xBCrich"});
  ASSERT_NE(Find(entry, ZT("street")), nullptr);
  EXPECT_EQ(Find(entry, ZT("street"))->values.front(), std::string("a\0b", 3));

  // A delete without values removes the attribute; an unknown operation is refused.
  EXPECT_EQ(DirectoryModify(handle, ou, {{kDirectoryDelete, ZT("description"), {}}}, false), 0);
  entry = ReadOne(handle, ou, kBase, Text(), {ZT("description")});
  EXPECT_EQ(Find(entry, ZT("description")), nullptr);
  EXPECT_NE(DirectoryModify(handle, ou, {{7, ZT("description"), {"x"}}}, false), 0);

  // The lazy-commit control is non-critical: accepted on an add too.
  EXPECT_EQ(DirectoryAdd(handle, ZT("OU=lazy,") + ou,
                         {{kDirectoryAdd, ZT("objectClass"), {"organizationalUnit"}}}, true),
            0);
  DirectoryClose(handle);
}

TEST(DirectoryDc, SearchesReturnBinaryValuesAndReportFailures) {
  REQUIRE_DC();
  Settings s(dc.PrivilegedUri());
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);

  // Subtree search from the domain root: the continuation references the DC
  // sends along are skipped, the one entry arrives.
  const DirectoryEntry alice = ReadOne(handle, kDomainDn, kSubtree,
                                       ZT("(&(sAMAccountType=805306368)(sAMAccountName=alice))"),
                                       {ZT("sAMAccountName"), ZT("objectSid")});
  EXPECT_EQ(alice.dn, ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  ASSERT_NE(Find(alice, ZT("objectSid")), nullptr);
  EXPECT_EQ(SidToText(Find(alice, ZT("objectSid"))->values.front()).rfind("S-1-5-21-", 0), 0u);

  // tokenGroups (base scope only): binary SIDs, among them a nested security group.
  const DirectoryEntry groups = ReadOne(handle, alice.dn, kBase, Text(), {ZT("tokenGroups")});
  const DirectoryEntry all_staff =
      ReadOne(handle, ZT("CN=All Staff,CN=Users,") + kDomainDn, kBase, Text(), {ZT("objectSid")});
  ASSERT_NE(Find(groups, ZT("tokenGroups")), nullptr);
  ASSERT_NE(Find(all_staff, ZT("objectSid")), nullptr);
  std::vector<std::string> sids;
  for (const std::string& value : Find(groups, ZT("tokenGroups"))->values) {
    sids.push_back(SidToText(value));
  }
  EXPECT_NE(std::find(sids.begin(), sids.end(), "S-1-5-32-545"), sids.end());
  EXPECT_NE(std::find(sids.begin(), sids.end(),
                      SidToText(Find(all_staff, ZT("objectSid"))->values.front())),
            sids.end());

  // No filter and no attribute list: every attribute of the object.
  const DirectoryEntry domain = ReadOne(handle, kDomainDn, kBase, Text(), {});
  EXPECT_NE(Find(domain, ZT("objectClass")), nullptr);
  EXPECT_NE(Find(domain, ZT("dc")), nullptr);

  // A malformed filter and a missing base fail and leave nothing behind. (A
  // size limit cannot be shown here: this DC ignores the one the client
  // sends; see SearchCutShortReturnsItsCodeAndNoEntries.)
  std::vector<DirectoryEntry> entries(3);
  EXPECT_NE(DirectorySearch(handle, kDomainDn, kSubtree, ZT("(cn=alice"), {}, 0, entries), 0);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(DirectorySearch(handle, ZT("OU=Nowhere,") + kDomainDn, kBase, Text(), {}, 0, entries),
            32);  // no such object
  DirectoryClose(handle);
}

TEST(DirectoryDc, SimpleBindOverTls) {
  REQUIRE_DC();
  TempFolder dir;
  const std::string pw = dir.File("pw"), pw2 = dir.File("pw2"), wrong = dir.File("wrong"),
                    empty = dir.File("empty");
  ASSERT_TRUE(AppendToFile(dir.Wide("pw"), dc.admin_password + "\r\n"));
  ASSERT_TRUE(AppendToFile(dir.Wide("pw2"), dc.admin_password + "\n\n"));
  ASSERT_TRUE(AppendToFile(dir.Wide("wrong"), dc.admin_password + "x"));
  ASSERT_TRUE(AppendToFile(dir.Wide("empty"), "\n"));
  const std::string ldaps = "ldaps://" + dc.TlsHost(), ldap = "ldap://" + dc.TlsHost();

  for (const std::string& uri : {ldaps, ldap}) {  // ldap:// goes through StartTLS
    Settings s(uri, kAdminDn, pw.c_str(), dc.ca_file.c_str());
    DirectoryHandle* handle = DirectoryOpen();
    ASSERT_NE(handle, nullptr) << uri;
    const DirectoryEntry alice =
        ReadOne(handle, kDomainDn, kSubtree, ZT("(sAMAccountName=alice)"), {ZT("cn")});
    EXPECT_EQ(alice.dn, ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
    DirectoryClose(handle);
  }
  // Only one line break is dropped; a wrong password and an empty one (which
  // would otherwise become an anonymous bind) fail; so does an unusable CA file.
  for (const std::string& file : {pw2, wrong, empty}) {
    Settings s(ldaps, kAdminDn, file.c_str(), dc.ca_file.c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr) << file;
    // The console shows why: the server's refusal, or the unusable file.
    const std::string reason = TextToUtf8(DirectoryAccessProblem());
    EXPECT_EQ(reason, file == empty ? "cannot read a password from " + empty
                                    : "the directory at " + ldaps + ": Invalid credentials");
  }
  {
    Settings s(ldaps, kAdminDn, pw.c_str(), dc.ca_file.c_str());
    DirectoryHandle* handle = DirectoryOpen();
    ASSERT_NE(handle, nullptr);
    DirectoryClose(handle);
    EXPECT_EQ(DirectoryAccessProblem(), Text()) << "a good open forgets the last failure";
  }
  {
    Settings s(ldaps, kAdminDn, pw.c_str(), dir.File("missing-ca.pem").c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr);
  }
  if (!kTlsNameCheckRelaxed) {
    // Verification is on: a server certificate from another CA is refused.
    TempFolder other;
    ASSERT_EQ(
        std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other "
                     "-keyout " +
                     other.File("k.pem") + " -out " + other.File("ca.pem") + " >/dev/null 2>&1")
                        .c_str()),
        0);
    Settings s(ldaps, kAdminDn, pw.c_str(), other.File("ca.pem").c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr);
  }
}

TEST(DirectoryDc, KerberosBindWithTheProcessCredentials) {
  REQUIRE_DC();
  TempFolder dir;
  const std::string cache = "FILE:" + dir.File("cc");
  ScopedEnv config("KRB5_CONFIG", (dc.dir + "/krb5.conf").c_str());
  ScopedEnv ccache("KRB5CCNAME", cache.c_str());
  Settings s("ldap://" + dc.ip);
  {
    ScopedEnv nothing("KRB5CCNAME", ("FILE:" + dir.File("none")).c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr);  // no credentials, no connection
  }
  FILE* kinit = popen("kinit Administrator@EXAMPLE.TEST >/dev/null 2>&1", "w");
  ASSERT_NE(kinit, nullptr);
  fputs((dc.admin_password + "\n").c_str(), kinit);
  if (pclose(kinit) != 0) GTEST_SKIP() << "kinit as Administrator failed; no Kerberos ticket";

  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  // Anything beyond the RootDSE needs an authenticated connection.
  const DirectoryEntry alice =
      ReadOne(handle, kDomainDn, kSubtree, ZT("(sAMAccountName=alice)"), {ZT("cn")});
  EXPECT_EQ(alice.dn, ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  DirectoryClose(handle);

  // The same ticket towards a server on the DC's address that never
  // answers the bind: the open gives up within its bound.
  testing::SilentDirectory silent = testing::SilentDirectory::Tcp(dc.ip);
  silent.Start();
  Settings to_silent("ldap://" + dc.ip + ":" + std::to_string(silent.port()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DirectoryOpen(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kDirectoryRequestMilliseconds + 1500));
  EXPECT_EQ(silent.silenced_requests(), 1);  // the bind was sent and got no answer
}

TEST(DirectoryDc, CanonicalNamesBothWays) {
  REQUIRE_DC();
  Settings s(dc.PrivilegedUri());
  const Text engineering = ZT("OU=Engineering,OU=Staff,") + kDomainDn;
  EXPECT_EQ(TranslateDnToCanonical(kDomainDn), ZT("example.test/"));
  EXPECT_EQ(TranslateDnToCanonical(engineering), ZT("example.test/Staff/Engineering"));
  EXPECT_EQ(TranslateDnToCanonical(ZT("OU=Nowhere,") + kDomainDn), Text());

  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test/")), kDomainDn);
  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test")), kDomainDn);
  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test/Staff/Engineering")), engineering);
  EXPECT_EQ(TranslateCanonicalToDn(ZT("EXAMPLE.TEST/staff/engineering/")), engineering);
  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test/Staff/Nowhere")), Text());
  EXPECT_EQ(TranslateCanonicalToDn(ZT("other.test/Staff")), Text());
  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test//Staff")), Text());
  // Filter characters in a name are matched literally, never as wildcards.
  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test/Sta*")), Text());
  EXPECT_EQ(TranslateCanonicalToDn(ZT("exa*")), Text());

  // An OU whose name holds filter syntax, a backslash and a slash ("\/" in
  // the canonical form).
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  const Text parent = ZT("OU=") + RunTag() + ZT("-names,") + kDomainDn;
  const Text odd = ZT("OU=a(b)* \\\\c/d,") + parent;
  for (const Text& dn : {parent, odd}) {
    EXPECT_EQ(DirectoryAdd(handle, dn, {{kDirectoryAdd, ZT("objectClass"), {"organizationalUnit"}}},
                           false),
              0);
  }
  DirectoryClose(handle);
  EXPECT_EQ(TranslateCanonicalToDn(ZT("example.test/") + RunTag() + ZT("-names/a(b)* \\\\c\\/d")),
            odd);
}

TEST(DirectoryDc, AccountNamesOfSids) {
  REQUIRE_DC();
  Settings s(dc.PrivilegedUri());
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  const DirectoryEntry engineers =
      ReadOne(handle, ZT("CN=Engineers,CN=Users,") + kDomainDn, kBase, Text(), {ZT("objectSid")});
  DirectoryClose(handle);
  ASSERT_NE(Find(engineers, ZT("objectSid")), nullptr);
  const std::string sid = SidToText(Find(engineers, ZT("objectSid"))->values.front());

  EXPECT_EQ(LookupAccountNameOfSid(AsciiToText(sid)), ZT("Engineers"));
  EXPECT_EQ(LookupAccountNameOfSid(ZT("S-1-5-32-545")), ZT("Users"));  // builtin
  EXPECT_EQ(LookupAccountNameOfSid(ZT("s-1-5-32-545")), ZT("Users"));
  EXPECT_EQ(LookupAccountNameOfSid(ZT("S-1-5-11")), ZT("Authenticated Users"));  // well-known
  EXPECT_EQ(LookupAccountNameOfSid(AsciiToText(sid + "9")), Text());
  EXPECT_EQ(LookupAccountNameOfSid(ZT("S-1-5-21-1-2-3-4")), Text());
  EXPECT_EQ(LookupAccountNameOfSid(ZT("S-1-5-32-545)(cn=*")), Text());
}

TEST(DirectoryDc, IndependentConnectionsOnManyThreads) {
  REQUIRE_DC();
  Settings s(dc.PrivilegedUri());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 5; ++i) {
        DirectoryHandle* handle = DirectoryOpen();
        std::vector<DirectoryEntry> entries;
        if (handle == nullptr ||
            DirectorySearch(handle, kDomainDn, kSubtree, ZT("(sAMAccountName=bob)"), {ZT("cn")}, 0,
                            entries) != 0 ||
            entries.size() != 1 || LookupAccountNameOfSid(ZT("S-1-5-32-545")) != ZT("Users")) {
          ++failures;
        }
        DirectoryClose(handle);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace zefa::platform

// The server initialisation on a real file tree: what the first run builds,
// what a second run leaves alone, and where it falls back.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <chrono>
#include <thread>

#include "directory/directory.h"
#include "server/library_state.h"
#include "logging/log.h"
#include "policy/policies.h"
#include "policy/registry_values.h"
#include "util/text_util.h"
#include "util/server_paths.h"
#include "server/server_initialisation.h"
#include "server/setup_and_upgrade.h"
#include "server/tests/fresh_server.h"
#include "testing/test_dc.h"
#include "platform/directory.h"
#include "platform/registry.h"

namespace zefa {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::T;

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

class ServerInitialisationTest : public ::testing::Test {
 protected:
  testing::FreshServer server;
  std::string system = server.system_folder();
};

TEST_F(ServerInitialisationTest, FirstRunBuildsTheTreeAndRecordsTheRelease) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(Initialised());

  for (const char* folder : {"", "/mail", "/log", "/idp", "/idh", "/words"})
    EXPECT_TRUE(fs::is_directory(system + folder)) << folder;
  EXPECT_TRUE(fs::is_directory(server.public_folder()));
  EXPECT_FALSE(fs::exists(system + "/users")) << "only recorded, never created";

  EXPECT_EQ(ReadFileText(server.public_folder() + "/expwarn.exe"), "reminder 2.1.1");
  EXPECT_EQ(ReadFileText(system + "/mail/rododorire.exe"), "mailer");
  EXPECT_EQ(ReadFileText(system + "/mail/rododorire.cfg"), "smtp=mail.example.test");

  // The private part is its owner's alone; the public part keeps the
  // share's access, and so do the folders that inherit.
  EXPECT_TRUE(testing::OwnerOnly(system));
  EXPECT_TRUE(testing::OwnerOnly(system + "/idp"));
  EXPECT_FALSE(testing::OwnerOnly(server.public_folder()));

  EXPECT_EQ(fs::read_symlink(server.root() + "/zefa/system"), system);
  EXPECT_EQ(fs::read_symlink(server.root() + "/zefa/public"), server.public_folder());

  EXPECT_EQ(TextToUtf8(LogFilePath()), server.log_file());
  EXPECT_NE(ReadFileText(server.log_file())
                .find("\tInfo\tClavora v2.1.1 initialized (server EXAMPLE\\DC1)\r\n"),
            std::string::npos);
  EXPECT_EQ(ReadRegistryValue(kProductKey, kReleaseValue, 0), ZT("2.1.1"));

  const ServerPaths paths = CurrentServerPaths();
  EXPECT_EQ(TextToUtf8(paths.NetlogonPath), server.netlogon());
  EXPECT_EQ(TextToUtf8(paths.IdhFolder), system + "/idh");
  EXPECT_EQ(TextToUtf8(paths.UsersFolder), system + "/users");
  EXPECT_EQ(TextToUtf8(paths.WordsFolder), system + "/words");
  EXPECT_EQ(paths.DomainName, ZT("EXAMPLE"));
}

// A fresh installation has no zefa folder in the state folder (nothing set
// up there yet): the links are made all the same.
TEST(ServerInitialisationFresh, LinksAreMadeWithoutASetUpFolder) {
  testing::TestDomain domain;
  ASSERT_FALSE(fs::exists(domain.root() + "/zefa"));
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_EQ(fs::read_symlink(domain.root() + "/zefa/system"), domain.system_folder());
  EXPECT_EQ(fs::read_symlink(domain.root() + "/zefa/public"), domain.netlogon() + "/zefa/public");
}

TEST_F(ServerInitialisationTest, SecondRunRepeatsOnlyTheLinks) {
  ASSERT_EQ(ServerInitialisation(), 1);
  // Changes an administrator might make afterwards; none may be undone.
  fs::permissions(system, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  fs::permissions(system + "/idp",
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  testing::WriteFileText(server.public_folder() + "/expwarn.exe", "local build");
  fs::remove(system + "/mail/rododorire.exe");
  fs::remove(system + "/mail/rododorire.cfg");
  fs::remove_all(server.tasks());
  fs::remove(server.root() + "/zefa/system");

  ResetLogDefaults();
  SetInitialised(false);
  ASSERT_EQ(ServerInitialisation(), 1);

  EXPECT_FALSE(testing::OwnerOnly(system)) << "access changed again";
  EXPECT_FALSE(testing::OwnerOnly(system + "/idp")) << "access changed again";
  EXPECT_EQ(ReadFileText(server.public_folder() + "/expwarn.exe"), "local build");
  EXPECT_FALSE(fs::exists(system + "/mail/rododorire.exe"));
  EXPECT_FALSE(fs::exists(system + "/mail/rododorire.cfg"));
  EXPECT_FALSE(fs::exists(server.tasks())) << "the set-up ran again";
  EXPECT_EQ(fs::read_symlink(server.root() + "/zefa/system"), system) << "links are renewed";
  EXPECT_EQ(fs::read_symlink(server.root() + "/zefa/public"), server.public_folder());
}

TEST_F(ServerInitialisationTest, ShareWithoutFolderPutsTheTreeUnderTheWindowsFolder) {
  testing::WriteFileText(server.root() + "/smb.conf",
                         "[global]\n\tworkgroup = EXAMPLE\n\tnetbios name = DC1\n"
                         "[netlogon]\n\tpath = " +
                             server.root() + "/missing/scripts\n");
  ASSERT_EQ(ServerInitialisation(), 1);
  const std::string fallback = server.root() + "/zefa/system";
  EXPECT_TRUE(fs::is_directory(fallback) && !fs::is_symlink(fallback));
  EXPECT_TRUE(fs::is_directory(fallback + "/idh"));
  EXPECT_TRUE(fs::exists(server.root() + "/zefa/public/expwarn.exe"));
  EXPECT_EQ(TextToUtf8(LogFilePath()), fallback + "/log/DC1.log");
}

TEST_F(ServerInitialisationTest, ShareNamesAreMatchedWholeInAnyCase) {
  const std::string netlogon_prefix =
      "[global]\n\tnetbios name = DC1\n[netlogon2]\n\tpath = " + server.netlogon() + "\n";
  testing::WriteFileText(server.root() + "/smb.conf", netlogon_prefix);
  EXPECT_EQ(ServerInitialisation(), 0);
  EXPECT_FALSE(Initialised());
  EXPECT_FALSE(fs::exists(server.netlogon() + "/zefa"));
  EXPECT_FALSE(fs::exists(server.root() + "/zefa/system"));
  EXPECT_TRUE(ReadRegistryValue(kProductKey, kReleaseValue, 0).empty());
  EXPECT_TRUE(CurrentServerPaths().SystemFolder.empty());

  // No workgroup and no directory to ask: the domain part of the log line
  // stays empty.
  unsetenv("CLAVORA_LDAP_URI");
  testing::WriteFileText(server.root() + "/smb.conf",
                         netlogon_prefix + "[NETLOGON]\n\tpath = " + server.netlogon() + "\n");
  EXPECT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(fs::is_directory(system + "/log"));
  EXPECT_NE(ReadFileText(server.log_file()).find("Clavora v2.1.1 initialized (server \\DC1)\r\n"),
            std::string::npos);
}

TEST_F(ServerInitialisationTest, InactivePassFollowsAPolicyChangeOutsideTestModeOnly) {
  // A negative day count makes the pass announce itself with a warning.
  server.SetPolicy(0, "DisableInactiveAccounts", "-7");
  SetTestMode(true);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(ServerInitialisation(), 1);
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.find("Warning"), std::string::npos) << console;
  EXPECT_NE(console.find("Clavora v2.1.1 initialized"), std::string::npos) << console;

  SetTestMode(false);
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_NE(ReadFileText(server.log_file()).find("\tWarning\tDisableInactiveAccounts -7"),
            std::string::npos);
  // Unchanged policy: no pass.
  const std::string before = ReadFileText(server.log_file());
  ASSERT_EQ(ServerInitialisation(), 1);
  const std::string after = ReadFileText(server.log_file());
  EXPECT_EQ(after.find("Warning", before.size()), std::string::npos);
}

TEST_F(ServerInitialisationTest, InstallationCheckFindsBothShareFolders) {
  ASSERT_EQ(ServerInitialisation(), 1);
  const std::string out = Capture(std::string(CLAVORA_BIN_DIR) + "/zefatest /v");
  EXPECT_NE(out.find("\nOK       " + system + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nOK       " + server.public_folder() + "\n"), std::string::npos) << out;
}

// A directory server on a local port that notes, for every connection it
// gets, whether the library was initialised by then, and hangs up.
struct WatchingDirectory {
  int listener = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::atomic<int> connections{0};
  std::atomic<int> before_initialised{0};
  std::thread thread;

  WatchingDirectory() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    listen(listener, 16);
    thread = std::thread([this] {
      while (!stop) {
        pollfd entry{listener, POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0) continue;
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        ++connections;
        if (!Initialised()) ++before_initialised;
        close(fd);
      }
    });
  }
  ~WatchingDirectory() {
    stop = true;
    thread.join();
    close(listener);
  }
};

// The directory work of the first run (the mirror of the policy sets, the
// inactive-account pass, the logon time stamp's interval) comes after the
// filter starts checking: a large domain or a slow directory must not keep
// every password refused meanwhile.
TEST_F(ServerInitialisationTest, PasswordsAreCheckedBeforeAnyDirectoryWork) {
  WatchingDirectory directory;
  setenv("CLAVORA_LDAP_URI", ("ldap://127.0.0.1:" + std::to_string(directory.port)).c_str(), 1);
  server.SetPolicy(1, "Enabled", "1", platform::kRegDword);
  server.SetPolicy(1, "UserGroups", "Engineers");
  server.SetPolicy(0, "DisableInactiveAccounts", "30");
  ASSERT_EQ(ServerInitialisation(), 1);
  unsetenv("CLAVORA_LDAP_URI");
  EXPECT_TRUE(Initialised());
  // A connection may still wait in the listen queue for the watcher's accept.
  for (int i = 0; i < 200 && directory.connections.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(directory.connections.load(), 0) << "the first run did no directory work at all";
  EXPECT_EQ(directory.before_initialised.load(), 0)
      << "the directory was asked while every password was still refused";
}

// Against the test domain controller: the logon time stamp's refresh
// interval of the domain becomes 2 days.
TEST(ServerInitialisationDc, SetsTheLogonTimeSyncInterval) {
  REQUIRE_TEST_DC();
  testing::FreshServer server;
  setenv("CLAVORA_LDAP_URI", testing::TestDcLdapiUri().c_str(), 1);
  DirectoryConnection connection;
  ASSERT_TRUE(OpenDirectoryConnection(connection));
  const Text domain = CurrentNamingContexts().DefaultNamingContext;
  platform::DirectoryModification other{
      platform::kDirectoryReplace, ZT("msDS-LogonTimeSyncInterval"), {"9"}};
  ASSERT_EQ(platform::DirectoryModify(connection.handle, domain, {other}, false), 0);
  ASSERT_EQ(ReadAttributeText(connection, domain, ZT("msDS-LogonTimeSyncInterval")), ZT("9"));

  EXPECT_EQ(ServerInitialisation(), 1);
  EXPECT_EQ(ReadAttributeText(connection, domain, ZT("msDS-LogonTimeSyncInterval")), ZT("2"));
  CloseDirectoryConnection(connection);
  unsetenv("CLAVORA_LDAP_URI");
}

}  // namespace
}  // namespace zefa

namespace zefa {
namespace {

// Whatever a run left behind (sets, folders, the log level, a started
// server), one call gives a library as a fresh load finds it.
TEST(LibraryState, OneResetLeavesNothingOfAnEarlierRun) {
  for (int round = 0; round < 3; ++round) {
    {
      PolicyState state;
      state.Sets.resize(8);
      state.PolicyStamp = 1000 + round;
      PublishPolicies(std::move(state));
    }
    ServerPaths paths;
    paths.NetlogonPath = ZT("/tmp/netlogon") + IntegerToText(round);
    StoreServerPaths(paths);
    SetLogLevel(2 + round);
    SetInitialised(true);

    ResetLibraryState();

    EXPECT_FALSE(Initialised());
    EXPECT_EQ(LogLevel(), 0);
    EXPECT_TRUE(CurrentServerPaths().NetlogonPath.empty());
    EXPECT_TRUE(CurrentPolicies()->Sets.empty());
    EXPECT_EQ(CurrentPolicies()->PolicyStamp, 0);
  }
}

}  // namespace
}  // namespace zefa

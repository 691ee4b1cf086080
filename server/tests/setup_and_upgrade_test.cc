// The set-up and upgrade step: the Windows command texts as data, which
// blocks an upgrade from each release runs (seen by their effects on a real
// tree), and the POSIX forms of the commands.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/setup.h"
#include "policy/registry_values.h"
#include "server/server_initialisation.h"
#include "server/setup_and_upgrade.h"
#include "platform/setup_commands.h"
#include "server/tests/fresh_server.h"
#include "platform/registry.h"

namespace zefa {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::T;
using testing::WriteFileMaking;

void ExpectCommand(const WindowsCommand& command, const char* program, const char* parameters,
                   bool wait) {
  EXPECT_EQ(TextToUtf8(command.Program), program);
  EXPECT_EQ(TextToUtf8(command.Parameters), parameters);
  EXPECT_EQ(command.Wait, wait) << parameters;
}

TEST(SetupCommands, WindowsCommandTextsAreExact) {
  ExpectCommand(IcaclsInheritanceCommand(ZT("D:\\Sysvol\\corp\\scripts\\zefa\\system")),
                "icacls.exe", "\"D:\\Sysvol\\corp\\scripts\\zefa\\system\" /inheritance:d", true);
  ExpectCommand(IcaclsRemoveAuthenticatedUsersCommand(ZT("C:\\x\\idp")), "icacls.exe",
                "\"C:\\x\\idp\" /remove:g *S-1-5-11", false);
  ExpectCommand(FolderLinkCommand(ZT("C:\\Windows\\zefa\\system"), ZT("D:\\s\\zefa\\system")),
                "cmd.exe", "/c mklink /d \"C:\\Windows\\zefa\\system\" \"D:\\s\\zefa\\system\"",
                false);
  ExpectCommand(DeleteScheduledTaskCommand(ZT("ClavoraADImport")), "cmd.exe",
                "/c schtasks.exe /delete /tn \"ClavoraADImport\" /f", false);
  ExpectCommand(
      CreateScheduledTaskCommand(ZT("RODODorire"), ZT("C:\\Windows\\zefa\\setup\\rododorire.xml")),
      "cmd.exe",
      "/c schtasks /create /tn \"RODODorire\" /xml "
      "\"C:\\Windows\\zefa\\setup\\rododorire.xml\"",
      false);
  ExpectCommand(CopyNewerFilesCommand(ZT("C:\\Windows\\zefa\\setup\\ADMX"), ZT("*.admx"),
                                      ZT("D:\\Sysvol\\corp\\Policies\\PolicyDefinitions")),
                "cmd.exe",
                "/c xcopy \"C:\\Windows\\zefa\\setup\\ADMX\\*.admx\" "
                "\"D:\\Sysvol\\corp\\Policies\\PolicyDefinitions\\\" /d /y",
                false);
}

TEST(SetupCommands, SysvolFolderDropsTheScriptsLevelInAnyCase) {
  EXPECT_EQ(SysvolDomainFolder(ZT("/srv/sysvol/corp.test/SCRIPTS")), ZT("/srv/sysvol/corp.test"));
  EXPECT_EQ(SysvolDomainFolder(ZT("/srv/sysvol/corp.test/Scripts/logon")),
            ZT("/srv/sysvol/corp.test/logon"));
  EXPECT_EQ(SysvolDomainFolder(ZT("/a/scripts/b/scripts")), ZT("/a/b"));
  EXPECT_EQ(SysvolDomainFolder(ZT("/srv/netlogon")), ZT("/srv/netlogon"));
}

// Leftovers of every earlier release, laid out before the initialisation
// runs with a recorded release.
class UpgradeTest : public ::testing::TestWithParam<const char*> {
 protected:
  testing::FreshServer server;

  void SetUp() override {
    const std::string root = server.root();
    for (const std::string& path : Leftovers()) {
      const bool folder = path.ends_with("/users") || path.ends_with("/pp");
      WriteFileMaking(folder ? path + "/sub/file.txt" : path, "old");
    }
    WriteFileMaking(server.public_folder() + "/expwarn.exe", "reminder 1.9");
    WriteFileMaking(root + "/System32/keep.dll", "not ours");
    if (*GetParam() != 0)
      WriteRegistryValue(kProductKey, kReleaseValue, T(GetParam()), platform::kRegSz, 0);
  }

  std::vector<std::string> Leftovers() const {
    std::vector<std::string> paths;
    for (const char* task : {"ClavoraADImport", "ClavoraADQuery", "ClavoraSync"})
      paths.push_back(server.tasks() + "/" + task + ".cron");
    for (const char* file :
         {"ktad.exe", "ktadimport.exe", "ktsync.exe", "KTTools64.dll", "KTTools64.sxs.manifest"})
      paths.push_back(server.root() + "/System32/" + file);
    for (const char* file : {"-googleapps.vbs", "-o365.ps1", "ClavoraADImport.xml",
                             "ClavoraADQuery.xml", "ClavoraSync.xml"})
      paths.push_back(server.setup() + "/" + file);
    paths.push_back(server.system_folder() + "/users");
    paths.push_back(server.public_folder() + "/pp");
    return paths;
  }

  // All of the first block or none of it.
  bool FirstBlockRan() {
    size_t gone = 0;
    const std::vector<std::string> leftovers = Leftovers();
    for (const std::string& path : leftovers) gone += fs::exists(path) ? 0 : 1;
    const bool templates = fs::exists(server.central_store() + "/clavora.admx") &&
                           fs::exists(server.central_store() + "/en-US/clavora.adml");
    EXPECT_TRUE(gone == 0 || gone == leftovers.size()) << gone << " of the leftovers are gone";
    EXPECT_EQ(templates, gone > 0);
    EXPECT_TRUE(fs::exists(server.root() + "/System32/keep.dll"));
    return gone == leftovers.size() && templates;
  }

  bool SecondBlockRan() {
    const bool reminder = ReadFileText(server.public_folder() + "/expwarn.exe") == "reminder 2.1.1";
    const bool task = fs::exists(server.tasks() + "/RODODorire.cron");
    EXPECT_EQ(reminder, task);
    return reminder && task;
  }
};

TEST_P(UpgradeTest, RunsTheBlocksOfOlderReleasesOnly) {
  ASSERT_EQ(ServerInitialisation(), 1);
  const std::string from = GetParam();
  const bool first = from.empty() || from == "2.0.10";
  const bool second = first || from == "2.0.9";
  EXPECT_EQ(FirstBlockRan(), first);
  EXPECT_EQ(SecondBlockRan(), second);
  EXPECT_EQ(ReadRegistryValue(kProductKey, kReleaseValue, 0), ZT("2.1.1"));
}

INSTANTIATE_TEST_SUITE_P(FromEachRelease, UpgradeTest,
                         ::testing::Values("", "2.0.9", "2.0.10", "2.1.0", "2.1.1"),
                         [](const auto& info) {
                           std::string name = *info.param ? info.param : "none";
                           for (char& c : name)
                             if (c == '.') c = '_';
                           return name;
                         });

// ------------------------------------------------------------ POSIX forms

class SetupPlatformTest : public ::testing::Test {
 protected:
  testing::TestDomain domain;
  std::string root = domain.root();

  // Modification times relative to one fixed instant, in hours.
  const fs::file_time_type base = fs::file_time_type::clock::now() - std::chrono::hours(1000);
  void SetModified(const std::string& path, int hours) {
    fs::last_write_time(path, base + std::chrono::hours(hours));
  }
};

TEST_F(SetupPlatformTest, CopyNewerFilesCopiesOnlyMatchingNewerFiles) {
  const std::string from = root + "/from", to = root + "/to/deep";
  WriteFileMaking(from + "/a.admx", "a2");
  WriteFileMaking(from + "/B.ADMX", "b");
  WriteFileMaking(from + "/c.adml", "c");
  WriteFileMaking(from + "/sub/d.admx", "d");
  SetModified(from + "/a.admx", 20);

  EXPECT_TRUE(platform::CopyNewerFiles(T(from), ZT("*.none"), T(to)));
  EXPECT_FALSE(fs::exists(root + "/to")) << "no target without files to copy";
  EXPECT_FALSE(platform::CopyNewerFiles(T(root + "/missing"), ZT("*.admx"), T(to)));

  ASSERT_TRUE(platform::CopyNewerFiles(T(from), ZT("*.admx"), T(to)));
  EXPECT_EQ(ReadFileText(to + "/a.admx"), "a2");
  EXPECT_EQ(ReadFileText(to + "/B.ADMX"), "b");
  EXPECT_FALSE(fs::exists(to + "/c.adml"));
  EXPECT_FALSE(fs::exists(to + "/sub"));
  EXPECT_EQ(fs::last_write_time(to + "/a.admx"), fs::last_write_time(from + "/a.admx"));

  // A target as new as its source, or newer, stays; an older one is replaced.
  testing::WriteFileText(to + "/a.admx", "edited");
  SetModified(to + "/a.admx", 20);
  testing::WriteFileText(to + "/B.ADMX", "edited");
  SetModified(to + "/B.ADMX", -20);
  ASSERT_TRUE(platform::CopyNewerFiles(T(from), ZT("*.admx"), T(to)));
  EXPECT_EQ(ReadFileText(to + "/a.admx"), "edited");
  EXPECT_EQ(ReadFileText(to + "/B.ADMX"), "b");
}

TEST_F(SetupPlatformTest, DeleteFolderTreeNeverFollowsLinks) {
  WriteFileMaking(root + "/outside/keep.txt", "keep");
  WriteFileMaking(root + "/tree/a/b/c.txt", "x");
  fs::create_directory_symlink(root + "/outside", root + "/tree/a/link");
  fs::permissions(root + "/tree/a/b", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(platform::DeleteFolderTree(T(root + "/tree")));
  EXPECT_FALSE(fs::exists(root + "/tree"));
  EXPECT_EQ(ReadFileText(root + "/outside/keep.txt"), "keep");

  fs::create_directory_symlink(root + "/outside", root + "/alias");
  EXPECT_TRUE(platform::DeleteFolderTree(T(root + "/alias")));
  EXPECT_FALSE(fs::is_symlink(root + "/alias"));
  EXPECT_EQ(ReadFileText(root + "/outside/keep.txt"), "keep");
  EXPECT_TRUE(platform::DeleteFolderTree(T(root + "/never-there")));
  EXPECT_FALSE(platform::DeleteFolderTree(Text()));
}

TEST_F(SetupPlatformTest, ScheduledTaskBecomesADisabledCronEntry) {
  const std::string definition = root + "/zefa/setup/rododorire.xml";
  // Written by the Windows task scheduler: UTF-16 with a byte-order mark.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string(testing::kMailTaskXml)) utf16 += std::string{c, '\0'};
  WriteFileMaking(definition, utf16);

  EXPECT_EQ(TextToUtf8(platform::ScheduledTaskFolder()), root + "/zefa/tasks");
  ASSERT_TRUE(platform::InstallScheduledTask(ZT("RODODorire"), T(definition)));
  const std::string entry = root + "/zefa/tasks/RODODorire.cron";
  const std::string text = ReadFileText(entry);
  EXPECT_NE(text.find("\n#*/15 * * * * root '/opt/clavora/rododorire' -c mail.cfg & -q\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("/etc/cron.d/clavora-rododorire"), std::string::npos) << text;
  for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
    EXPECT_EQ(text[at], '#') << "every line is a comment while disabled";

  // Enabled by an administrator: a second registration keeps the entry.
  testing::WriteFileText(entry, "*/15 * * * * root /opt/clavora/rododorire\n");
  EXPECT_TRUE(platform::InstallScheduledTask(ZT("RODODorire"), T(definition)));
  EXPECT_EQ(ReadFileText(entry), "*/15 * * * * root /opt/clavora/rododorire\n");

  EXPECT_TRUE(platform::RemoveScheduledTask(ZT("RODODorire")));
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(platform::RemoveScheduledTask(ZT("RODODorire")));
  EXPECT_FALSE(platform::InstallScheduledTask(ZT("Other"), T(root + "/missing.xml")));
  EXPECT_FALSE(fs::exists(root + "/zefa/tasks/Other.cron"));
  EXPECT_FALSE(platform::InstallScheduledTask(ZT("../escape"), T(definition)));
  EXPECT_FALSE(platform::RemoveScheduledTask(ZT("..")));
}

}  // namespace
}  // namespace zefa

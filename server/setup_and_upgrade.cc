#include "server/setup_and_upgrade.h"

#include "platform/files.h"
#include "platform/setup.h"
#include "policy/registry_values.h"
#include "util/server_paths.h"
#include "util/text_util.h"
#include "platform/registry.h"

namespace zefa {

namespace {

// Release before which the server still carried the directory import tools.
inline const WChar* const kToolsRemovedRelease = ZT("2.0.4");
// Release before which the reminder and the mail task were not distributed.
inline const WChar* const kMailTaskRelease = ZT("2.1.0");

inline const WChar* const kMailTaskName = ZT("RODODorire");

Text JoinPaths(Text folder, std::initializer_list<TextView> names) {
  for (TextView name : names) folder = JoinPath(folder, name);
  return folder;
}

// The import and sync tools of the early releases, their tasks and their
// set-up files; the old per-user folder and the old public page folder.
void RemoveEarlyReleaseLeftovers(const ServerPaths& paths, const Text& setup_folder) {
  for (const WChar* task : {ZT("ClavoraADImport"), ZT("ClavoraADQuery"), ZT("ClavoraSync")})
    platform::RemoveScheduledTask(task);
  const Text system32 = JoinPath(paths.WindowsFolder, ZT("System32"));
  for (const WChar* file : {ZT("ktad.exe"), ZT("ktadimport.exe"), ZT("ktsync.exe"),
                            ZT("KTTools64.dll"), ZT("KTTools64.sxs.manifest")})
    platform::DeleteFile(JoinPath(system32, file));
  for (const WChar* file : {ZT("-googleapps.vbs"), ZT("-o365.ps1"), ZT("ClavoraADImport.xml"),
                            ZT("ClavoraADQuery.xml"), ZT("ClavoraSync.xml")})
    platform::DeleteFile(JoinPath(setup_folder, file));
}

// The administrative templates go to the domain's central store on sysvol.
void PublishPolicyTemplates(const ServerPaths& paths, const Text& setup_folder) {
  const Text templates = JoinPath(setup_folder, ZT("ADMX"));
  const Text store =
      JoinPaths(SysvolDomainFolder(paths.NetlogonPath), {ZT("Policies"), ZT("PolicyDefinitions")});
  platform::CopyNewerFiles(templates, ZT("*.admx"), store);
  platform::CopyNewerFiles(JoinPath(templates, ZT("en-US")), ZT("*.adml"),
                           JoinPath(store, ZT("en-US")));
}

}  // namespace

bool IsOlderRelease(const Text& release, const Text& than) { return release < than; }

Text SysvolDomainFolder(const Text& netlogon_path) {
  const Text marker = ToLower(Text(1, platform::PathSeparator()) + ZT("scripts"));
  const Text lower = ToLower(netlogon_path);  // same length: one unit per unit
  Text folder;
  size_t from = 0;
  for (size_t at = lower.find(marker); at != Text::npos; at = lower.find(marker, from)) {
    folder.append(netlogon_path, from, at - from);
    from = at + marker.size();
  }
  folder.append(netlogon_path, from, Text::npos);
  return folder;
}

void SetupAndUpgrade() {
  Text installed = ReadRegistryValue(kProductKey, kReleaseValue, 0);
  if (installed == kCurrentRelease) return;
  const ServerPaths paths = CurrentServerPaths();
  // Without the share folders the deletions below would aim at the wrong place.
  if (paths.WindowsFolder.empty() || paths.PublicFolder.empty() || paths.UsersFolder.empty())
    return;
  const Text setup_folder = SetupFolder(paths.WindowsFolder);
  if (installed.empty()) installed = ZT("0.0.0");

  if (IsOlderRelease(installed, kToolsRemovedRelease)) {
    RemoveEarlyReleaseLeftovers(paths, setup_folder);
    PublishPolicyTemplates(paths, setup_folder);
    platform::DeleteFolderTree(paths.UsersFolder);
    platform::DeleteFolderTree(JoinPath(paths.PublicFolder, ZT("pp")));
  }
  if (IsOlderRelease(installed, kMailTaskRelease)) {
    platform::CopyFile(JoinPath(setup_folder, ZT("expwarn.exe")),
                       JoinPath(paths.PublicFolder, ZT("expwarn.exe")));
    platform::InstallScheduledTask(kMailTaskName, JoinPath(setup_folder, ZT("rododorire.xml")));
  }
  WriteRegistryValue(kProductKey, kReleaseValue, kCurrentRelease, platform::kRegSz, 0);
}

}  // namespace zefa

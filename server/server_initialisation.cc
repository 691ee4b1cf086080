#include "server/server_initialisation.h"

#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "server/library_state.h"
#include "logging/log.h"
#include "platform/files.h"
#include "platform/system.h"
#include "policy/policies.h"
#include "server/reload_policies.h"
#include "server/find_share_path.h"
#include "server/maintenance_worker.h"
#include "util/server_paths.h"
#include "server/setup_and_upgrade.h"
#include "util/text_util.h"

namespace zefa {

namespace {

void CreateFolderIfMissing(const Text& folder) {
  if (!platform::FileExists(folder)) platform::CreateFolder(folder);
}

// The private and public parts of the product's tree on the share. The
// public part keeps the share's inherited access; the private part loses the
// grant to every authenticated user.
void CreateShareFolders(const ServerPaths& paths) {
  if (platform::FileExists(paths.SystemFolder)) return;
  platform::CreateFolderTree(paths.SystemFolder);
  platform::CreateFolderTree(paths.PublicFolder);
  platform::MakeFolderPrivate(paths.SystemFolder);
}

// Links from the Windows folder to the share, so local tools find the tree
// at a fixed place. Attempted on every run; an existing link stays.
void LinkShareFolders(const ServerPaths& paths) {
  const Text product = JoinPath(paths.WindowsFolder, ZT("zefa"));
  // A fresh installation has no zefa folder there yet (nothing was set up).
  platform::CreateFolderTree(product);
  platform::CreateFolderLink(JoinPath(product, ZT("system")), paths.SystemFolder);
  platform::CreateFolderLink(JoinPath(product, ZT("public")), paths.PublicFolder);
}

// The reminder goes to the public part once; the mail program and its
// configuration only in the run that creates the mail folder.
void DistributePrograms(const ServerPaths& paths) {
  const Text setup = SetupFolder(paths.WindowsFolder);
  const Text reminder = JoinPath(paths.PublicFolder, ZT("expwarn.exe"));
  if (!platform::FileExists(reminder))
    platform::CopyFile(JoinPath(setup, ZT("expwarn.exe")), reminder);
  const Text mail_folder = JoinPath(paths.SystemFolder, ZT("mail"));
  if (platform::FileExists(mail_folder)) return;
  platform::CreateFolder(mail_folder);
  for (const WChar* file : {ZT("rododorire.exe"), ZT("rododorire.cfg")})
    platform::CopyFile(JoinPath(setup, file), JoinPath(mail_folder, file));
}

// lastLogonTimestamp, by which the inactive-account pass selects accounts,
// is refreshed every 2 days instead of the directory's default.
void SetLogonTimeSyncInterval() {
  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return;
  const Text domain = CurrentNamingContexts().DefaultNamingContext;
  if (!domain.empty())
    SetAttributeValues(connection, domain, ZT("msDS-LogonTimeSyncInterval"), {ZT("2")});
  CloseDirectoryConnection(connection);
}

}  // namespace

int ServerInitialisation() {
  ServerPaths paths = CurrentServerPaths();
  paths.NetworkReady = platform::StartNetwork();
  paths.WindowsFolder = TrimBlanks(platform::WindowsDirectory());
  const Text netlogon = FindSharePath(ZT("netlogon"), 0);
  if (netlogon.empty()) {
    StoreServerPaths(paths);
    return 0;
  }
  paths.NetlogonPath = netlogon;
  // A share whose folder is missing: the tree goes below the Windows folder.
  const Text base = platform::DirectoryExists(netlogon) ? netlogon : paths.WindowsFolder;
  const Text product = JoinPath(base, ZT("zefa"));
  paths.SystemFolder = JoinPath(product, ZT("system"));
  paths.PublicFolder = JoinPath(product, ZT("public"));

  CreateShareFolders(paths);
  LinkShareFolders(paths);
  DistributePrograms(paths);

  paths.LogFolder = JoinPath(paths.SystemFolder, ZT("log"));
  CreateFolderIfMissing(paths.LogFolder);
  paths.ComputerName = platform::ComputerName();
  SetLogFilePath(JoinPath(paths.LogFolder, paths.ComputerName + ZT(".log")));

  paths.IdpFolder = JoinPath(paths.SystemFolder, ZT("idp"));
  if (!platform::FileExists(paths.IdpFolder)) {
    platform::CreateFolder(paths.IdpFolder);
    platform::MakeFolderPrivate(paths.IdpFolder);
  }
  paths.IdhFolder = JoinPath(paths.SystemFolder, ZT("idh"));
  CreateFolderIfMissing(paths.IdhFolder);
  paths.UsersFolder = JoinPath(paths.SystemFolder, ZT("users"));  // recorded, not created
  paths.WordsFolder = JoinPath(paths.SystemFolder, ZT("words"));
  CreateFolderIfMissing(paths.WordsFolder);
  paths.DomainName = platform::NetbiosDomainName();
  StoreServerPaths(paths);

  SetupAndUpgrade();

  const bool policies_changed = ReloadPolicies() == 1;

  LogInfo(ZT("Clavora v2.1.1 initialized (server ") + paths.DomainName + ZT("\\") +
          paths.ComputerName + ZT(")"));
  // Passwords are checked from here on. The directory work below may take
  // long (a large domain, a slow or absent directory) and must not keep the
  // filter refusing every password meanwhile.
  SetInitialised(true);
  SetLogonTimeSyncInterval();
  if (policies_changed && !TestMode()) ApplyChangedPolicies();
  return 1;
}

}  // namespace zefa

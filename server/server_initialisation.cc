#include "server/server_initialisation.h"

#include "filter/filter_state.h"
#include "logging/log.h"
#include "platform/platform.h"
#include "policy/policies.h"
#include "server/find_share_path.h"
#include "server/paths.h"
#include "util/text_util.h"

namespace zefa {

namespace {

void CreateFolderIfMissing(const Text& folder) {
  if (!platform::DirectoryExists(folder)) platform::CreateFolder(folder);
}

void CopyIfMissing(const Text& from, const Text& to) {
  if (!platform::FileExists(to)) platform::CopyFile(from, to);
}

}  // namespace

int ServerInitialisation() {
  ServerPaths paths = CurrentServerPaths();
  paths.NetworkReady = platform::StartNetwork();
  paths.WindowsFolder = TrimBlanks(platform::WindowsDirectory());
  paths.NetlogonPath = FindSharePath(ZT("netlogon"), 0);
  if (paths.NetlogonPath.empty()) {
    StoreServerPaths(paths);
    return 0;
  }
  const Text base = platform::DirectoryExists(paths.NetlogonPath) ? paths.NetlogonPath
                                                                  : paths.WindowsFolder;
  const Text product = JoinPath(base, ZT("zefa"));
  paths.SystemFolder = JoinPath(product, ZT("system"));
  paths.PublicFolder = JoinPath(product, ZT("public"));

  if (!platform::FileExists(paths.SystemFolder)) {
    platform::CreateFolderTree(paths.SystemFolder);
    platform::CreateFolderTree(paths.PublicFolder);
    platform::MakeFolderPrivate(paths.SystemFolder);
  }

  // Links from the Windows folder to the share, attempted on every run.
  const Text windows_product = JoinPath(paths.WindowsFolder, ZT("zefa"));
  platform::CreateFolderLink(JoinPath(windows_product, ZT("system")), paths.SystemFolder);
  platform::CreateFolderLink(JoinPath(windows_product, ZT("public")), paths.PublicFolder);

  const Text setup = SetupFolder(paths.WindowsFolder);
  CopyIfMissing(JoinPath(setup, ZT("expwarn.exe")), JoinPath(paths.PublicFolder, ZT("expwarn.exe")));
  const Text mail_folder = JoinPath(paths.SystemFolder, ZT("mail"));
  if (!platform::FileExists(mail_folder)) {
    platform::CreateFolder(mail_folder);
    platform::CopyFile(JoinPath(setup, ZT("rododorire.exe")), JoinPath(mail_folder, ZT("rododorire.exe")));
    platform::CopyFile(JoinPath(setup, ZT("rododorire.cfg")), JoinPath(mail_folder, ZT("rododorire.cfg")));
  }

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
  paths.UsersFolder = JoinPath(paths.SystemFolder, ZT("users"));
  paths.WordsFolder = JoinPath(paths.SystemFolder, ZT("words"));
  CreateFolderIfMissing(paths.WordsFolder);
  paths.DomainName = platform::NetbiosDomainName();
  StoreServerPaths(paths);

  LoadPolicies();

  if (LogLevel() >= 0) {
    WriteLog(ZT("Clavora v2.1.1 initialized (server ") + paths.DomainName + ZT("\\") +
                 paths.ComputerName + ZT(")"),
             ZT("Info"), 0);
  }
  SetInitialised(true);
  return 1;
}

}  // namespace zefa

#include "util/server_paths.h"

#include <mutex>

#include "util/text_util.h"

namespace zefa {

namespace {
std::mutex paths_lock;
ServerPaths& Stored() {
  static ServerPaths paths;
  return paths;
}
}  // namespace

ServerPaths CurrentServerPaths() {
  std::lock_guard<std::mutex> guard(paths_lock);
  return Stored();
}

void StoreServerPaths(const ServerPaths& paths) {
  std::lock_guard<std::mutex> guard(paths_lock);
  Stored() = paths;
}

void ClearServerPaths() { StoreServerPaths(ServerPaths()); }

Text SetupFolder(const Text& windows_folder) {
  return JoinPath(JoinPath(windows_folder, ZT("zefa")), ZT("setup"));
}

}  // namespace zefa

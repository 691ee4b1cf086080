#include "server/find_share_path.h"

#include "platform/shares.h"
#include "util/text_util.h"

namespace zefa {

Text FindSharePath(const Text& share_name, int prefix) {
  const Text wanted = ToLower(share_name);
  for (const platform::ShareInfo& share : platform::EnumerateShares()) {
    if (share.type != 0) continue;
    const Text name = ToLower(share.name);
    if ((prefix != 0 && StartsWith(name, wanted)) || name == wanted) return share.path;
  }
  return Text();
}

}  // namespace zefa

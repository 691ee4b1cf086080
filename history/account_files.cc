#include "history/account_files.h"

#include "util/text_util.h"

namespace zefa {

Text AccountFilePath(const Text& folder, const Text& account, const Text& extension) {
  if (folder.empty() || account.empty() || Contains(account, ZT(".."))) return Text();
  for (WChar c : account)
    if (c == ZT('/') || c == ZT('\\') || c == ZT(':') || c == 0) return Text();
  return JoinPath(folder, account + extension);
}

}  // namespace zefa

#include "history/similarity_check.h"

#include "history/account_files.h"
#include "history/history_file.h"
#include "history/password_hash.h"
#include "platform/files.h"
#include "rules/similarity.h"
#include "util/text_util.h"

namespace zefa {

bool SimilarToHistory(const Text& idh_folder, const Text& account, const Text& password) {
  const Text path = AccountFilePath(idh_folder, account, ZT(".idh"));
  if (path.empty()) return false;
  std::vector<std::string> lines;
  if (ReadHistoryLines(path, lines) != platform::FileRead::kRead || lines.empty()) return false;
  const Text salt = HistorySaltOf(lines);  // the file is read once
  Text working_copy = password;
  const Text hash =
      HashPassword(SimilarityReduction(working_copy), kHistoryAlgorithm, kHistoryIterations, salt);
  if (hash.empty()) return false;  // no digest: nothing can be compared
  for (const std::string& line : lines)
    if (Contains(Utf8ToText(line), hash)) return true;
  return false;
}

}  // namespace zefa

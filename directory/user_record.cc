#include "directory/user_record.h"

namespace zefa {

bool IsComputerAccount(const Text& account, const UserRecord& user) {
  if (account.empty()) return true;
  if (!user.AccountName.empty()) return user.ComputerAccount;
  // Not in the directory: a name ending in "$" is a computer being joined.
  return account.back() == ZT('$');
}

}  // namespace zefa

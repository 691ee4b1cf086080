// When an account's password was last set, as the filter library's
// directory view holds it: the host asks the library (its ZefaPasswordStamps
// entry point) instead of reading the directory itself, so the stamps come
// from the same change stream that the checks read, one poll for all
// accounts.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"
#include "samba/filter_library.h"

namespace zefa::host {

struct AccountStamp {
  bool found = false;        // the directory knows the account
  int64_t pwd_last_set = 0;  // 100-ns intervals since 1601 (0: must change)
  uint32_t relative_id = 0;  // last part of the account's SID
};

struct StampQuery {
  Text account;       // sAMAccountName
  bool read = false;  // the directory answered for this account
  AccountStamp stamp;
};

// Reads every query from the library's directory view. Returns the
// directory time (see DirectoryTimeNow) at which the view's last successful
// read of the directory began: every change committed before it shows in
// the stamps. Returns 0, the queries unread, while the library has no view,
// or when it lacks the entry point.
int64_t ReadStampsFromLibrary(const FilterLibrary& library, std::vector<StampQuery>& queries);

// The current time in the directory's form (100-ns intervals since 1601).
int64_t DirectoryTimeNow();

}  // namespace zefa::host

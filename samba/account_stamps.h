// When an account's password was last set, read from the directory over the
// same connection settings as the filter library (CLAVORA_LDAP_URI and the
// rest, through the platform layer's directory client).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

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

// Reads every query, over a connection kept open between calls (at most four
// connections, one reader on each at a time; further readers wait). Queries stay unread when no
// connection can be opened or the searches fail.
void ReadAccountStamps(std::vector<StampQuery>& queries);

// Closes the kept connections (at the host's stop).
void CloseStampConnections();

// The current time in the directory's form (100-ns intervals since 1601).
int64_t DirectoryTimeNow();

// The relative id of a binary SID; 0 when it is not one.
uint32_t RelativeIdOfSid(const std::string& sid);

}  // namespace zefa::host

#include "samba/account_stamps.h"

#include <time.h>

namespace zefa::host {

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

}  // namespace

int64_t DirectoryTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<int64_t>(now.tv_sec) + kSecondsFrom1601To1970) * 10000000 + now.tv_nsec / 100;
}

int64_t ReadStampsFromLibrary(const FilterLibrary& library, std::vector<StampQuery>& queries) {
  if (library.password_stamps == nullptr || queries.empty()) return 0;
  std::vector<ZEFA_UNICODE_STRING> accounts;
  std::vector<ZEFA_PASSWORD_STAMP> stamps(queries.size(), ZEFA_PASSWORD_STAMP{0, 0, 0});
  accounts.reserve(queries.size());
  for (StampQuery& query : queries)
    accounts.push_back(CountedText(query.account.data(), query.account.size()));
  const int64_t current_to = library.password_stamps(
      accounts.data(), static_cast<uint32_t>(queries.size()), stamps.data());
  if (current_to == 0) return 0;
  for (size_t i = 0; i < queries.size(); ++i) {
    queries[i].read = true;
    queries[i].stamp =
        AccountStamp{stamps[i].Found != 0, stamps[i].PwdLastSet, stamps[i].RelativeId};
  }
  return current_to;
}

}  // namespace zefa::host

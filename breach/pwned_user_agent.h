// The User-Agent every request to the breached-password range interface
// carries: the filter's lookups and the store's sync alike.
#pragma once

namespace zefa {

inline constexpr char kPwnedUserAgent[] = "ZEFA-PWNED";

}  // namespace zefa

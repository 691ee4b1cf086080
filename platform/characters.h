// The platform layer: letter case of UTF-16 code units and memory wiping. One implementation per
// platform (platform/posix, platform/windows) is chosen at build time. Unless a function says
// otherwise it is safe to call from any thread, never throws, and reports failure only through its
// result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// Unicode letter case of one UTF-16 code unit (Basic Multilingual Plane).
// Surrogates, digits, punctuation and caseless letters are neither upper nor
// lower case. CharLower returns the unit unchanged when it has no lower case.
bool IsCharUpper(WChar c);
bool IsCharLower(WChar c);
WChar CharLower(WChar c);

// Overwrites `size` bytes at `data` with zeros in a way the compiler cannot
// elide (used for passwords and their copies).
void SecureWipe(void* data, size_t size);

}  // namespace zefa::platform

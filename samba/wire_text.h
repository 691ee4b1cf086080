// UTF-8 to UTF-16 into a caller's buffer, for the hook: the password read
// from standard input is converted without any allocation, so no copy of it
// is left behind in freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zefa::host {

constexpr size_t kUtf16Overflow = static_cast<size_t>(-1);

// Converts `size` bytes of UTF-8; malformed sequences, overlong forms,
// surrogates and values above U+10FFFF become U+FFFD. Returns the number of
// code units written, or kUtf16Overflow when they do not fit `capacity`.
size_t Utf8ToUtf16(const uint8_t* in, size_t size, char16_t* out, size_t capacity);

// The same for texts that are not secret.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace zefa::host

#include "history/password_hash.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "platform/characters.h"
#include "platform/digests.h"
#include "platform/digest_context.h"
#include "util/text_util.h"

namespace zefa {

namespace {

// Bytes that are overwritten with zeros when they go out of scope.
struct WipedBytes {
  std::string bytes;
  WipedBytes() = default;
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  ~WipedBytes() {
    if (!bytes.empty()) platform::SecureWipe(bytes.data(), bytes.size());
  }
};

// The UTF-8 form of `text` in `out`, wiping what `out` held before.
// TextToUtf8 sizes its buffer once, so no stray copy of a secret is left in
// memory freed by a growing buffer.
void SecretUtf8(TextView text, std::string& out) {
  if (!out.empty()) platform::SecureWipe(out.data(), out.size());
  out = TextToUtf8(text);
}

platform::DigestAlgorithm AlgorithmOf(TextView algorithm) {
  if (algorithm == ZT("md5")) return platform::kDigestMd5;
  if (algorithm == ZT("sha1")) return platform::kDigestSha1;
  if (algorithm == ZT("sha512")) return platform::kDigestSha512;
  return platform::kDigestSha256;
}

// The two lower-case hexadecimal digits of every byte value.
struct HexPairs {
  char digits[512];
  constexpr HexPairs() : digits() {
    constexpr char kDigits[] = "0123456789abcdef";
    for (int byte = 0; byte < 256; ++byte) {
      digits[2 * byte] = kDigits[byte >> 4];
      digits[2 * byte + 1] = kDigits[byte & 0x0F];
    }
  }
};
constexpr HexPairs kHexPairs;

// The lower-case hexadecimal form of `size` raw bytes into `hex` (room for
// 2 * size characters).
void ToHex(const unsigned char* raw, size_t size, char* hex) {
  for (size_t k = 0; k < size; ++k) std::memcpy(hex + 2 * k, kHexPairs.digits + 2 * raw[k], 2);
}

// The hex digest chain of HashPassword: the digest of the first input, then
// `iterations` rounds over decimal(i) + salt + previous digest. One digest
// context and one input buffer serve every round, so a round allocates
// nothing; the buffers are wiped before returning. Empty when a digest could
// not be computed.
std::string HexDigestChain(platform::DigestAlgorithm algorithm, std::string_view first_input,
                           std::string_view salt_utf8, int64_t iterations) {
  platform::DigestContext* context = platform::OpenDigestContext(algorithm);
  if (context == nullptr) return {};
  unsigned char raw[platform::kMaxDigestBytes];
  // One round's input, decimal(i) + salt + hex digest, built in one buffer
  // (allocated once) and hashed in one piece.
  constexpr size_t kNumberRoom = 24;  // every int64_t
  std::string input(kNumberRoom + salt_utf8.size() + 2 * platform::kMaxDigestBytes, '\0');
  const std::string_view first_parts[] = {first_input};
  size_t size = platform::DigestWith(context, first_parts, 1, raw);
  for (int64_t i = 1; size > 0 && i <= iterations; ++i) {
    char* at = std::to_chars(input.data(), input.data() + kNumberRoom, i).ptr;
    std::memcpy(at, salt_utf8.data(), salt_utf8.size());
    at += salt_utf8.size();
    ToHex(raw, size, at);
    const std::string_view parts[] = {
        std::string_view(input.data(), static_cast<size_t>(at - input.data()) + 2 * size)};
    size = platform::DigestWith(context, parts, 1, raw);
  }
  platform::CloseDigestContext(context);
  std::string result;
  if (size > 0) {
    result.resize(2 * size);
    ToHex(raw, size, result.data());
  }
  platform::SecureWipe(raw, sizeof raw);
  platform::SecureWipe(input.data(), input.size());
  return result;
}

// Standard Base64 with padding of `size` bytes into `out` (sized by the caller).
void EncodeBase64(const unsigned char* in, size_t size, char* out) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = kAlphabet[(group >> 6) & 0x3F];
    *out++ = kAlphabet[group & 0x3F];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const uint32_t group = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0);
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = two ? kAlphabet[(group >> 6) & 0x3F] : '=';
    *out++ = '=';
  }
}

}  // namespace

Text RandomText(size_t length, TextView alphabet) {
  if (length == 0 || alphabet.empty() || alphabet.size() > UINT32_MAX) return {};
  const uint64_t count = alphabet.size();
  // Draws at or above the largest multiple of `count` are rejected, so
  // every character is equally likely.
  const uint64_t limit = (uint64_t{1} << 32) / count * count;
  Text out;
  try {
    out.reserve(length);
  } catch (const std::exception&) {
    return {};
  }
  uint32_t pool[64];
  size_t used = std::size(pool);
  bool failed = false;
  while (out.size() < length) {
    if (used == std::size(pool)) {
      if (!platform::RandomBytes(pool, sizeof pool)) {
        failed = true;
        break;
      }
      used = 0;
    }
    const uint32_t draw = pool[used++];
    if (draw < limit) out.push_back(alphabet[draw % count]);
  }
  platform::SecureWipe(pool, sizeof pool);
  if (failed) WipeText(out);
  return out;
}

Text HashPassword(Text text, TextView algorithm, int64_t iterations, TextView salt) {
  const Text chosen_salt = salt.empty() ? RandomText(kSaltLength, kSaltAlphabet) : Text(salt);
  if (chosen_salt.empty()) {
    WipeText(text);
    return {};
  }

  // The UTF-8 bytes of salt + text, built in buffers that are wiped; the
  // working copy of the text is wiped as soon as it is encoded.
  WipedBytes first_input;
  {
    Text salted;
    salted.reserve(chosen_salt.size() + text.size());
    salted.append(chosen_salt).append(text);
    WipeText(text);
    SecretUtf8(salted, first_input.bytes);
    WipeText(salted);
  }

  const std::string digest = HexDigestChain(AlgorithmOf(algorithm), first_input.bytes,
                                            TextToUtf8(chosen_salt), iterations);
  if (digest.empty()) return {};

  Text result = ZT("$1:");
  result.append(algorithm);
  result += ZT(":") + IntegerToText(iterations) + ZT(":") + chosen_salt + ZT(":");
  result += AsciiToText(digest);
  return result;
}

Text Base64Text(TextView text) {
  WipedBytes utf8;
  SecretUtf8(text, utf8.bytes);
  WipedBytes encoded;
  encoded.bytes.resize(4 * ((utf8.bytes.size() + 2) / 3));
  EncodeBase64(reinterpret_cast<const unsigned char*>(utf8.bytes.data()), utf8.bytes.size(),
               encoded.bytes.data());
  return AsciiToText(encoded.bytes);
}

}  // namespace zefa

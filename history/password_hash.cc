#include "history/password_hash.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <exception>
#include <string>
#include <string_view>

#include "platform/characters.h"
#include "platform/digests.h"
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

// hex = lower-case hexadecimal digest of the concatenated parts.
template <size_t N>
bool HexDigestOf(platform::DigestAlgorithm algorithm, const std::string_view (&parts)[N],
                 std::string& hex) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::string raw = platform::Digest(algorithm, parts, N);
  if (raw.empty()) return false;
  hex.resize(raw.size() * 2);
  for (size_t k = 0; k < raw.size(); ++k) {
    const auto byte = static_cast<unsigned char>(raw[k]);
    hex[2 * k] = kDigits[byte >> 4];
    hex[2 * k + 1] = kDigits[byte & 0x0F];
  }
  return true;
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

  const platform::DigestAlgorithm digest_algorithm = AlgorithmOf(algorithm);
  std::string digest;
  const std::string_view first_parts[] = {first_input.bytes};
  if (!HexDigestOf(digest_algorithm, first_parts, digest)) return {};

  const std::string salt_utf8 = TextToUtf8(chosen_salt);
  char number[24];
  for (int64_t i = 1; i <= iterations; ++i) {
    const auto [end, error] = std::to_chars(std::begin(number), std::end(number), i);
    (void)error;  // 24 characters hold every int64_t
    const std::string_view parts[] = {std::string_view(number, static_cast<size_t>(end - number)),
                                      salt_utf8, digest};
    if (!HexDigestOf(digest_algorithm, parts, digest)) return {};
  }

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

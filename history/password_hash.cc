#include "history/password_hash.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <exception>
#include <string>
#include <string_view>

#include "platform/platform.h"
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

// The UTF-8 form of `text`, encoded exactly as TextToUtf8 does (a lone
// surrogate becomes U+FFFD) but into one allocation made up front, so a
// secret leaves no stray copy in memory freed by a growing buffer.
void SecretUtf8(TextView text, std::string& out) {
  out.clear();
  out.reserve(text.size() * 3);  // a unit takes at most 3 bytes, a pair 4
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint16_t>(text[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() &&
        static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<uint16_t>(text[i + 1]) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
}

const char* DigestName(TextView algorithm) {
  if (algorithm == ZT("md5")) return "MD5";
  if (algorithm == ZT("sha1")) return "SHA1";
  if (algorithm == ZT("sha512")) return "SHA512";
  return "SHA256";
}

// One digest run reusing a fetched algorithm and a context.
struct Digester {
  EVP_MD* md = nullptr;
  EVP_MD_CTX* context = nullptr;
  explicit Digester(const char* name)
      : md(EVP_MD_fetch(nullptr, name, nullptr)), context(EVP_MD_CTX_new()) {}
  Digester(const Digester&) = delete;
  Digester& operator=(const Digester&) = delete;
  ~Digester() {
    EVP_MD_CTX_free(context);  // clears the state that saw the secret
    EVP_MD_free(md);
  }
  bool ready() const { return md != nullptr && context != nullptr; }

  // hex = lower-case hexadecimal digest of the concatenated parts.
  template <size_t N>
  bool HexOf(const std::string_view (&parts)[N], std::string& hex) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (EVP_DigestInit_ex(context, md, nullptr) != 1) return false;
    for (const std::string_view part : parts) {
      if (EVP_DigestUpdate(context, part.data(), part.size()) != 1) return false;
    }
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context, raw, &size) != 1) return false;
    hex.resize(size * 2);
    for (unsigned int k = 0; k < size; ++k) {
      hex[2 * k] = kDigits[raw[k] >> 4];
      hex[2 * k + 1] = kDigits[raw[k] & 0x0F];
    }
    return true;
  }
};

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
      if (RAND_bytes(reinterpret_cast<unsigned char*>(pool), sizeof pool) != 1) {
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

  Digester digester(DigestName(algorithm));
  if (!digester.ready()) return {};
  std::string digest;
  const std::string_view first_parts[] = {first_input.bytes};
  if (!digester.HexOf(first_parts, digest)) return {};

  const std::string salt_utf8 = TextToUtf8(chosen_salt);
  char number[24];
  for (int64_t i = 1; i <= iterations; ++i) {
    const auto [end, error] = std::to_chars(std::begin(number), std::end(number), i);
    (void)error;  // 24 characters hold every int64_t
    const std::string_view parts[] = {std::string_view(number, static_cast<size_t>(end - number)),
                                      salt_utf8, digest};
    if (!digester.HexOf(parts, digest)) return {};
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
  const size_t size = utf8.bytes.size();
  WipedBytes encoded;
  encoded.bytes.resize(4 * ((size + 2) / 3) + 1);  // EVP_EncodeBlock adds a NUL
  // EVP_EncodeBlock takes an int length: encode in pieces of whole 3-byte
  // groups so only the last piece can carry padding.
  constexpr size_t kPiece = size_t{3} << 20;
  size_t read = 0;
  size_t written = 0;
  while (read < size) {
    const size_t piece = std::min(kPiece, size - read);
    const int produced = EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(encoded.bytes.data() + written),
        reinterpret_cast<const unsigned char*>(utf8.bytes.data() + read), static_cast<int>(piece));
    if (produced < 0) return {};
    written += static_cast<size_t>(produced);
    read += piece;
  }
  return AsciiToText(std::string_view(encoded.bytes.data(), written));
}

}  // namespace zefa

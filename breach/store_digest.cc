#include "breach/store_digest.h"

#include "breach/md4.h"
#include "platform/characters.h"
#include "platform/digests.h"

namespace zefa::store {

std::string PasswordDigest(HashKind kind, TextView password) {
  if (kind == HashKind::kNtlm) {
    std::string bytes;
    bytes.reserve(password.size() * 2);
    for (WChar unit : password) {
      bytes.push_back(static_cast<char>(static_cast<uint16_t>(unit) & 0xFF));
      bytes.push_back(static_cast<char>(static_cast<uint16_t>(unit) >> 8));
    }
    std::string digest(16, '\0');
    Md4(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
        reinterpret_cast<unsigned char*>(digest.data()));
    platform::SecureWipe(bytes.data(), bytes.size());
    return digest;
  }
  std::string utf8 = TextToUtf8(password);
  const std::string_view part(utf8);
  std::string digest = platform::Digest(platform::kDigestSha1, &part, 1);
  platform::SecureWipe(utf8.data(), utf8.size());
  return digest;
}

std::optional<uint64_t> PasswordKey(HashKind kind, TextView password) {
  std::string digest = PasswordDigest(kind, password);
  if (digest.size() != HashKindDigestBytes(kind)) return std::nullopt;
  const uint64_t key = KeyOfDigest(reinterpret_cast<const unsigned char*>(digest.data()));
  platform::SecureWipe(digest.data(), digest.size());
  return key;
}

}  // namespace zefa::store

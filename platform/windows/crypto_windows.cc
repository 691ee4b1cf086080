// Digests and random bytes from the system's cryptography (CNG).

#include "platform/windows/win_util.h"

#include <bcrypt.h>

#include "platform/digests.h"
#include <new>

#ifndef BCRYPT_HASH_REUSABLE_FLAG
#define BCRYPT_HASH_REUSABLE_FLAG 0x00000020
#endif

#include "platform/digest_context.h"

namespace zefa::platform {

namespace {

const wchar_t* AlgorithmName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case kDigestMd5:
      return BCRYPT_MD5_ALGORITHM;
    case kDigestSha1:
      return BCRYPT_SHA1_ALGORITHM;
    case kDigestSha256:
      return BCRYPT_SHA256_ALGORITHM;
    case kDigestSha512:
      return BCRYPT_SHA512_ALGORITHM;
  }
  return nullptr;
}

// One provider per algorithm for the life of the process; providers may be
// shared between threads.
BCRYPT_ALG_HANDLE Provider(DigestAlgorithm algorithm) {
  static BCRYPT_ALG_HANDLE providers[4] = {};
  static INIT_ONCE once[4] = {INIT_ONCE_STATIC_INIT, INIT_ONCE_STATIC_INIT, INIT_ONCE_STATIC_INIT,
                              INIT_ONCE_STATIC_INIT};
  const int index = static_cast<int>(algorithm);
  if (index < 0 || index > 3) return nullptr;
  InitOnceExecuteOnce(
      &once[index],
      [](PINIT_ONCE, PVOID parameter, PVOID*) -> BOOL {
        const int i = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (BCryptOpenAlgorithmProvider(&handle, AlgorithmName(static_cast<DigestAlgorithm>(i)),
                                        nullptr, 0) >= 0) {
          providers[i] = handle;
        }
        return TRUE;
      },
      reinterpret_cast<PVOID>(static_cast<INT_PTR>(index)), nullptr);
  return providers[index];
}

}  // namespace

std::string Digest(DigestAlgorithm algorithm, const std::string_view* parts, size_t count) {
  const BCRYPT_ALG_HANDLE provider = Provider(algorithm);
  if (provider == nullptr) return std::string();
  DWORD length = 0, got = 0;
  if (BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length),
                        sizeof length, &got, 0) < 0 ||
      length == 0 || length > 64) {
    return std::string();
  }
  // The hash object lives in memory the system allocates and clears.
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) < 0) return std::string();
  bool ok = true;
  for (size_t i = 0; ok && i < count; ++i) {
    std::string_view part = parts[i];
    while (ok && !part.empty()) {
      const ULONG chunk = part.size() > 0x40000000 ? 0x40000000 : static_cast<ULONG>(part.size());
      ok = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(part.data())), chunk,
                          0) >= 0;
      part.remove_prefix(chunk);
    }
  }
  std::string digest(length, '\0');
  ok = ok && BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), length, 0) >= 0;
  BCryptDestroyHash(hash);
  if (!ok) return std::string();
  return digest;
}

struct DigestContext {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ULONG length = 0;
};

DigestContext* OpenDigestContext(DigestAlgorithm algorithm) {
  const BCRYPT_ALG_HANDLE provider = Provider(algorithm);
  if (provider == nullptr) return nullptr;
  DWORD length = 0, got = 0;
  if (BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length),
                        sizeof length, &got, 0) < 0 ||
      length == 0 || length > kMaxDigestBytes) {
    return nullptr;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  // A reusable hash object starts over after each BCryptFinishHash.
  if (BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG) < 0)
    return nullptr;
  auto* digest = new (std::nothrow) DigestContext{hash, length};
  if (digest == nullptr) BCryptDestroyHash(hash);
  return digest;
}

size_t DigestWith(DigestContext* digest, const std::string_view* parts, size_t count,
                  unsigned char* out) {
  if (digest == nullptr) return 0;
  bool ok = true;
  for (size_t i = 0; ok && i < count; ++i) {
    std::string_view part = parts[i];
    while (ok && !part.empty()) {
      const ULONG chunk = part.size() > 0x40000000 ? 0x40000000 : static_cast<ULONG>(part.size());
      ok = BCryptHashData(digest->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(part.data())),
                          chunk, 0) >= 0;
      part.remove_prefix(chunk);
    }
  }
  // Finishing also resets the object, so a failed round leaves no input behind.
  const bool finished = BCryptFinishHash(digest->hash, out, digest->length, 0) >= 0;
  return ok && finished ? digest->length : 0;
}

void CloseDigestContext(DigestContext* digest) {
  if (digest == nullptr) return;
  BCryptDestroyHash(digest->hash);
  delete digest;
}

bool RandomBytes(void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    if (BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace zefa::platform

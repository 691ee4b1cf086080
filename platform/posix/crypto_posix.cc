// Digests and random bytes from OpenSSL's libcrypto.

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <new>

#include "platform/digests.h"
#include "platform/digest_context.h"

namespace zefa::platform {

namespace {

const char* AlgorithmName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case kDigestMd5:
      return "MD5";
    case kDigestSha1:
      return "SHA1";
    case kDigestSha256:
      return "SHA256";
    case kDigestSha512:
      return "SHA512";
  }
  return nullptr;
}

// Each algorithm is fetched once for the process; fetched algorithms may be
// shared between threads.
const EVP_MD* Algorithm(DigestAlgorithm algorithm) {
  static EVP_MD* const fetched[4] = {
      EVP_MD_fetch(nullptr, "MD5", nullptr), EVP_MD_fetch(nullptr, "SHA1", nullptr),
      EVP_MD_fetch(nullptr, "SHA256", nullptr), EVP_MD_fetch(nullptr, "SHA512", nullptr)};
  const int index = static_cast<int>(algorithm);
  if (index < 0 || index > 3 || AlgorithmName(algorithm) == nullptr) return nullptr;
  return fetched[index];
}

// One digest context per thread, reused by every call on that thread (an
// iterated hash makes thousands of calls).
struct ThreadContext {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~ThreadContext() { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string Digest(DigestAlgorithm algorithm, const std::string_view* parts, size_t count) {
  const EVP_MD* md = Algorithm(algorithm);
  thread_local ThreadContext thread_context;
  EVP_MD_CTX* context = thread_context.context;
  if (md == nullptr || context == nullptr || EVP_DigestInit_ex(context, md, nullptr) != 1) {
    return std::string();
  }
  bool ok = true;
  for (size_t i = 0; ok && i < count; ++i) {
    ok = EVP_DigestUpdate(context, parts[i].data(), parts[i].size()) == 1;
  }
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(context, raw, &size) == 1;
  // Starting over clears the state that saw the input and keeps the
  // provider's context for the next call (a reset would free it, and the
  // next call allocate a new one).
  if (EVP_DigestInit_ex(context, md, nullptr) != 1) EVP_MD_CTX_reset(context);
  if (!ok) return std::string();
  return std::string(reinterpret_cast<const char*>(raw), size);
}

struct DigestContext {
  const EVP_MD* md = nullptr;
  EVP_MD_CTX* context = nullptr;
};

DigestContext* OpenDigestContext(DigestAlgorithm algorithm) {
  const EVP_MD* md = Algorithm(algorithm);
  if (md == nullptr) return nullptr;
  auto* digest = new (std::nothrow) DigestContext{md, EVP_MD_CTX_new()};
  if (digest == nullptr) return nullptr;
  if (digest->context == nullptr) {
    delete digest;
    return nullptr;
  }
  return digest;
}

size_t DigestWith(DigestContext* digest, const std::string_view* parts, size_t count,
                  unsigned char* out) {
  // Initialising again with the same algorithm keeps the provider's state
  // object, so no round allocates.
  if (digest == nullptr || EVP_DigestInit_ex(digest->context, digest->md, nullptr) != 1) return 0;
  for (size_t i = 0; i < count; ++i) {
    if (EVP_DigestUpdate(digest->context, parts[i].data(), parts[i].size()) != 1) return 0;
  }
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(digest->context, out, &size) != 1) return 0;
  return size;
}

void CloseDigestContext(DigestContext* digest) {
  if (digest == nullptr) return;
  EVP_MD_CTX_free(digest->context);  // clears the provider's state
  delete digest;
}

bool RandomBytes(void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (RAND_bytes(bytes, chunk) != 1) return false;
    bytes += chunk;
    size -= static_cast<size_t>(chunk);
  }
  return true;
}

}  // namespace zefa::platform

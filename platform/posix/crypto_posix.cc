// Digests and random bytes from OpenSSL's libcrypto.

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "platform/digests.h"

namespace zefa::platform {

namespace {

const char* AlgorithmName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case kDigestMd5: return "MD5";
    case kDigestSha1: return "SHA1";
    case kDigestSha256: return "SHA256";
    case kDigestSha512: return "SHA512";
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
  EVP_MD_CTX_reset(context);  // clears the state that saw the input
  if (!ok) return std::string();
  return std::string(reinterpret_cast<const char*>(raw), size);
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

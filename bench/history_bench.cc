// History hashing. BM_HashPassword: one whole history hash (the first digest
// and 1000 iterations over decimal(i) + salt + previous hex digest, about 84
// bytes each), paid twice per password change and twice per filtered
// password with NoSimilarity. BM_Sha256Floor: the same 1,001 SHA-256 digests
// of an 84-byte input on one reused context and nothing else, the least any
// implementation of the hash can cost; BM_HashPassword/sha256 is measured
// against it.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>

#include "history/history_file.h"
#include "history/password_hash.h"

namespace {

void BM_HashPassword(benchmark::State& state, zefa::TextView algorithm) {
  const zefa::Text salt = zefa::RandomText(zefa::kSaltLength, zefa::kSaltAlphabet);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        zefa::HashPassword(ZT("Correct-Horse-9"), algorithm, zefa::kHistoryIterations, salt));
  }
}
BENCHMARK_CAPTURE(BM_HashPassword, sha256, zefa::kHistoryAlgorithm)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_HashPassword, sha512, ZT("sha512"))->Unit(benchmark::kMicrosecond);

void BM_Sha256Floor(benchmark::State& state) {
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  unsigned char input[84];
  std::memset(input, 'a', sizeof input);
  unsigned char out[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    for (int i = 0; i <= zefa::kHistoryIterations; ++i) {
      unsigned int size = 0;
      EVP_DigestInit_ex(context, md, nullptr);
      EVP_DigestUpdate(context, input, sizeof input);
      EVP_DigestFinal_ex(context, out, &size);
      input[0] = out[0];
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(context);
  EVP_MD_free(md);
}
BENCHMARK(BM_Sha256Floor)->Unit(benchmark::kMicrosecond);

}  // namespace

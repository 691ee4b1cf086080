// The cost of one history hash (1000 extra iterations), paid twice per
// password change and twice per filtered password with NoSimilarity.
#include <benchmark/benchmark.h>

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

}  // namespace

// SHA-256: one handle-sized digest (three pieces, 88 bytes: two blocks) and
// 64 KiB in one piece, with the portable compression and with the CPU's SHA
// instructions (skipped where the CPU has none).
#include <benchmark/benchmark.h>

#include <string>

#include "util/sha256.h"

namespace {

void run(benchmark::State& state, nfss_sha_compress_fn fn, size_t len) {
  if (fn == nullptr) {
    state.SkipWithError("this CPU has no SHA instructions");
    return;
  }
  std::string msg(len, 'x');
  unsigned char d[32] = {};
  for (auto _ : state) {
    sha256_ctx c;
    nfss_sha_init(&c);
    msg[0] = static_cast<char>(d[0]);
    // A handle's digest is absorbed in pieces: secret, fixed fields, path.
    const size_t a = len < 48 ? len : 32, b = len < 48 ? 0 : 16;
    nfss_sha_update_with(fn, &c, msg.data(), a);
    nfss_sha_update_with(fn, &c, msg.data() + a, b);
    nfss_sha_update_with(fn, &c, msg.data() + a + b, len - a - b);
    nfss_sha_final_with(fn, &c, d);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}

void BM_ShaHandlePortable(benchmark::State& s) { run(s, nfss_sha_portable(), 88); }
void BM_ShaHandleCpu(benchmark::State& s) { run(s, nfss_sha_cpu(), 88); }
void BM_Sha64KPortable(benchmark::State& s) { run(s, nfss_sha_portable(), 65536); }
void BM_Sha64KCpu(benchmark::State& s) { run(s, nfss_sha_cpu(), 65536); }

BENCHMARK(BM_ShaHandlePortable);
BENCHMARK(BM_ShaHandleCpu);
BENCHMARK(BM_Sha64KPortable);
BENCHMARK(BM_Sha64KCpu);

}  // namespace

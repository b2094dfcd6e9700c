// Throughput of the hot paths: bundle decryption, the buffer CRC and the file
// CRC. Run build/zor_bench; figures are MB/s (bytes_per_second).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "aes.h"
#include "crc32.h"

namespace {

const size_t kMiB = 1 << 20;

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  return v;
}

void BM_AesCbcDecrypt16MiB(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(16 * kMiB);
  const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t iv[16] = {};
  for (auto _ : state) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, key, iv);
    AES_CBC_decrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_AesCbcDecrypt16MiB)->Unit(benchmark::kMillisecond);

void BM_AesCbcEncrypt16MiB(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(16 * kMiB);
  const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t iv[16] = {};
  for (auto _ : state) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, key, iv);
    AES_CBC_encrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_AesCbcEncrypt16MiB)->Unit(benchmark::kMillisecond);

void BM_BufCrc16MiB(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(16 * kMiB);
  for (auto _ : state) benchmark::DoNotOptimize(calc_buf_crc(buf.data(), static_cast<uint32_t>(buf.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_BufCrc16MiB)->Unit(benchmark::kMillisecond);

void BM_FileCrc64MiB(benchmark::State& state) {
  char path[] = "/tmp/zor_bench_crc.XXXXXX";
  int fd = mkstemp(path);
  std::vector<uint8_t> buf = pattern(64 * kMiB);
  if (fd < 0 || write(fd, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) {
    state.SkipWithError("cannot write the 64 MiB file");
    return;
  }
  close(fd);
  for (auto _ : state) benchmark::DoNotOptimize(calc_img_crc(path, 0, 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
  unlink(path);
}
BENCHMARK(BM_FileCrc64MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

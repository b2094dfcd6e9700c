// What the implementations of AES and CRC share, for the code of each path,
// the tests and the benchmark; not installed. The CPU's features, the list
// of paths each operation has on this CPU, and what the CRC's hardware paths
// borrow from its portable code.
#ifndef ZOR_CRYPTO_PATHS_H_
#define ZOR_CRYPTO_PATHS_H_

#include <cstddef>
#include <cstdint>

#include "aes.h"
#include "crc32.h"

// What this CPU can run beyond plain x86-64, from CPUID and, for the wide
// registers, what the operating system saves (XGETBV); all false elsewhere.
struct zor_cpu_features {
  bool aes;         // AES-NI and SSE4.1
  bool pclmul;      // PCLMULQDQ and SSE4.1
  bool avx512;      // AVX-512 F, its registers saved by the operating system
  bool vaes;        // AES-NI on 512-bit registers (with avx512)
  bool vpclmulqdq;  // PCLMULQDQ on 512-bit registers (with avx512)
  bool sha;         // SHA-NI (SHA-256 rounds) and SSE4.1
};
const zor_cpu_features& zor_cpu();

// The implementations of an operation: the portable one first, then those
// `hardware` finds this CPU can run, best last.
template <typename Path>
struct zor_paths {
  Path list[4];
  size_t count;
};
template <typename Path>
zor_paths<Path> zor_gather_paths(const Path& portable, size_t (*hardware)(Path* out, size_t max)) {
  zor_paths<Path> paths{};
  paths.list[0] = portable;
  paths.count = 1 + hardware(paths.list + 1, 3);
  return paths;
}

// The implementations behind crc32(): the portable code first, then each
// one this CPU can run (PCLMULQDQ, then VPCLMULQDQ); crc32() uses the last.
struct crc32_path {
  const char* name;
  uint32_t (*update)(uint32_t crc, const void* data, uint32_t length);
};
const crc32_path* crc32_paths(size_t* count);

// The hardware paths this CPU can run (none on another architecture), best
// last, and what they share with the portable code: its table walk for the
// bytes after the last whole 16, and the folding constants it derives from
// the polynomial (lane moves of 512 and 128 bits, 64 to 32 bits, Barrett's
// mu and P, and the 2048-bit move of the 512-bit registers).
size_t crc32_hardware_paths(crc32_path* out, size_t max);
uint32_t crc32_portable_tail(uint32_t crc, const uint8_t* data, uint32_t length);
struct crc32_fold_constants {
  uint64_t k1, k2, k3, k4, k5, mu, poly, k2048_lo, k2048_hi;
};
extern const crc32_fold_constants kCrc32Fold;

// The implementations behind the AES modes: the portable code first, then
// each one this CPU can run (AES-NI, then VAES); the modes use the last. All
// share the context layout of aes.h (encryption round keys only; a path that
// needs decryption keys derives them per call).
struct aes_path {
  const char* name;
  void (*ecb_encrypt)(const AES_ctx* ctx, uint8_t* block);
  void (*ecb_decrypt)(const AES_ctx* ctx, uint8_t* block);
  void (*cbc_encrypt)(AES_ctx* ctx, uint8_t* buf, uint32_t length);
  void (*cbc_decrypt)(AES_ctx* ctx, uint8_t* buf, uint32_t length);
  void (*ctr_xcrypt)(AES_ctx* ctx, uint8_t* buf, uint32_t length);
};
const aes_path* aes_paths(size_t* count);

// The hardware paths this CPU can run (none on another architecture), best
// last; the portable one is aes_paths' first.
size_t aes_hardware_paths(aes_path* out, size_t max);

// SHA-256's round constants (FIPS 180-4 4.2.2), for both compressions.
extern const uint32_t kSha256K[64];

#endif  // ZOR_CRYPTO_PATHS_H_

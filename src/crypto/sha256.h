// SHA-256 (FIPS 180-4), streaming: the portable compression, and SHA-NI
// where the CPU has it (the same digests, chosen once at run time).
//
// Result codes: none; every function succeeds.
#ifndef ZOR_SHA256_H_
#define ZOR_SHA256_H_

#include <cstddef>
#include <cstdint>

const size_t kSha256Bytes = 32;

struct sha256_ctx {
  uint32_t h[8];
  uint64_t length;      // bytes hashed so far
  uint8_t block[64];    // a partial block
  size_t used;          // bytes of it filled
};

// FIPS 180-4 5.3.3: the initial hash value.
void sha256_init(sha256_ctx* ctx);
// Hashes `size` bytes of `data` after what came before.
void sha256_update(sha256_ctx* ctx, const void* data, size_t size);
// FIPS 180-4 5.1.1 padding, then the digest into `out`; ctx is spent.
void sha256_final(sha256_ctx* ctx, uint8_t out[kSha256Bytes]);

// The compression of `blocks` whole 64-byte blocks into h: the portable
// one, and SHA-NI's (null when this CPU has none). For the tests and the
// benchmark; sha256_update uses the best.
void sha256_blocks_portable(uint32_t h[8], const uint8_t* data, size_t blocks);
using sha256_blocks_fn = void (*)(uint32_t h[8], const uint8_t* data, size_t blocks);
sha256_blocks_fn sha256_blocks_hardware();

#endif  // ZOR_SHA256_H_

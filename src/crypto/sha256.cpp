#include "sha256.h"

#include <cstring>

#include "crypto_paths.h"

// FIPS 180-4 4.2.2: the round constants.
const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

inline uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }
inline uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

sha256_blocks_fn best_blocks() {
  static const sha256_blocks_fn best = [] {
    sha256_blocks_fn hw = sha256_blocks_hardware();
    return hw != nullptr ? hw : sha256_blocks_portable;
  }();
  return best;
}

}  // namespace

// FIPS 180-4 6.2.2: the message schedule and the 64 rounds, per block.
void sha256_blocks_portable(uint32_t h[8], const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; ++t) {
      uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[t] + w[t];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  }
}

void sha256_init(sha256_ctx* ctx) {
  static const uint32_t kH0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(ctx->h, kH0, sizeof kH0);
  ctx->length = 0;
  ctx->used = 0;
}

void sha256_update(sha256_ctx* ctx, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  ctx->length += size;
  if (ctx->used > 0) {
    size_t take = size < 64 - ctx->used ? size : 64 - ctx->used;
    memcpy(ctx->block + ctx->used, p, take);
    ctx->used += take, p += take, size -= take;
    if (ctx->used < 64) return;
    best_blocks()(ctx->h, ctx->block, 1);
    ctx->used = 0;
  }
  if (size >= 64) best_blocks()(ctx->h, p, size / 64);
  p += size / 64 * 64, size %= 64;
  memcpy(ctx->block, p, size);
  ctx->used = size;
}

void sha256_final(sha256_ctx* ctx, uint8_t out[kSha256Bytes]) {
  uint64_t bits = ctx->length * 8;
  uint8_t pad[72] = {0x80};
  size_t pad_len = (ctx->used < 56 ? 56 : 120) - ctx->used;
  for (int i = 0; i < 8; ++i) pad[pad_len + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  uint64_t length = ctx->length;
  sha256_update(ctx, pad, pad_len + 8);
  ctx->length = length;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(ctx->h[i] >> (24 - 8 * j));
}

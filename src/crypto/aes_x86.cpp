// The AES paths on x86-64 instructions: AES-NI (one block at a time where
// the mode chains, 8 at a time where it does not) and VAES on AVX-512 (16
// at a time). Compiled with function target attributes, so the program runs
// on any x86-64 and uses them only where the CPU has them. The context keeps
// the encryption round keys; decryption derives its keys per call (9 AESIMC).
#include "aes.h"

#if defined(__x86_64__)

// GCC 12 takes the deliberately undefined upper lanes inside its own AVX-512
// intrinsics (_mm512_undefined_*) for uninitialised values.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#include "crypto_paths.h"

#define AESNI __attribute__((target("aes,sse4.1")))
#define VAES __attribute__((target("aes,sse4.1,avx512f,vaes")))

namespace {

const int kRounds = 10;

AESNI inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
AESNI inline void store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

AESNI void encryption_keys(const AES_ctx* ctx, __m128i* k) {
  for (int r = 0; r <= kRounds; ++r) k[r] = load(ctx->round_keys + 16 * r);
}

// The keys of the equivalent inverse cipher (FIPS-197 5.3.5): the encryption
// keys in reverse, the inner ones through InvMixColumns.
AESNI void decryption_keys(const AES_ctx* ctx, __m128i* k) {
  k[0] = load(ctx->round_keys + 16 * kRounds);
  for (int r = 1; r < kRounds; ++r) k[r] = _mm_aesimc_si128(load(ctx->round_keys + 16 * (kRounds - r)));
  k[kRounds] = load(ctx->round_keys);
}

AESNI inline __m128i Cipher(__m128i b, const __m128i* k) {
  b = _mm_xor_si128(b, k[0]);
  for (int r = 1; r < kRounds; ++r) b = _mm_aesenc_si128(b, k[r]);
  return _mm_aesenclast_si128(b, k[kRounds]);
}

AESNI inline __m128i InvCipher(__m128i b, const __m128i* k) {
  b = _mm_xor_si128(b, k[0]);
  for (int r = 1; r < kRounds; ++r) b = _mm_aesdec_si128(b, k[r]);
  return _mm_aesdeclast_si128(b, k[kRounds]);
}

// The CTR counter: the 16-byte block as a 128-bit big-endian number.
struct counter {
  uint64_t hi, lo;
};

counter load_counter(const uint8_t* block) {
  uint64_t hi, lo;
  memcpy(&hi, block, 8);
  memcpy(&lo, block + 8, 8);
  return {__builtin_bswap64(hi), __builtin_bswap64(lo)};
}

void store_counter(uint8_t* block, counter c) {
  uint64_t hi = __builtin_bswap64(c.hi), lo = __builtin_bswap64(c.lo);
  memcpy(block, &hi, 8);
  memcpy(block + 8, &lo, 8);
}

// The counter's block as it is now, then the counter advanced by one.
AESNI inline __m128i next_counter_block(counter* c) {
  __m128i block = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(c->lo)),
                                 static_cast<long long>(__builtin_bswap64(c->hi)));
  if (++c->lo == 0) ++c->hi;
  return block;
}

// Eight blocks through rounds 1 to 9 side by side: each round's latency is
// hidden behind the other blocks.
AESNI inline void middle_rounds8(__m128i* b, const __m128i* k, bool decrypt) {
  for (int r = 1; r < kRounds; ++r)
    for (int j = 0; j < 8; ++j) b[j] = decrypt ? _mm_aesdec_si128(b[j], k[r]) : _mm_aesenc_si128(b[j], k[r]);
}

AESNI void aesni_ecb_encrypt(const AES_ctx* ctx, uint8_t* block) {
  __m128i k[kRounds + 1];
  encryption_keys(ctx, k);
  store(block, Cipher(load(block), k));
}

AESNI void aesni_ecb_decrypt(const AES_ctx* ctx, uint8_t* block) {
  __m128i k[kRounds + 1];
  decryption_keys(ctx, k);
  store(block, InvCipher(load(block), k));
}

// Each block chains on the one before: one at a time.
AESNI void aesni_cbc_encrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  __m128i k[kRounds + 1];
  encryption_keys(ctx, k);
  __m128i chain = load(ctx->iv_block);
  for (uint32_t i = 0; i + 16 <= length; i += 16) {
    chain = Cipher(_mm_xor_si128(load(buf + i), chain), k);
    store(buf + i, chain);
  }
  store(ctx->iv_block, chain);
}

// Decryption does not chain: 8 blocks go through the rounds side by side.
// The blocks are stored last to first, so each XORs the ciphertext before it
// from memory, where it still is; only the next chain is kept aside.
AESNI void aesni_cbc_decrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  __m128i k[kRounds + 1];
  decryption_keys(ctx, k);
  __m128i chain = load(ctx->iv_block);
  uint32_t i = 0;
  for (; i + 128 <= length; i += 128) {
    uint8_t* b = buf + i;
    __m128i p[8];
    for (int j = 0; j < 8; ++j) p[j] = _mm_xor_si128(load(b + 16 * j), k[0]);
    middle_rounds8(p, k, true);
    __m128i next_chain = load(b + 112);
    for (int j = 7; j > 0; --j)
      store(b + 16 * j, _mm_xor_si128(_mm_aesdeclast_si128(p[j], k[kRounds]), load(b + 16 * (j - 1))));
    store(b, _mm_xor_si128(_mm_aesdeclast_si128(p[0], k[kRounds]), chain));
    chain = next_chain;
  }
  for (; i + 16 <= length; i += 16) {
    __m128i c = load(buf + i);
    store(buf + i, _mm_xor_si128(InvCipher(c, k), chain));
    chain = c;
  }
  store(ctx->iv_block, chain);
}

// The keystream of whole blocks, 8 at a time; a last partial block uses a
// whole keystream block, whose rest is discarded.
AESNI void aesni_ctr_xcrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  __m128i k[kRounds + 1];
  encryption_keys(ctx, k);
  counter c = load_counter(ctx->iv_block);
  uint32_t i = 0;
  for (; i + 128 <= length; i += 128) {
    __m128i s[8];
    for (int j = 0; j < 8; ++j) s[j] = _mm_xor_si128(next_counter_block(&c), k[0]);
    middle_rounds8(s, k, false);
    for (int j = 0; j < 8; ++j)
      store(buf + i + 16 * j, _mm_xor_si128(load(buf + i + 16 * j), _mm_aesenclast_si128(s[j], k[kRounds])));
  }
  for (; i + 16 <= length; i += 16) store(buf + i, _mm_xor_si128(load(buf + i), Cipher(next_counter_block(&c), k)));
  if (i < length) {
    uint8_t keystream[16];
    store(keystream, Cipher(next_counter_block(&c), k));
    for (uint32_t j = 0; i + j < length; ++j) buf[i + j] ^= keystream[j];
  }
  store_counter(ctx->iv_block, c);
}

const aes_path kAesNi = {"aes-ni", aesni_ecb_encrypt, aesni_ecb_decrypt, aesni_cbc_encrypt, aesni_cbc_decrypt,
                         aesni_ctr_xcrypt};

// VAES: four blocks in each 512-bit register, four registers side by side.

VAES inline __m512i wide(__m128i key) { return _mm512_broadcast_i32x4(key); }
VAES inline __m512i load4(const uint8_t* p) { return _mm512_loadu_si512(p); }
VAES inline void store4(uint8_t* p, __m512i v) { _mm512_storeu_si512(p, v); }

// CBC decryption, 16 blocks at a time. Block b is XORed with ciphertext
// b - 1: per register, its own blocks shifted up one lane, the lowest lane
// taken from the top lane of the register before it (valignq).
VAES void vaes_cbc_decrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  __m128i k128[kRounds + 1];
  decryption_keys(ctx, k128);
  __m512i k[kRounds + 1];
  for (int r = 0; r <= kRounds; ++r) k[r] = wide(k128[r]);
  __m512i before = wide(load(ctx->iv_block));  // its top lane chains the first block
  uint32_t i = 0;
  for (; i + 256 <= length; i += 256) {
    __m512i c[4], p[4];
    for (int j = 0; j < 4; ++j) {
      c[j] = load4(buf + i + 64 * j);
      p[j] = _mm512_xor_si512(c[j], k[0]);
    }
    for (int r = 1; r < kRounds; ++r)
      for (int j = 0; j < 4; ++j) p[j] = _mm512_aesdec_epi128(p[j], k[r]);
    for (int j = 0; j < 4; ++j) {
      __m512i previous = _mm512_alignr_epi64(c[j], j == 0 ? before : c[j - 1], 6);
      store4(buf + i + 64 * j, _mm512_xor_si512(_mm512_aesdeclast_epi128(p[j], k[kRounds]), previous));
    }
    before = c[3];
  }
  if (i > 0) store(ctx->iv_block, _mm512_extracti32x4_epi32(before, 3));
  aesni_cbc_decrypt(ctx, buf + i, length - i);
}

// CTR, 16 blocks at a time: the counter blocks are made one by one (cheap
// next to the rounds) and encrypted four to a register.
VAES void vaes_ctr_xcrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  __m128i k128[kRounds + 1];
  encryption_keys(ctx, k128);
  __m512i k[kRounds + 1];
  for (int r = 0; r <= kRounds; ++r) k[r] = wide(k128[r]);
  counter c = load_counter(ctx->iv_block);
  uint32_t i = 0;
  for (; i + 256 <= length; i += 256) {
    alignas(64) uint8_t blocks[256];
    for (int j = 0; j < 16; ++j) store(blocks + 16 * j, next_counter_block(&c));
    __m512i s[4];
    for (int j = 0; j < 4; ++j) s[j] = _mm512_xor_si512(load4(blocks + 64 * j), k[0]);
    for (int r = 1; r < kRounds; ++r)
      for (int j = 0; j < 4; ++j) s[j] = _mm512_aesenc_epi128(s[j], k[r]);
    for (int j = 0; j < 4; ++j)
      store4(buf + i + 64 * j,
             _mm512_xor_si512(load4(buf + i + 64 * j), _mm512_aesenclast_epi128(s[j], k[kRounds])));
  }
  store_counter(ctx->iv_block, c);
  aesni_ctr_xcrypt(ctx, buf + i, length - i);
}

const aes_path kVaes = {"vaes", aesni_ecb_encrypt, aesni_ecb_decrypt, aesni_cbc_encrypt, vaes_cbc_decrypt,
                        vaes_ctr_xcrypt};

}  // namespace

size_t aes_hardware_paths(aes_path* out, size_t max) {
  size_t n = 0;
  if (zor_cpu().aes && n < max) out[n++] = kAesNi;
  if (zor_cpu().vaes && n < max) out[n++] = kVaes;
  return n;
}

#else

size_t aes_hardware_paths(aes_path*, size_t) { return 0; }

#endif

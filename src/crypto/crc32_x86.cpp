// The CRC paths on x86-64 carry-less multiplication: 128-bit lanes of the
// data folded forward onto the lanes that follow them (PCLMULQDQ, four lanes
// of 64 bytes at a time; VPCLMULQDQ, sixteen lanes of 256 bytes), then one
// lane reduced to the 32-bit register by Barrett reduction. Compiled with
// function target attributes, so the program runs on any x86-64.
#include "crc32.h"

#if defined(__x86_64__)

// GCC 12 takes the deliberately undefined upper lanes inside its own AVX-512
// intrinsics (_mm512_undefined_*) for uninitialised values.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include "crypto_paths.h"

#define PCLMUL __attribute__((target("pclmul,sse4.1")))
#define VPCLMUL __attribute__((target("pclmul,sse4.1,avx512f,vpclmulqdq")))

namespace {

PCLMUL inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// A 128-bit pair of constants, `high` in the upper half.
PCLMUL inline __m128i pair(uint64_t high, uint64_t low) {
  return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// A lane moved on by the distance of `k` (its low half x^(d+32), its high
// half x^(d-32)) and added to the lane it lands on.
PCLMUL inline __m128i fold(__m128i lane, __m128i k, __m128i onto) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11)),
                       onto);
}

// Goes on from four lanes holding the 64 bytes before `p`: folds the next
// whole 64-byte blocks into them, the four into one, the whole 16-byte
// blocks left into that, and reduces it. Returns the register after the
// last whole 16 bytes of `length`.
PCLMUL uint32_t fold_and_reduce(__m128i x0, __m128i x1, __m128i x2, __m128i x3, const uint8_t* p, size_t length) {
  const crc32_fold_constants& c = kCrc32Fold;
  const __m128i by512 = pair(c.k2, c.k1);
  for (; length >= 64; p += 64, length -= 64) {
    x0 = fold(x0, by512, load(p));
    x1 = fold(x1, by512, load(p + 16));
    x2 = fold(x2, by512, load(p + 32));
    x3 = fold(x3, by512, load(p + 48));
  }
  const __m128i by128 = pair(c.k4, c.k3);
  x0 = fold(fold(fold(x0, by128, x1), by128, x2), by128, x3);
  for (; length >= 16; p += 16, length -= 16) x0 = fold(x0, by128, load(p));
  // 128 bits to 64, with 32 zero bits appended; then 64 to 32 (Barrett).
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(by128, x0, 0x01));
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 4),
                     _mm_clmulepi64_si128(_mm_and_si128(x0, low32), pair(0, c.k5), 0));
  const __m128i barrett = pair(c.mu, c.poly);
  __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10), low32);
  t = _mm_clmulepi64_si128(t, barrett, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(t, x0), 1));
}

PCLMUL uint32_t pclmul_crc32(uint32_t crc, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length < 64) return crc32_portable_tail(crc, p, length);
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  uint32_t folded = length & ~15u;
  crc = fold_and_reduce(x0, load(p + 16), load(p + 32), load(p + 48), p + 64, folded - 64);
  return crc32_portable_tail(crc, p + folded, length - folded);
}

// fold() on four lanes at once.
VPCLMUL inline __m512i fold4(__m512i lanes, __m512i k, __m512i onto) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x00), _mm512_clmulepi64_epi128(lanes, k, 0x11),
                                   onto, 0x96);  // a ^ b ^ c
}

// Sixteen lanes in four 512-bit registers move on 2048 bits at a time; then
// the registers fold into the last one, whose four lanes are the 64 bytes
// fold_and_reduce goes on from.
VPCLMUL uint32_t vpclmul_crc32(uint32_t crc, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length < 512) return pclmul_crc32(crc, data, length);
  const crc32_fold_constants& c = kCrc32Fold;
  __m512i z[4];
  for (int j = 0; j < 4; ++j) z[j] = _mm512_loadu_si512(p + 64 * j);
  z[0] = _mm512_xor_si512(z[0], _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
  const __m512i by2048 = _mm512_broadcast_i32x4(pair(c.k2048_hi, c.k2048_lo));
  const uint8_t* at = p + 256;
  uint32_t left = length - 256;
  for (; left >= 256; at += 256, left -= 256)
    for (int j = 0; j < 4; ++j) z[j] = fold4(z[j], by2048, _mm512_loadu_si512(at + 64 * j));
  const __m512i by512 = _mm512_broadcast_i32x4(pair(c.k2, c.k1));
  __m512i last = fold4(fold4(fold4(z[0], by512, z[1]), by512, z[2]), by512, z[3]);
  uint32_t folded = left & ~15u;
  crc = fold_and_reduce(_mm512_extracti32x4_epi32(last, 0), _mm512_extracti32x4_epi32(last, 1),
                        _mm512_extracti32x4_epi32(last, 2), _mm512_extracti32x4_epi32(last, 3), at, folded);
  return crc32_portable_tail(crc, at + folded, left - folded);
}

const crc32_path kPclmul = {"pclmulqdq", pclmul_crc32};
const crc32_path kVpclmul = {"vpclmulqdq", vpclmul_crc32};

}  // namespace

size_t crc32_hardware_paths(crc32_path* out, size_t max) {
  size_t n = 0;
  if (zor_cpu().pclmul && n < max) out[n++] = kPclmul;
  if (zor_cpu().vpclmulqdq && n < max) out[n++] = kVpclmul;
  return n;
}

#else

size_t crc32_hardware_paths(crc32_path*, size_t) { return 0; }

#endif

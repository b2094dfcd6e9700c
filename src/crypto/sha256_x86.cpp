// SHA-256 on x86-64 SHA-NI: the state kept as the two lanes the round
// instruction takes (ABEF, CDGH), two rounds per SHA256RNDS2, the message
// schedule four words at a time (SHA256MSG1, an add of W[t-7], SHA256MSG2).
// Compiled with function target attributes, so the program runs on any
// x86-64.
#include "sha256.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "crypto_paths.h"

#define SHANI __attribute__((target("sha,sse4.1,ssse3")))

namespace {

SHANI void sha256_blocks_shani(uint32_t h[8], const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // h as DCBA and HGFE, rearranged into ABEF and CDGH.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    __m128i abef_in = abef, cdgh_in = cdgh;
    __m128i w[4];
    // Rounds 4g..4g+3: W[4g..] plus K, two rounds each way; the schedule
    // words for later groups are built as these are used.
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byte_swap);
      __m128i wk = _mm_add_epi32(w[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      if (g >= 3 && g <= 14) {
        __m128i& next = w[(g + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, w[g % 4]);
      }
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
      if (g >= 1 && g <= 12) w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

sha256_blocks_fn sha256_blocks_hardware() { return zor_cpu().sha ? sha256_blocks_shani : nullptr; }

#else

sha256_blocks_fn sha256_blocks_hardware() { return nullptr; }

#endif

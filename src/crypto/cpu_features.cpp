// Which hardware paths this CPU can run: CPUID, and XGETBV for the wide
// registers, read once.
#include "crypto_paths.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

const zor_cpu_features& zor_cpu() {
  static const zor_cpu_features features = [] {
    zor_cpu_features f{};
#if defined(__x86_64__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    bool sse41 = c & bit_SSE4_1;
    f.aes = sse41 && (c & bit_AES);
    f.pclmul = sse41 && (c & bit_PCLMUL);
    // The 512-bit registers count only when the OS saves them (XCR0: SSE,
    // AVX, opmask and both halves of the ZMM state).
    bool os_saves_zmm = false;
    if (c & bit_OSXSAVE) {
      unsigned lo, hi;
      __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      os_saves_zmm = (lo & 0xE6) == 0xE6;
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
      f.avx512 = os_saves_zmm && (b & bit_AVX512F);
      f.vaes = f.avx512 && f.aes && (c & bit_VAES);
      f.vpclmulqdq = f.avx512 && f.pclmul && (c & bit_VPCLMULQDQ);
      f.sha = sse41 && (b & bit_SHA);
    }
#endif
    return f;
  }();
  return features;
}

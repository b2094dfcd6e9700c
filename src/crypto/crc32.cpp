#include "crc32.h"

#include <cerrno>
#include <cinttypes>

#include "crypto_paths.h"
#include "log.h"

namespace {

// Line numbers of "ERR[TLS]f(crc32)L<n>:" prefixes: an external contract,
// fixed per call site.
enum crc32_log_line : int32_t { kLineInvalidPath = 117 };

// Fixed numbers printed at the head of two stderr messages; also a contract.
const int kReadMsgId = 78;
const int kMismatchMsgId = 95;

const uint32_t kPolynomial = 0xEDB88320u;  // 0x04C11DB7 bit-reversed
const uint32_t kChunk = 16384;

// Entry i: i shifted right eight times, the polynomial XORed in whenever a
// 1 falls out. Built when compiling, so crc32() is right whatever is called
// first, and the table is read-only.
struct crc_lookup {
  uint32_t v[256];
};
constexpr crc_lookup make_crc_table() {
  crc_lookup t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t.v[i] = c;
  }
  return t;
}
constexpr crc_lookup kCrcTable = make_crc_table();
constexpr const uint32_t (&crc_table)[256] = kCrcTable.v;
static_assert(crc_table[1] == 0x77073096u && crc_table[255] == 0x2D02EF8Du, "the reflected CRC-32 table");

}  // namespace

// The table is built when compiling; kept as the step the computations name.
static void init_crc_table() {}

static inline uint32_t crc_byte(uint32_t crc, uint8_t byte) { return crc_table[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

// The register is a polynomial over GF(2) in reflected order: bit 31 holds
// the coefficient of x^0, bit 0 that of x^31.
const uint32_t kXPow0 = 0x80000000u;
const uint32_t kXPow8 = kXPow0 >> 8;

// a * b modulo the CRC polynomial.
static constexpr uint32_t multiply_mod_p(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = kXPow0; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;  // b * x
  }
  return product;
}

// x^(8n) modulo the polynomial: what n zero bytes do to a register, since
// the CRC of a register R over n zero bytes is R * x^(8n).
static constexpr uint32_t x_pow_8n(uint32_t n) {
  uint32_t result = kXPow0, square = kXPow8;
  for (; n != 0; n >>= 1) {
    if (n & 1) result = multiply_mod_p(result, square);
    square = multiply_mod_p(square, square);
  }
  return result;
}

// Below this a block is simply walked: the joins cost more than they gain.
const uint32_t kSplitMin = 256;

// Four running CRCs over four consecutive stretches, advanced side by side so
// their table lookups overlap instead of waiting on each other; then joined:
// CRC(A || B) from register R = CRC(CRC(R, A), zeros of |B|) ^ CRC(0, B)
//                              = CRC(R, A) * x^(8|B|) ^ CRC(0, B).
// Each byte is still one lookup in the one table, in constant memory.
static uint32_t portable_crc32(uint32_t crc, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t stretch = length >= kSplitMin ? length / 4 : 0;
  if (stretch > 0) {
    const uint8_t* p1 = p + stretch;
    const uint8_t* p2 = p1 + stretch;
    const uint8_t* p3 = p2 + stretch;
    uint32_t c1 = 0, c2 = 0, c3 = 0;
    for (uint32_t i = 0; i < stretch; ++i) {
      crc = crc_byte(crc, p[i]);
      c1 = crc_byte(c1, p1[i]);
      c2 = crc_byte(c2, p2[i]);
      c3 = crc_byte(c3, p3[i]);
    }
    uint32_t shift = x_pow_8n(stretch);
    crc = multiply_mod_p(crc, shift) ^ c1;
    crc = multiply_mod_p(crc, shift) ^ c2;
    crc = multiply_mod_p(crc, shift) ^ c3;
  }
  for (uint32_t i = 4 * stretch; i < length; ++i) crc = crc_byte(crc, p[i]);
  return crc;
}

// The folding constants of the carry-less multiplication paths, derived
// from the polynomial (Gopal et al., "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ"): x^n mod P moves a 128-bit lane n - 32 or
// n + 32 bits on; reflected like the register, and one bit up, since a
// carry-less product of reflected operands comes out one bit short.
static constexpr uint64_t fold_constant(uint32_t bits) { return uint64_t{x_pow_8n(bits / 8)} << 1; }

static constexpr uint64_t reflect(uint64_t v, int bits) {
  uint64_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1) << (bits - 1 - i);
  return r;
}

// floor(x^64 / P), reflected over its 33 bits: Barrett reduction's mu.
static constexpr uint64_t barrett_mu() {
  unsigned __int128 p = (uint64_t{1} << 32) | reflect(kPolynomial, 32), r = static_cast<unsigned __int128>(1) << 64;
  uint64_t q = 0;
  for (int i = 32; i >= 0; --i)
    if ((r >> (i + 32)) & 1) {
      q |= uint64_t{1} << i;
      r ^= p << i;
    }
  return reflect(q, 33);
}

const crc32_fold_constants kCrc32Fold = {
    fold_constant(4 * 128 + 32), fold_constant(4 * 128 - 32), fold_constant(128 + 32), fold_constant(128 - 32),
    fold_constant(64),           barrett_mu(),                (uint64_t{kPolynomial} << 1) | 1,
    fold_constant(16 * 128 + 32), fold_constant(16 * 128 - 32)};
static_assert(fold_constant(4 * 128 + 32) == 0x154442bd4 && barrett_mu() == 0x1F7011641,
              "the published constants of the reflected CRC-32");

static const zor_paths<crc32_path>& all_paths() {
  static const zor_paths<crc32_path> paths =
      zor_gather_paths(crc32_path{"portable", portable_crc32}, crc32_hardware_paths);
  return paths;
}

const crc32_path* crc32_paths(size_t* count) {
  *count = all_paths().count;
  return all_paths().list;
}

uint32_t crc32_portable_tail(uint32_t crc, const uint8_t* data, uint32_t length) {
  return portable_crc32(crc, data, length);
}

// The path crc32() uses: the last this CPU can run, chosen once.
uint32_t crc32(uint32_t crc, const void* data, uint32_t length) {
  static const crc32_path& path = all_paths().list[all_paths().count - 1];
  return path.update(crc, data, length);
}

uint32_t calc_buf_crc(const void* data, uint32_t length) {
  init_crc_table();
  return crc32(kCrc32Initial, data, length);
}

// The stream form with a separate success flag, because 0 is also a CRC.
static bool crc_of_region(FILE* stream, int64_t offset, uint32_t size, uint32_t* out) {
  uint32_t crc = kCrc32Initial;
  *out = 0;
  if (stream == nullptr) {
    fputs("bad param!!\n", stderr);
    return false;
  }
  fseeko(stream, 0, SEEK_END);
  int64_t file_len = ftello(stream);
  // Lengths are 32-bit quantities; below 4 GiB the low 32 bits are exact and
  // the documented wrap-around of an offset past the end is kept as it is.
  uint32_t remaining = static_cast<uint32_t>(file_len) - static_cast<uint32_t>(offset);
  if (file_len > static_cast<int64_t>(UINT32_MAX)) {
    int64_t true_remaining = file_len - offset;
    if (size == 0 && (true_remaining > static_cast<int64_t>(UINT32_MAX) || true_remaining < 0)) {
      fprintf(stderr, "region of %" PRId64 " bytes at %" PRId64 " does not fit a 32-bit length\n",
              true_remaining, offset);
      return false;
    }
    if (true_remaining < 0) true_remaining = 0;
    remaining = true_remaining > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX
                                                                  : static_cast<uint32_t>(true_remaining);
  }
  if (size == 0) {
    size = remaining;
  } else if (size > remaining) {
    fprintf(stderr, "checkSz %u > max %u\n", size, remaining);
    return false;
  }
  init_crc_table();
  fseeko(stream, offset, SEEK_SET);
  if (!crc32_stream(stream, size, &crc, nullptr)) {
    fprintf(stderr, "%d:read %d.\n", kReadMsgId, errno);
    return false;
  }
  *out = crc;
  return true;
}

bool crc32_stream(FILE* stream, uint32_t size, uint32_t* crc, const zor_progress* progress) {
  uint8_t buf[kChunk];
  for (uint32_t done = 0; done < size;) {
    uint32_t chunk = size - done < kChunk ? size - done : kChunk;
    if (fread(buf, 1, chunk, stream) != chunk) return false;
    *crc = crc32(*crc, buf, chunk);
    done += chunk;
    if (progress != nullptr) progress->advance(progress->context, chunk);
  }
  return true;
}

uint32_t calc_img_crc(FILE* stream, int64_t offset, uint32_t size) {
  uint32_t crc;
  crc_of_region(stream, offset, size, &crc);
  return crc;
}

uint32_t calc_img_crc(const char* path, int64_t offset, uint32_t size) {
  FILE* stream = fopen(path, "rb");
  if (stream == nullptr) {
    zor_log_err("crc32", kLineInvalidPath, "invalid path for crc32 file: %s\n", path);
    return 0;
  }
  uint32_t crc = calc_img_crc(stream, offset, size);
  fclose(stream);
  return crc;
}

int32_t check_img_crc(FILE* stream, int64_t offset, uint32_t expected, uint32_t size) {
  uint32_t crc;
  bool ok = crc_of_region(stream, offset, size, &crc);
  if (ok && crc == expected) return 0;
  fprintf(stderr, "%d:genCrc 0x%x != orgCrc 0x%x, error(%d).\n", kMismatchMsgId, crc, expected, errno);
  return -1;
}

#include "crc32.h"

#include <cerrno>
#include <cinttypes>

#include "util.h"

namespace {

// Line numbers of "ERR[TLS]f(crc32)L<n>:" prefixes: an external contract,
// fixed per call site.
enum crc32_log_line : int32_t { kLineInvalidPath = 117 };

// Fixed numbers printed at the head of two stderr messages; also a contract.
const int kReadMsgId = 78;
const int kMismatchMsgId = 95;

const uint32_t kPolynomial = 0xEDB88320u;  // 0x04C11DB7 bit-reversed
const uint32_t kChunk = 16384;

uint32_t crc_table[256];

}  // namespace

// Refilled before every computation; cheap (2048 steps) next to any real input.
static void init_crc_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    crc_table[i] = c;
  }
}

uint32_t crc32(uint32_t crc, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (uint32_t i = 0; i < length; ++i) crc = crc_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t calc_buf_crc(const void* data, uint32_t length) {
  init_crc_table();
  return crc32(0xFFFFFFFFu, data, length);
}

// The stream form with a separate success flag, because 0 is also a CRC.
static bool crc_of_region(FILE* stream, int64_t offset, uint32_t size, uint32_t* out) {
  uint32_t crc = 0xFFFFFFFFu;
  uint32_t done = 0;
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
  uint8_t buf[kChunk];
  while (done < size) {
    uint32_t chunk = size - done < kChunk ? size - done : kChunk;
    if (fread(buf, 1, chunk, stream) != chunk) {
      fprintf(stderr, "%d:read %d.\n", kReadMsgId, errno);
      return false;
    }
    crc = crc32(crc, buf, chunk);
    done += chunk;
  }
  *out = crc;
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

#include "duk_area.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "log.h"

namespace {

// Line numbers of the "ERR[TLS]f(util)L<n>:" prefixes: fixed per call site.
enum duk_log_line : int32_t {
  kLineDukAlloc = 543,
  kLineDukOpen = 549,
  kLineDukSeek = 553,
  kLineDukWrite = 555,
  kLineDukFlush = 557,
  kLineDukClose = 559,
};

const char kSource[] = "util";
const long kDukOffset = 10240;
const size_t kDukSize = 2080;

}  // namespace

// Unlike the launcher's codes, this operation's are positive: line + 1, the
// negated zor_fail code.
int32_t zor_hdcp22_fwle_clr_dukArea(const char* path) {
  uint8_t* buf = new (std::nothrow) uint8_t[kDukSize];
  if (buf == nullptr) return -zor_fail(kSource, kLineDukAlloc, "Exception: fail to alloc buuffer\n");
  FILE* f = fopen(path, "rb+");
  if (f == nullptr) {
    delete[] buf;
    // Key material that could not be wiped must not look wiped: not 0.
    return -zor_fail(kSource, kLineDukOpen, "Fail in open fwle %s\n", path);
  }
  memset(buf, 0, kDukSize);
  int32_t line = 0;
  if (fseek(f, kDukOffset, SEEK_SET) != 0)
    line = kLineDukSeek;
  else if (fwrite(buf, 1, kDukSize, f) != kDukSize)
    line = kLineDukWrite;
  else if (fflush(f) != 0)
    line = kLineDukFlush;
  if (fclose(f) != 0 && line == 0) line = kLineDukClose;
  delete[] buf;
  if (line != 0) return -zor_fail(kSource, line, "Fail in clear duk area of fwle %s: %s\n", path, strerror(errno));
  return 0;
}

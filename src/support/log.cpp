#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kLineSize = 352;  // 351 bytes of text + NUL
const size_t kPrefixMax = 96;

int32_t log_vout(const char* prefix, const char* fmt, va_list ap) {
  char line[kLineSize];
  size_t plen = prefix ? strnlen(prefix, kPrefixMax) : 0;
  if (plen > 0) memcpy(line, prefix, plen);
  line[plen] = '\0';
  vsnprintf(line + plen, kLineSize - plen, fmt, ap);
  _OutputDebugString(line);
  return 0;
}

void log_err_vout(const char* source, int32_t line, const char* fmt, va_list ap) {
  char prefix[128];
  zor_err_prefix(prefix, sizeof prefix, source, line);
  log_vout(prefix, fmt, ap);
}

}  // namespace

int32_t zor_log_out(const char* prefix, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_vout(prefix, fmt, ap);
  va_end(ap);
  return 0;
}

void zor_err_prefix(char* buf, size_t size, const char* source, int32_t line) {
  snprintf(buf, size, "ERR[TLS]f(%s)L%d:", source, line);
}

int32_t zor_log_err(const char* source, int32_t line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_err_vout(source, line, fmt, ap);
  va_end(ap);
  return 0;
}

int32_t zor_fail(const char* source, int32_t line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_err_vout(source, line, fmt, ap);
  va_end(ap);
  return -(line + 1);
}

void die(const char* fmt, ...) {
  fputs("error: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  exit(kZorExitFatal);
}

void _OutputDebugString(const char* text) { fputs(text, stderr); }

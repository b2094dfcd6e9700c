#include "text.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// The source and line of parse_num's "ERR[TLS]f(util)L467:" line: fixed,
// never __LINE__ (field logs match on it).
const char kSource[] = "util";
const int32_t kLineParseNum = 467;

}  // namespace

std::string zor_escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c <= 0x7e) {
      out += static_cast<char>(c);
    } else {
      char esc[5];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  return out;
}

std::string& std_string_format(std::string& out, const char* fmt, ...) {
  va_list ap, copy;
  va_start(ap, fmt);
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);  // measure first
  va_end(ap);
  if (n < 0) {
    out.clear();
  } else {
    char* buf = new char[static_cast<size_t>(n) + 1]();
    vsnprintf(buf, static_cast<size_t>(n) + 1, fmt, copy);
    out.assign(buf);
    delete[] buf;
  }
  va_end(copy);
  return out;
}

int64_t parse_num(const char* text, const char** end) {
  char* stop = nullptr;
  unsigned long long value = strtoull(text, &stop, 0);
  if (stop == text) return -1;
  // Limits are ULLONG_MAX >> 10, >> 20 and >> 30, minus one; with decimal
  // factors the product then always fits 64 unsigned bits.
  switch (*stop) {
    case 'k':
    case 'K':
      if (value > 0x3FFFFFFFFFFFFEull) return -1;
      value *= 1000ull;
      ++stop;
      break;
    case 'm':
    case 'M':
      if (value > 0xFFFFFFFFFFEull) return -1;
      value *= 1000000ull;
      ++stop;
      break;
    case 'g':
    case 'G':
      if (value > 0x3FFFFFFFEull) return -1;
      value *= 1000000000ull;
      ++stop;
      break;
    default:
      break;
  }
  if (value > static_cast<unsigned long long>(INT64_MAX)) {  // a sign, an overflow, or >= 2^63
    zor_log_err(kSource, kLineParseNum, "fail in pase_num, out of range\n");
    return -1;
  }
  if (end != nullptr) *end = stop;
  return static_cast<int64_t>(value);
}

// Additive checksum of little-endian 32-bit words (any alignment); a 1- to
// 3-byte tail is added as one little-endian number. File-local and unused
// here; tests/test_util_word_sum.cpp compiles this file to reach it.
[[maybe_unused]] static uint32_t add_sum(const void* data, uint32_t length, uint32_t sum) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t words = length / 4;
  for (uint32_t i = 0; i < words; ++i, p += 4) sum += zor_load_le32(p);
  uint32_t tail = 0;
  for (uint32_t i = 0; i < length % 4; ++i) tail |= static_cast<uint32_t>(p[i]) << (8 * i);
  return sum + tail;
}

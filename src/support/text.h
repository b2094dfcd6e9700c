// Text and byte helpers: \xNN escaping, printf into a string, the
// little-endian pair of the bundle layout, and parse_num.
//
// Result codes: parse_num returns its value or -1; the rest return values.
#ifndef ZOR_TEXT_H_
#define ZOR_TEXT_H_

#include <cstdint>
#include <string>

#include "log.h"

// The bytes as text for a terminal or a log: printable ASCII as it is, any
// other byte (a control byte, NUL, 0x80 and above) as \xNN.
std::string zor_escaped(const std::string& bytes);

// Replaces `out` with the printf-formatted text and returns it; `out`
// becomes empty when the format cannot be rendered.
std::string& std_string_format(std::string& out, const char* fmt, ...) ZOR_PRINTF(2, 3);

// The 32-bit little-endian value at p (any alignment), and its inverse: the
// one byte-order pair of the bundle layout, the AES state and the word sum.
inline uint32_t zor_load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void zor_store_le32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

// Parses an unsigned number in base 0 with an optional decimal k/M/G suffix
// (x1000, x1000000, x1000000000). Returns the value, or -1: nothing
// converted, value above the suffix's limit, or a result of 2^63 or more
// (only this last is logged, at util L467). *end, when given, is set only on
// success, just past the number and its suffix.
int64_t parse_num(const char* text, const char** end);

#endif  // ZOR_TEXT_H_

// CRC-32 over buffers and file regions: reflected polynomial 0xEDB88320,
// initial register 0xFFFFFFFF, no final inversion. crc32() folds with
// carry-less multiplication (PCLMULQDQ, VPCLMULQDQ) when the CPU has it,
// chosen once at run time, and otherwise walks four table-driven chains.
//
// Result codes: none. The file forms return the CRC, with 0 as their failure
// value (and a plain message on stderr); check_img_crc returns 0 or -1.
#ifndef ZOR_CRC32_H_
#define ZOR_CRC32_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "files.h"

// The register a CRC starts from.
const uint32_t kCrc32Initial = 0xFFFFFFFFu;

// Continues the running CRC `crc` over `length` bytes (no initial value is
// applied): pieces fed one after another give the CRC of the whole.
uint32_t crc32(uint32_t crc, const void* data, uint32_t length);

// CRC of a memory block (0xFFFFFFFF for an empty block).
uint32_t calc_buf_crc(const void* data, uint32_t length);

// CRC of `size` bytes at `offset` of an open stream (size 0: to the end of the
// file). 0 on failure, with a plain message on stderr: "bad param!!" (null
// stream), "checkSz" (region beyond the end), "78:read" (short read), or a
// region of 4 GiB or more. The stream stays open.
uint32_t calc_img_crc(FILE* stream, int64_t offset, uint32_t size);

// As above on the file at `path`; 0 and a crc32 L117 log line when it cannot
// be opened.
uint32_t calc_img_crc(const char* path, int64_t offset, uint32_t size);

// 0 when the region's CRC equals `expected`; -1 otherwise, also when the CRC
// could not be computed ("95:genCrc ... != orgCrc ..." on stderr).
int32_t check_img_crc(FILE* stream, int64_t offset, uint32_t expected, uint32_t size);

// Continues the running CRC `*crc` over `size` bytes read from `stream` at
// its position, in chunks of at most 16384 bytes that `progress` (may be
// null) hears of: the one loop over a file region. False on a short read
// (errno tells why), with *crc as far as it got.
bool crc32_stream(FILE* stream, uint32_t size, uint32_t* crc, const zor_progress* progress);

#endif  // ZOR_CRC32_H_

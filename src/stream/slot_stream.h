// Streaming an image into a slot in constant memory, and reading a slot
// back from the medium: what zor_ab's dev:write runs for a payload.
//
// Result codes: 0, or 1 after one line on stderr naming the file and the
// reason.
#ifndef ZOR_SLOT_STREAM_H_
#define ZOR_SLOT_STREAM_H_

#include <cstdint>
#include <string>

// Block size of every read and write: large, and a multiple of any
// logical block size O_DIRECT asks for.
const size_t kStreamBlock = 4u << 20;

// How stream_write takes its source.
enum stream_source {
  kStreamExact,   // exactly `size` bytes: fewer or more is an error
  kStreamZstd,    // exactly `size` bytes once decompressed by `zstd -dc`
  kStreamPrefix,  // its first `size` bytes
};

// Writes `size` bytes of `src`, as `how` says, over the start of `dest` (a partition, or a file, never
// truncated), bypassing the page cache where the file system allows, then
// makes them durable and drops them from the page cache (a read-back then
// reads the medium). *crc receives the CRC-32 of the bytes written, as
// calc_img_crc gives it. A source shorter or longer than `size`, or a zstd
// that fails, is an error, with `dest` then holding an unknown prefix.
int32_t stream_write(const char* src, stream_source how, const char* dest, uint64_t size, uint32_t* crc);

// The SHA-256 (64 lowercase hex digits in *hex) of the first `size` bytes
// of `path` as the medium holds them: read with O_DIRECT, or, where the
// file system has none, after the range is dropped from the page cache.
// Reading overlaps hashing. A file shorter than `size` is an error.
int32_t medium_sha256(const char* path, uint64_t size, std::string* hex);

#endif  // ZOR_SLOT_STREAM_H_

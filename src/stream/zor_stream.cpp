// zor_stream: what zor_ab's dev:write runs to put a payload into a slot.
//   zor_stream write SRC DEST SIZE [zstd|prefix]
//                                           SIZE bytes of SRC (decompressed; or its first SIZE) over DEST, durable;
//                                           prints the CRC-32 of what it wrote (as calc_img_crc)
//   zor_stream sha256 PATH SIZE             the SHA-256 of PATH's first SIZE bytes, from the medium
// Exit status: 0 done, 1 failed (one line on stderr), 2 usage.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "slot_stream.h"

namespace {

bool parse_size(const char* text, uint64_t* out) {
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  *out = v;
  return errno == 0 && *end == '\0';
}

int usage() {
  fputs("usage: zor_stream write SRC DEST SIZE [zstd|prefix] | zor_stream sha256 PATH SIZE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t size = 0;
  if (argc >= 5 && argc <= 6 && strcmp(argv[1], "write") == 0 && parse_size(argv[4], &size)) {
    stream_source how = kStreamExact;
    if (argc == 6 && strcmp(argv[5], "zstd") == 0) how = kStreamZstd;
    else if (argc == 6 && strcmp(argv[5], "prefix") == 0) how = kStreamPrefix;
    else if (argc == 6) return usage();
    uint32_t crc = 0;
    if (stream_write(argv[2], how, argv[3], size, &crc) != 0) return 1;
    printf("%u\n", crc);
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "sha256") == 0 && parse_size(argv[3], &size)) {
    std::string hex;
    if (medium_sha256(argv[2], size, &hex) != 0) return 1;
    printf("%s\n", hex.c_str());
    return 0;
  }
  return usage();
}

#include "key_fingerprint.h"

#include <sodium.h>

std::string key_fingerprint(const uint8_t* key, size_t size) {
  uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, key, size);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < 8; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  sodium_memzero(digest, sizeof digest);
  return hex;
}

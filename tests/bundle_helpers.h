// Building well-formed and deliberately malformed bundle images for tests.
#ifndef ZOR_TEST_BUNDLE_HELPERS_H_
#define ZOR_TEST_BUNDLE_HELPERS_H_

#include <cstring>
#include <string>
#include <vector>

#include "bundle_pack.h"

namespace zor_test {

inline std::vector<uint8_t> sealed_image(const std::vector<bundle_item>& items) {
  std::vector<uint8_t> image;
  bundle_build(items, image);
  return image;
}

// The decrypted form of a bundle: what the reader sees after decryption.
inline std::vector<uint8_t> plain_image(const std::vector<bundle_item>& items) {
  std::vector<uint8_t> image = sealed_image(items);
  uint32_t stored, computed;
  bundle_unseal(image.data(), static_cast<int32_t>(image.size()), &stored, &computed);
  return image;
}

// Writes the CRC over bytes 4.. and encrypts bytes 64.. of a plain image
// whose length is 64 plus whole blocks, whatever its header says.
inline std::vector<uint8_t> seal(std::vector<uint8_t> plain) {
  bundle_seal(plain.data(), static_cast<int32_t>(plain.size()));
  return plain;
}

inline uint8_t* entry_at(std::vector<uint8_t>& plain, int index) { return plain.data() + 64 + 64 * index; }

inline std::vector<bundle_item> five_items_third_broken() {
  return {{"a.lua", "return 'a'"}, {"b.zor", "return 'b'"}, {"c.lua", "return = oops"},
          {"d.bin", "dddd"}, {"e.lua", "return 'e'"}};
}

}  // namespace zor_test

#endif  // ZOR_TEST_BUNDLE_HELPERS_H_

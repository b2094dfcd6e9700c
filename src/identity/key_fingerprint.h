// What a key is called without revealing it: the first 8 bytes of its
// SHA-256, in hex. --version shows the bundle key's (over keyCbc || iv),
// zor_keytool gen the fingerprint of the key it made.
#ifndef ZOR_KEY_FINGERPRINT_H_
#define ZOR_KEY_FINGERPRINT_H_

#include <cstddef>
#include <cstdint>
#include <string>

// 16 lowercase hex digits.
std::string key_fingerprint(const uint8_t* key, size_t size);

#endif  // ZOR_KEY_FINGERPRINT_H_

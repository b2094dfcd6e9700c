// The bundle cipher's built-in AES-128 key and IV, shared by the launcher and
// the packer. A product build may replace them (see README, BUNDLE_KEY).
#ifndef ZOR_BUNDLE_KEY_H_
#define ZOR_BUNDLE_KEY_H_

#include <cstdint>

extern const uint8_t keyCbc[16];
extern const uint8_t iv[16];

// True for the repository's default key, which is public: anyone can pack
// bundles such a build accepts. For development only.
extern const bool kBundleKeyIsPublic;

#endif  // ZOR_BUNDLE_KEY_H_

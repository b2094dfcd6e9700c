#include "tool_identity.h"

#include <lua.hpp>
#include <sodium.h>

#include <cstring>

#include "bundle_key.h"
#include "util.h"
#if ZOR_SIGNING
#include "signing_keys.h"
#endif

std::string bundle_key_fingerprint() {
  uint8_t material[32], digest[crypto_hash_sha256_BYTES];
  memcpy(material, keyCbc, 16);
  memcpy(material + 16, iv, 16);
  crypto_hash_sha256(digest, material, sizeof material);
  std::string hex, byte;
  for (int i = 0; i < 8; ++i) hex += std_string_format(byte, "%02x", digest[i]);
  return hex;
}

std::string tool_identity(const char* program) {
  std::string text, line;
  text += std_string_format(line, "%s %s\n", program, ZOR_VERSION);
  text += std_string_format(line, "%s\n", LUA_RELEASE);
  text += "bundle key fingerprint " + bundle_key_fingerprint() +
          (kBundleKeyIsPublic ? " (default (public) key: for development only)\n" : " (product key)\n");
#if ZOR_SIGNING
  text += "signing build: runs only bundles signed by";
  for (size_t i = 0; i < kTrustedSigningKeyCount; ++i)
    text += std_string_format(line, " %016llX", static_cast<unsigned long long>(sig_key_id(kTrustedSigningKeys[i].id)));
#else
  text += "default build: no signature check";
#endif
  return text;
}

#include "tool_identity.h"

#include <lua.hpp>

#include <cstring>

#include "bundle_key.h"
#include "key_fingerprint.h"
#include "text.h"
#if ZOR_SIGNING
#include "signing_keys.h"
#endif

std::string bundle_key_fingerprint() {
  uint8_t material[32];
  memcpy(material, keyCbc, 16);
  memcpy(material + 16, iv, 16);
  return key_fingerprint(material, sizeof material);
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

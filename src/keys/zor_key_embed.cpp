// Build-time helper: turns a product's text key file (a 32-byte key as
// zor_keytool gen writes it) into the C++ source of keyCbc and iv, or names
// the key by its fingerprint (what configuring prints).
//   zor_key_embed KEYFILE OUT.cpp
//   zor_key_embed --fingerprint KEYFILE
#include <cstdio>
#include <cstring>
#include <string>

#include "ZorFwAicGen.h"
#include "key_fingerprint.h"
#include "files.h"
#include "text.h"

static const int32_t kKeyBytes = 32;  // keyCbc, then iv

static void append_array(std::string& out, const char* name, const uint8_t* bytes) {
  std::string digits;
  out += std_string_format(digits, "const uint8_t %s[16] = {", name);
  for (int i = 0; i < 16; ++i) out += std_string_format(digits, "%s0x%02x", i ? ", " : "", bytes[i]);
  out += "};\n";
}

// The number of key bytes in the key text of a text key file's first line,
// or -1 when it has none in whole 32-bit words.
static int32_t key_text_bytes(const char* path) {
  std::string text;
  if (zor_read_file(path, text) != 0) return -1;
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  size_t at = line.find("0x");
  if (at == std::string::npos) return -1;
  size_t digits = line.size() - at - 2;
  return digits == 0 || digits % 8 != 0 ? -1 : static_cast<int32_t>(digits / 2);
}

// The 32 key bytes of a product's text key file; false after a message.
static bool read_bundle_key(const char* path, uint8_t* key) {
  int32_t bytes = key_text_bytes(path);
  if (bytes >= 0 && bytes != kKeyBytes) {
    fprintf(stderr, "zor_key_embed: %s holds a key of %d bytes; a bundle key needs %d (16 key, 16 IV)\n", path,
            bytes, kKeyBytes);
    return false;
  }
  std::string line;
  if (zor_hexstr_key_to_int_buf(path, key, kKeyBytes, line) != 0) {
    fprintf(stderr, "zor_key_embed: %s is not a text key file of a 32-byte key\n", path);
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  bool fingerprint = argc == 3 && strcmp(argv[1], "--fingerprint") == 0;
  if (argc != 3) {
    fprintf(stderr, "usage: zor_key_embed KEYFILE OUT.cpp | zor_key_embed --fingerprint KEYFILE\n");
    return 2;
  }
  uint8_t key[kKeyBytes];
  if (!read_bundle_key(fingerprint ? argv[2] : argv[1], key)) return 1;
  if (fingerprint) {
    printf("%s\n", key_fingerprint(key, sizeof key).c_str());
    return 0;
  }
  std::string text = "// Generated from the product key file at build time. Do not commit.\n"
                     "#include \"bundle_key.h\"\n\n";
  append_array(text, "keyCbc", key);
  append_array(text, "iv", key + 16);
  text += "const bool kBundleKeyIsPublic = false;\n";
  if (int err = zor_write_file_atomic(argv[2], text.data(), text.size(), kReplaceExisting, 0600)) {
    fprintf(stderr, "zor_key_embed: %s: %s\n", argv[2], strerror(err));
    return 1;
  }
  return 0;
}

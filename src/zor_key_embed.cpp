// Build-time helper: turns a product's text key file (a 32-byte key as
// zor_keytool gen writes it) into the C++ source of keyCbc and iv.
//   zor_key_embed KEYFILE OUT.cpp
#include <cstdio>
#include <cstring>
#include <string>

#include "ZorFwAicGen.h"
#include "util.h"

static void append_array(std::string& out, const char* name, const uint8_t* bytes) {
  std::string digits;
  out += std_string_format(digits, "const uint8_t %s[16] = {", name);
  for (int i = 0; i < 16; ++i) out += std_string_format(digits, "%s0x%02x", i ? ", " : "", bytes[i]);
  out += "};\n";
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: zor_key_embed KEYFILE OUT.cpp\n");
    return 2;
  }
  uint8_t key[32];
  std::string line;
  if (zor_hexstr_key_to_int_buf(argv[1], key, 32, line) != 0) {
    fprintf(stderr, "zor_key_embed: %s is not a text key file of a 32-byte key\n", argv[1]);
    return 1;
  }
  std::string text = "// Generated from the product key file at build time. Do not commit.\n"
                     "#include \"bundle_key.h\"\n\n";
  append_array(text, "keyCbc", key);
  append_array(text, "iv", key + 16);
  if (int err = zor_write_file_atomic(argv[2], text.data(), text.size(), true)) {
    fprintf(stderr, "zor_key_embed: %s: %s\n", argv[2], strerror(err));
    return 1;
  }
  return 0;
}

// Build-time helper: turns a product's text key file (a 32-byte key as
// zor_keytool gen writes it) into the C++ source of keyCbc and iv.
//   zor_key_embed KEYFILE OUT.cpp
#include <cstdio>
#include <string>

#include "ZorFwAicGen.h"
#include "util.h"

static void print_array(FILE* out, const char* name, const uint8_t* bytes) {
  fprintf(out, "const uint8_t %s[16] = {", name);
  for (int i = 0; i < 16; ++i) fprintf(out, "%s0x%02x", i ? ", " : "", bytes[i]);
  fprintf(out, "};\n");
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
  FILE* out = fopen((std::string(argv[2]) + ".tmp").c_str(), "w");
  if (out == nullptr) {
    perror(argv[2]);
    return 1;
  }
  fputs(text.c_str(), out);
  print_array(out, "keyCbc", key);
  print_array(out, "iv", key + 16);
  if (fclose(out) != 0 || rename((std::string(argv[2]) + ".tmp").c_str(), argv[2]) != 0) {
    perror(argv[2]);
    return 1;
  }
  return 0;
}

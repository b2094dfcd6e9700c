// Build-time helper: checks a signing build's trusted minisign public key
// files with the parser the launcher uses, and writes them as the C++
// source of kTrustedSigningKeys.
//   zor_sig_embed OUT.cpp KEYFILE...
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bundle_sig.h"
#include "util.h"

static const size_t kMaxKeys = 8;

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: zor_sig_embed OUT.cpp KEYFILE...\n");
    return 2;
  }
  std::vector<std::string> files(argv + 2, argv + argc);
  if (files.size() > kMaxKeys) {
    fprintf(stderr, "zor_sig_embed: %zu signing keys; a build trusts 1 to %zu\n", files.size(), kMaxKeys);
    return 1;
  }
  std::vector<sig_public_key> keys(files.size());
  std::string text, line;
  text = "// Generated from the trusted signing keys at build time.\n#include \"signing_keys.h\"\n\n"
         "const sig_public_key kTrustedSigningKeys[] = {\n";
  for (size_t i = 0; i < files.size(); ++i) {
    std::string key_text;
    if (int err = zor_read_file(files[i].c_str(), key_text)) {
      fprintf(stderr, "zor_sig_embed: %s: %s\n", files[i].c_str(), strerror(err));
      return 1;
    }
    int32_t check = sig_parse_public_key(key_text, &keys[i]);
    if (check != SIG_OK) {
      fprintf(stderr, "zor_sig_embed: %s is not a minisign public key file (%s)\n", files[i].c_str(),
              sig_check_text(check));
      return 1;
    }
    for (size_t j = 0; j < i; ++j)
      if (memcmp(keys[j].id, keys[i].id, sizeof keys[i].id) == 0) {
        fprintf(stderr, "zor_sig_embed: %s: key id %016llX is already that of %s\n", files[i].c_str(),
                static_cast<unsigned long long>(sig_key_id(keys[i].id)), files[j].c_str());
        return 1;
      }
    text += "    {{";
    for (size_t b = 0; b < sizeof keys[i].id; ++b) text += std_string_format(line, "%s0x%02x", b ? ", " : "", keys[i].id[b]);
    text += "},\n     {";
    for (size_t b = 0; b < sizeof keys[i].key; ++b) text += std_string_format(line, "%s0x%02x", b ? ", " : "", keys[i].key[b]);
    text += std_string_format(line, "}},  // %016llX\n", static_cast<unsigned long long>(sig_key_id(keys[i].id)));
  }
  text += std_string_format(line, "};\nconst size_t kTrustedSigningKeyCount = %zu;\n", files.size());
  if (int err = zor_write_file_atomic(argv[1], text.data(), text.size(), kReplaceExisting, 0644)) {
    fprintf(stderr, "zor_sig_embed: %s: %s\n", argv[1], strerror(err));
    return 1;
  }
  return 0;
}

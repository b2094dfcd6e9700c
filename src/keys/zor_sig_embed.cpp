// Build-time helper: checks a signing build's trusted minisign public key
// files with the parser the launcher uses, and writes them as the C++
// source of kTrustedSigningKeys, or lists their key ids (what configuring
// prints).
//   zor_sig_embed OUT.cpp KEYFILE...
//   zor_sig_embed --ids KEYFILE...
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bundle_sig.h"
#include "files.h"
#include "text.h"

static const size_t kMaxKeys = 8;

// Parses every key file: 1 to 8 minisign public keys with distinct ids.
// False after a message naming the file.
static bool read_keys(const std::vector<std::string>& files, std::vector<sig_public_key>& keys) {
  if (files.size() > kMaxKeys) {
    fprintf(stderr, "zor_sig_embed: %zu signing keys; a build trusts 1 to %zu\n", files.size(), kMaxKeys);
    return false;
  }
  keys.resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    std::string key_text;
    if (int err = zor_read_file(files[i].c_str(), key_text)) {
      fprintf(stderr, "zor_sig_embed: %s: %s\n", files[i].c_str(), strerror(err));
      return false;
    }
    if (int32_t check = sig_parse_public_key(key_text, &keys[i])) {
      fprintf(stderr, "zor_sig_embed: %s is not a minisign public key file (%s)\n", files[i].c_str(),
              sig_check_text(check));
      return false;
    }
    for (size_t j = 0; j < i; ++j)
      if (memcmp(keys[j].id, keys[i].id, sizeof keys[i].id) == 0) {
        fprintf(stderr, "zor_sig_embed: %s: key id %016llX is already that of %s\n", files[i].c_str(),
                static_cast<unsigned long long>(sig_key_id(keys[i].id)), files[j].c_str());
        return false;
      }
  }
  return true;
}

static std::string bytes_text(const uint8_t* bytes, size_t size) {
  std::string text, byte;
  for (size_t b = 0; b < size; ++b) text += std_string_format(byte, "%s0x%02x", b ? ", " : "", bytes[b]);
  return text;
}

static std::string keys_source(const std::vector<sig_public_key>& keys) {
  std::string text, line;
  text = "// Generated from the trusted signing keys at build time.\n#include \"signing_keys.h\"\n\n"
         "const sig_public_key kTrustedSigningKeys[] = {\n";
  for (const sig_public_key& key : keys)
    text += "    {{" + bytes_text(key.id, sizeof key.id) + "},\n     {" + bytes_text(key.key, sizeof key.key) +
            std_string_format(line, "}},  // %016llX\n", static_cast<unsigned long long>(sig_key_id(key.id)));
  return text + std_string_format(line, "};\nconst size_t kTrustedSigningKeyCount = %zu;\n", keys.size());
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: zor_sig_embed OUT.cpp KEYFILE... | zor_sig_embed --ids KEYFILE...\n");
    return 2;
  }
  bool ids = strcmp(argv[1], "--ids") == 0;
  std::vector<sig_public_key> keys;
  if (!read_keys(std::vector<std::string>(argv + 2, argv + argc), keys)) return 1;
  if (ids) {
    for (const sig_public_key& key : keys) printf("%016llX\n", static_cast<unsigned long long>(sig_key_id(key.id)));
    return 0;
  }
  std::string text = keys_source(keys);
  if (int err = zor_write_file_atomic(argv[1], text.data(), text.size(), kReplaceExisting, 0644)) {
    fprintf(stderr, "zor_sig_embed: %s: %s\n", argv[1], strerror(err));
    return 1;
  }
  return 0;
}

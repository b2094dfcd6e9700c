// The signature parsers and verifier: the input is a public key file, a NUL
// byte and a signature file over a fixed message. Seeds are real minisign
// files (fuzz/corpus/fuzz_signature/).
#include <cstdlib>
#include <cstring>
#include <string>

#include "bundle_sig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::string key_text = input.substr(0, nul);
  std::string sig_text = nul == std::string::npos ? std::string() : input.substr(nul + 1);
  sig_public_key key;
  if (sig_parse_public_key(key_text, &key) != SIG_OK) memset(&key, 0, sizeof key);
  static const char kMessage[] = "zor fuzz message\n";
  sig_verified found;
  int32_t check = sig_verify(reinterpret_cast<const uint8_t*>(kMessage), strlen(kMessage), sig_text, &key, 1, &found);
  if (check < SIG_OK || check > SIG_BAD_GLOBAL) abort();
  if (check == SIG_OK && sig_text.find(found.trusted_comment) == std::string::npos) abort();
  return 0;
}

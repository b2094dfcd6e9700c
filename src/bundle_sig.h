// Bundle signatures in minisign's format: the signature file a standard
// `minisign -S` writes beside the bundle, checked against trusted Ed25519
// public keys before anything of the bundle is decrypted.
//
// Signature file, one item per line (CR LF tolerated):
//   untrusted comment: <text>
//   base64 of: algorithm (2 bytes) | key id (8) | signature (64)
//   trusted comment: <text>
//   base64 of: global signature (64) over signature | trusted comment
// Only algorithm "ED" is accepted: Ed25519 over the BLAKE2b-512 hash of the
// file. The legacy "Ed" (over the file itself) is refused.
//
// Result codes: the sig_check values below (0 is a valid signature);
// nothing here logs.
#ifndef ZOR_BUNDLE_SIG_H_
#define ZOR_BUNDLE_SIG_H_

#include <cstddef>
#include <cstdint>
#include <string>

// A trusted key as a minisign public key file holds it.
struct sig_public_key {
  uint8_t id[8];    // key id, in file order (little-endian)
  uint8_t key[32];  // Ed25519 public key
};

// Result codes of the signature operations (0 is a valid signature).
enum sig_check {
  SIG_OK = 0,
  SIG_MISSING = 1,      // no signature file
  SIG_MALFORMED = 2,    // not a regular file of at most 12 KiB, or not minisign's layout
  SIG_UNSUPPORTED = 3,  // an algorithm other than "ED" and "Ed"
  SIG_LEGACY = 4,       // "Ed": refused
  SIG_UNTRUSTED = 5,    // the key id is none of the trusted keys'
  SIG_BAD = 6,          // the signature over the file does not verify
  SIG_BAD_GLOBAL = 7,   // the signature over signature and trusted comment does not verify
};

const size_t kSigFileMax = 12 * 1024;

// The text of a code, as the launcher's log line ends: "malformed",
// "unsupported algorithm", "legacy algorithm refused", "bad signature" ...
const char* sig_check_text(int32_t code);

// The key id as minisign prints it (%016llX): the 8 bytes little-endian.
uint64_t sig_key_id(const uint8_t id[8]);

// Reads a signature file into `text`. SIG_OK; SIG_MISSING when nothing is
// at `path`; SIG_MALFORMED when it is not a regular file, is larger than
// 12 KiB or cannot be read.
int32_t sig_read_file(const char* path, std::string& text);

// Parses a minisign public key file. SIG_OK, SIG_MALFORMED or
// SIG_UNSUPPORTED (a key for another algorithm).
int32_t sig_parse_public_key(const std::string& text, sig_public_key* out);

// What a verification found: the signature's key id (once the signature was
// parsed, so also for SIG_UNTRUSTED) and, on SIG_OK, the trusted comment.
struct sig_verified {
  uint64_t key_id = 0;
  std::string trusted_comment;
};

// Verifies the signature file `text` over `size` bytes at `data` against
// `key_count` trusted keys. SIG_OK, or the first problem: SIG_MALFORMED,
// SIG_UNSUPPORTED, SIG_LEGACY, SIG_UNTRUSTED, SIG_BAD or SIG_BAD_GLOBAL.
int32_t sig_verify(const uint8_t* data, size_t size, const std::string& text, const sig_public_key* keys,
                   size_t key_count, sig_verified* out);

// sig_read_file of `sig_path`, then sig_verify of what it holds: the check
// the launcher and zor_pack make. Any code of the two.
int32_t sig_verify_file(const char* sig_path, const uint8_t* data, size_t size, const sig_public_key* keys,
                        size_t key_count, sig_verified* out);

#endif  // ZOR_BUNDLE_SIG_H_

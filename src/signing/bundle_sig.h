// Bundle signatures in minisign's format: the signature file a standard
// `minisign -S` writes beside the bundle, checked against trusted Ed25519
// public keys before anything of the bundle is decrypted.
//
// Signature file, one item per line (CR LF tolerated), each line as long as
// minisign itself reads it (its fgets buffers: 1024 and 8192 bytes):
//   untrusted comment: <text>                  at most 1023 bytes with its line end
//   base64 of: algorithm (2 bytes) | key id (8) | signature (64)
//   trusted comment: <text>                    at most 8191 bytes with its line end
//   base64 of: global signature (64) over signature | trusted comment
// The trusted comment is taken byte for byte (NUL and control bytes too).
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
  SIG_MALFORMED = 2,    // not a regular file of at most kSigFileMax bytes, or not minisign's layout
  SIG_UNSUPPORTED = 3,  // an algorithm other than "ED" and "Ed"
  SIG_LEGACY = 4,       // "Ed": refused
  SIG_UNTRUSTED = 5,    // the key id is none of the trusted keys'
  SIG_BAD = 6,          // the signature over the file does not verify
  SIG_BAD_GLOBAL = 7,   // the signature over signature and trusted comment does not verify
};

const size_t kSigUntrustedLineMax = 1023;
const size_t kSigTrustedLineMax = 8191;  // a comment of 8173 bytes, "trusted comment: " and "\n"
// The longest file minisign reads: both comment lines, and the two base64
// lines (100 and 88 symbols) with CR LF.
const size_t kSigFileMax = kSigUntrustedLineMax + 102 + kSigTrustedLineMax + 90;

// The text of a code, as the launcher's log line ends: "malformed",
// "unsupported algorithm", "legacy algorithm refused", "bad signature" ...
const char* sig_check_text(int32_t code);

// The key id as minisign prints it (%016llX): the 8 bytes little-endian.
uint64_t sig_key_id(const uint8_t id[8]);

// Reads a signature file into `text`. SIG_OK; SIG_MISSING when nothing is
// at `path`; SIG_MALFORMED when it is not a regular file, is larger than
// kSigFileMax or cannot be read.
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

// A signature file checked as far as it can be without the data it signs:
// its layout, its algorithm and its key among the trusted ones.
struct sig_prepared {
  uint64_t key_id = 0;                  // set once the signature line was read
  const sig_public_key* key = nullptr;  // the trusted key with that id
  uint8_t signature[64];
  uint8_t global[64];
  std::string trusted_comment;  // exact bytes
};

// Parses a signature file's text and finds its key. SIG_OK, or the first
// problem: SIG_MALFORMED, SIG_LEGACY, SIG_UNSUPPORTED or SIG_UNTRUSTED.
int32_t sig_prepare(const std::string& text, const sig_public_key* keys, size_t key_count, sig_prepared* out);

// sig_read_file of `path`, then sig_prepare: all the launcher checks before
// it reads the bundle. Any code of the two.
int32_t sig_prepare_file(const char* path, const sig_public_key* keys, size_t key_count, sig_prepared* out);

// Verifies a prepared signature over `size` bytes at `data`: Ed25519 over
// their BLAKE2b-512 hash, then the global signature over signature and
// trusted comment. SIG_OK (and `out` filled), SIG_BAD or SIG_BAD_GLOBAL.
int32_t sig_verify_prepared(const sig_prepared& sig, const uint8_t* data, size_t size, sig_verified* out);

// sig_prepare, then sig_verify_prepared. `out` receives the key id once known.
int32_t sig_verify(const uint8_t* data, size_t size, const std::string& text, const sig_public_key* keys,
                   size_t key_count, sig_verified* out);

// sig_read_file, then sig_verify: the check zor_pack makes.
int32_t sig_verify_file(const char* sig_path, const uint8_t* data, size_t size, const sig_public_key* keys,
                        size_t key_count, sig_verified* out);

#endif  // ZOR_BUNDLE_SIG_H_

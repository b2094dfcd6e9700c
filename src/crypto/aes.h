// AES-128 (FIPS-197) with ECB, CBC and CTR modes, in place on caller-owned
// buffers, allocation-free, no argument checks. The modes run on AES-NI (and
// VAES) when the CPU has them, chosen once at run time, and otherwise on
// portable, table-light code (S-boxes and round constants only); all paths
// give the same bytes and leave the same chaining block.
//
// Result codes: none; every operation succeeds.
#ifndef ZOR_AES_H_
#define ZOR_AES_H_

#include <cstddef>
#include <cstdint>

// 11 round keys of 16 bytes, then the CBC chaining block or the CTR counter.
struct AES_ctx {
  uint8_t round_keys[176];
  uint8_t iv_block[16];
};

// Expands the 16-byte key into round_keys; iv_block is left as it was.
void AES_init_ctx(AES_ctx* ctx, const uint8_t* key);
// Expands the key and copies the 16-byte IV into iv_block.
void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t* key, const uint8_t* iv);
// Copies the 16-byte IV into iv_block (restarts a CBC or CTR stream).
void AES_ctx_set_iv(AES_ctx* ctx, const uint8_t* iv);

// Encrypts / decrypts one 16-byte block in place; iv_block is not touched.
void AES_ECB_encrypt(const AES_ctx* ctx, uint8_t* block);
void AES_ECB_decrypt(const AES_ctx* ctx, uint8_t* block);

// CBC over `length` bytes in place; length must be a multiple of 16. Both
// leave iv_block holding the last ciphertext block, so a stream may be split
// across calls at block boundaries.
void AES_CBC_encrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length);
void AES_CBC_decrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length);

// XORs `length` bytes (any length) with the CTR keystream, in place; the
// counter (big-endian, 128-bit) advances once per keystream block used, and
// keystream left over at the end of a call is discarded.
void AES_CTR_xcrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length);

#endif  // ZOR_AES_H_

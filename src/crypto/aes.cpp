// AES-128 after FIPS-197: the portable path, table-light (only the S-box,
// its inverse and the round constants are tables; the field arithmetic is
// computed), and the dispatch to the fastest path this CPU can run.
#include "aes.h"

#include <cstring>

#include "crypto_paths.h"
#include "text.h"

namespace {

const int kRounds = 10;  // Nr for a 16-byte key (Nk = 4, Nb = 4)

constexpr uint8_t sbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16};

// The inverse S-box, derived from the S-box when compiling: still a
// read-only table, and no second 256-byte transcription to get wrong.
struct inverse_table {
  uint8_t v[256];
};
constexpr inverse_table invert(const uint8_t (&table)[256]) {
  inverse_table inv{};
  for (int i = 0; i < 256; ++i) inv.v[table[i]] = static_cast<uint8_t>(i);
  return inv;
}
constexpr inverse_table kInverse = invert(sbox);
constexpr const uint8_t (&rsbox)[256] = kInverse.v;

// Powers of x in GF(2^8); entry 0 is never read.
const uint8_t Rcon[11] = {0x8d, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

}  // namespace

// The state as four column words: byte r of column c (block byte 4c + r)
// sits at bits 8r..8r+7 of word c, so the rows are the word's byte lanes.
// The field arithmetic works on all four lanes of a word at once.

// Rotates a column word so that lane r receives lane r + n (mod 4).
static inline uint32_t lanes_down(uint32_t w, int n) { return w >> (8 * n) | w << (32 - 8 * n); }

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (0x11b), on
// each byte lane at once: shift every lane left, then reduce the lanes whose
// top bit fell out. No branch, no table.
static inline uint32_t xtime(uint32_t w) {
  return ((w & 0x7f7f7f7fu) << 1) ^ (((w >> 7) & 0x01010101u) * 0x1b);
}

static void KeyExpansion(uint8_t* round_keys, const uint8_t* key) {
  memcpy(round_keys, key, 16);
  for (int i = 4; i < 4 * (kRounds + 1); ++i) {
    uint8_t t[4] = {round_keys[4 * (i - 1)], round_keys[4 * (i - 1) + 1], round_keys[4 * (i - 1) + 2],
                    round_keys[4 * (i - 1) + 3]};
    if (i % 4 == 0) {
      uint8_t first = t[0];  // RotWord, SubWord, then Rcon into the first byte
      t[0] = static_cast<uint8_t>(sbox[t[1]] ^ Rcon[i / 4]);
      t[1] = sbox[t[2]];
      t[2] = sbox[t[3]];
      t[3] = sbox[first];
    }
    for (int j = 0; j < 4; ++j) round_keys[4 * i + j] = static_cast<uint8_t>(round_keys[4 * (i - 4) + j] ^ t[j]);
  }
}

static inline void AddRoundKey(uint8_t round, uint32_t* state, const uint8_t* round_keys) {
  const uint8_t* k = round_keys + 16 * round;
  for (int c = 0; c < 4; ++c) state[c] ^= zor_load_le32(k + 4 * c);
}

// SubBytes and ShiftRows in one pass (both move or map single bytes, so
// they commute): row r of column c comes from column c + r.
static inline void SubBytes_ShiftRows(uint32_t* s) {
  uint32_t t[4];
  for (int c = 0; c < 4; ++c)
    t[c] = static_cast<uint32_t>(sbox[s[c] & 0xff]) | static_cast<uint32_t>(sbox[s[(c + 1) & 3] >> 8 & 0xff]) << 8 |
           static_cast<uint32_t>(sbox[s[(c + 2) & 3] >> 16 & 0xff]) << 16 |
           static_cast<uint32_t>(sbox[s[(c + 3) & 3] >> 24]) << 24;
  for (int c = 0; c < 4; ++c) s[c] = t[c];
}

// InvShiftRows and InvSubBytes in one pass: row r of column c comes from
// column c - r.
static inline void InvShiftRows_InvSubBytes(uint32_t* s) {
  uint32_t t[4];
  for (int c = 0; c < 4; ++c)
    t[c] = static_cast<uint32_t>(rsbox[s[c] & 0xff]) | static_cast<uint32_t>(rsbox[s[(c + 3) & 3] >> 8 & 0xff]) << 8 |
           static_cast<uint32_t>(rsbox[s[(c + 2) & 3] >> 16 & 0xff]) << 16 |
           static_cast<uint32_t>(rsbox[s[(c + 1) & 3] >> 24]) << 24;
  for (int c = 0; c < 4; ++c) s[c] = t[c];
}

// Each column times {03}x^3 + {01}x^2 + {01}x + {02}: lane i becomes
// {02}a_i ^ {03}a_{i+1} ^ a_{i+2} ^ a_{i+3}
//   = xtime(a_i ^ a_{i+1}) ^ a_{i+1} ^ (a_{i+2} ^ a_{i+3}).
static inline void MixColumns(uint32_t* s) {
  for (int c = 0; c < 4; ++c) {
    uint32_t u = s[c] ^ lanes_down(s[c], 1);
    s[c] = xtime(u) ^ lanes_down(s[c], 1) ^ lanes_down(u, 2);
  }
}

// The inverse matrix {0e,0b,0d,09} equals MixColumns after adding
// {04}(a0^a2) to a0, a2 and {04}(a1^a3) to a1, a3: one cheap pre-step
// instead of four full multiplications per byte.
static inline void InvMixColumns(uint32_t* s) {
  for (int c = 0; c < 4; ++c) s[c] ^= xtime(xtime(s[c] ^ lanes_down(s[c], 2)));
  MixColumns(s);
}

static inline void load_state(uint32_t* s, const uint8_t* block) {
  for (int c = 0; c < 4; ++c) s[c] = zor_load_le32(block + 4 * c);
}

static inline void store_state(uint8_t* block, const uint32_t* s) {
  for (int c = 0; c < 4; ++c) zor_store_le32(block + 4 * c, s[c]);
}

static inline void Cipher(uint32_t* state, const uint8_t* round_keys) {
  AddRoundKey(0, state, round_keys);
  for (uint8_t round = 1; round < kRounds; ++round) {
    SubBytes_ShiftRows(state);
    MixColumns(state);
    AddRoundKey(round, state, round_keys);
  }
  SubBytes_ShiftRows(state);
  AddRoundKey(kRounds, state, round_keys);
}

static inline void InvCipher(uint32_t* state, const uint8_t* round_keys) {
  AddRoundKey(kRounds, state, round_keys);
  for (uint8_t round = kRounds - 1; round > 0; --round) {
    InvShiftRows_InvSubBytes(state);
    AddRoundKey(round, state, round_keys);
    InvMixColumns(state);
  }
  InvShiftRows_InvSubBytes(state);
  AddRoundKey(0, state, round_keys);
}

static inline void XorWithIv(uint32_t* state, const uint32_t* iv) {
  for (int c = 0; c < 4; ++c) state[c] ^= iv[c];
}

void AES_init_ctx(AES_ctx* ctx, const uint8_t* key) { KeyExpansion(ctx->round_keys, key); }

void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t* key, const uint8_t* iv) {
  KeyExpansion(ctx->round_keys, key);
  memcpy(ctx->iv_block, iv, 16);
}

void AES_ctx_set_iv(AES_ctx* ctx, const uint8_t* iv) { memcpy(ctx->iv_block, iv, 16); }

static void portable_ecb_encrypt(const AES_ctx* ctx, uint8_t* block) {
  uint32_t s[4];
  load_state(s, block);
  Cipher(s, ctx->round_keys);
  store_state(block, s);
}

static void portable_ecb_decrypt(const AES_ctx* ctx, uint8_t* block) {
  uint32_t s[4];
  load_state(s, block);
  InvCipher(s, ctx->round_keys);
  store_state(block, s);
}

static void portable_cbc_encrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  uint32_t chain[4], s[4];
  load_state(chain, ctx->iv_block);
  for (uint32_t i = 0; i < length; i += 16) {
    load_state(s, buf + i);
    XorWithIv(s, chain);
    Cipher(s, ctx->round_keys);
    store_state(buf + i, s);
    for (int c = 0; c < 4; ++c) chain[c] = s[c];
  }
  store_state(ctx->iv_block, chain);
}

static void portable_cbc_decrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  uint32_t chain[4], s[4];
  load_state(chain, ctx->iv_block);
  for (uint32_t i = 0; i < length; i += 16) {
    load_state(s, buf + i);
    InvCipher(s, ctx->round_keys);
    XorWithIv(s, chain);
    // The ciphertext, still in the buffer, is the next block's chain: read
    // again rather than kept in registers the rounds need.
    load_state(chain, buf + i);
    store_state(buf + i, s);
  }
  store_state(ctx->iv_block, chain);
}

static void portable_ctr_xcrypt(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  uint8_t keystream[16];
  unsigned pos = 16;  // forces a fresh keystream block on every call
  for (uint32_t i = 0; i < length; ++i) {
    if (pos == 16) {
      uint32_t s[4];
      load_state(s, ctx->iv_block);
      Cipher(s, ctx->round_keys);
      store_state(keystream, s);
      for (int b = 15; b >= 0; --b) {  // 128-bit big-endian increment
        if (ctx->iv_block[b] != 0xFF) {
          ++ctx->iv_block[b];
          break;
        }
        ctx->iv_block[b] = 0;
      }
      pos = 0;
    }
    buf[i] ^= keystream[pos++];
  }
}

static const zor_paths<aes_path>& all_paths() {
  static const zor_paths<aes_path> paths = zor_gather_paths(
      aes_path{"portable", portable_ecb_encrypt, portable_ecb_decrypt, portable_cbc_encrypt, portable_cbc_decrypt,
               portable_ctr_xcrypt},
      aes_hardware_paths);
  return paths;
}

const aes_path* aes_paths(size_t* count) {
  *count = all_paths().count;
  return all_paths().list;
}

// The path the modes use: the last this CPU can run, chosen once.
static const aes_path& chosen() { return all_paths().list[all_paths().count - 1]; }

void AES_ECB_encrypt(const AES_ctx* ctx, uint8_t* block) { chosen().ecb_encrypt(ctx, block); }
void AES_ECB_decrypt(const AES_ctx* ctx, uint8_t* block) { chosen().ecb_decrypt(ctx, block); }
void AES_CBC_encrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) { chosen().cbc_encrypt(ctx, buf, length); }
void AES_CBC_decrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) { chosen().cbc_decrypt(ctx, buf, length); }
void AES_CTR_xcrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) { chosen().ctr_xcrypt(ctx, buf, length); }

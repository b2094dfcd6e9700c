// AES-128 after FIPS-197. The state is the 16-byte block itself: byte 4c + r
// is row r of column c.
#include "aes.h"

#include <cstring>

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

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (0x11b).
static inline uint8_t xtime(uint8_t b) {
  // The arithmetic shift spreads the top bit into a mask: no branch, no multiply.
  return static_cast<uint8_t>((b << 1) ^ (static_cast<int8_t>(b) >> 7 & 0x1b));
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

static inline void AddRoundKey(uint8_t round, uint8_t* __restrict state, const uint8_t* __restrict round_keys) {
  const uint8_t* k = round_keys + 16 * round;
  for (int i = 0; i < 16; ++i) state[i] ^= k[i];
}

static inline void SubBytes(uint8_t* state) {
  for (int i = 0; i < 16; ++i) state[i] = sbox[state[i]];
}

static inline void InvSubBytes(uint8_t* state) {
  for (int i = 0; i < 16; ++i) state[i] = rsbox[state[i]];
}

// Rotates row r of the state (bytes r, 4 + r, 8 + r, 12 + r) left by n
// columns.
static inline void rotate_row(uint8_t* s, int r, int n) {
  uint8_t row[4] = {s[r], s[4 + r], s[8 + r], s[12 + r]};
  for (int c = 0; c < 4; ++c) s[4 * c + r] = row[(c + n) & 3];
}

// Row r rotates left by r columns.
static inline void ShiftRows(uint8_t* s) {
  rotate_row(s, 1, 1);
  rotate_row(s, 2, 2);
  rotate_row(s, 3, 3);
}

// Row r rotates right by r columns, that is left by 4 - r.
static inline void InvShiftRows(uint8_t* s) {
  rotate_row(s, 1, 3);
  rotate_row(s, 2, 2);
  rotate_row(s, 3, 1);
}

// Each column times {03}x^3 + {01}x^2 + {01}x + {02}, written with one xtime
// per output byte: b_i = a_i ^ t ^ xtime(a_i ^ a_{i+1}), t = a0^a1^a2^a3.
static inline void MixColumns(uint8_t* s) {
  for (int c = 0; c < 4; ++c) {
    uint8_t* a = s + 4 * c;
    uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    uint8_t t = static_cast<uint8_t>(a0 ^ a1 ^ a2 ^ a3);
    a[0] = static_cast<uint8_t>(a0 ^ t ^ xtime(a0 ^ a1));
    a[1] = static_cast<uint8_t>(a1 ^ t ^ xtime(a1 ^ a2));
    a[2] = static_cast<uint8_t>(a2 ^ t ^ xtime(a2 ^ a3));
    a[3] = static_cast<uint8_t>(a3 ^ t ^ xtime(a3 ^ a0));
  }
}

// The inverse matrix {0e,0b,0d,09} equals MixColumns after adding
// {04}(a0^a2) to a0, a2 and {04}(a1^a3) to a1, a3. Two extra xtimes per pair
// instead of a full multiply per byte: this is what makes decryption as fast
// as encryption.
static inline void InvMixColumns(uint8_t* s) {
  for (int c = 0; c < 4; ++c) {
    uint8_t* a = s + 4 * c;
    uint8_t u = xtime(xtime(static_cast<uint8_t>(a[0] ^ a[2])));
    uint8_t v = xtime(xtime(static_cast<uint8_t>(a[1] ^ a[3])));
    a[0] ^= u;
    a[1] ^= v;
    a[2] ^= u;
    a[3] ^= v;
  }
  MixColumns(s);
}

static void Cipher(uint8_t* __restrict state, const uint8_t* __restrict round_keys) {
  AddRoundKey(0, state, round_keys);
  for (uint8_t round = 1; round < kRounds; ++round) {
    SubBytes(state);
    ShiftRows(state);
    MixColumns(state);
    AddRoundKey(round, state, round_keys);
  }
  SubBytes(state);
  ShiftRows(state);
  AddRoundKey(kRounds, state, round_keys);
}

static void InvCipher(uint8_t* __restrict state, const uint8_t* __restrict round_keys) {
  AddRoundKey(kRounds, state, round_keys);
  for (uint8_t round = kRounds - 1; round > 0; --round) {
    InvShiftRows(state);
    InvSubBytes(state);
    AddRoundKey(round, state, round_keys);
    InvMixColumns(state);
  }
  InvShiftRows(state);
  InvSubBytes(state);
  AddRoundKey(0, state, round_keys);
}

static inline void XorWithIv(uint8_t* __restrict block, const uint8_t* __restrict iv) {
  for (int i = 0; i < 16; ++i) block[i] ^= iv[i];
}

void AES_init_ctx(AES_ctx* ctx, const uint8_t* key) { KeyExpansion(ctx->round_keys, key); }

void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t* key, const uint8_t* iv) {
  KeyExpansion(ctx->round_keys, key);
  memcpy(ctx->iv_block, iv, 16);
}

void AES_ctx_set_iv(AES_ctx* ctx, const uint8_t* iv) { memcpy(ctx->iv_block, iv, 16); }

void AES_ECB_encrypt(const AES_ctx* ctx, uint8_t* block) { Cipher(block, ctx->round_keys); }

void AES_ECB_decrypt(const AES_ctx* ctx, uint8_t* block) { InvCipher(block, ctx->round_keys); }

void AES_CBC_encrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  const uint8_t* chain = ctx->iv_block;
  for (uint32_t i = 0; i < length; i += 16) {
    XorWithIv(buf + i, chain);
    Cipher(buf + i, ctx->round_keys);
    chain = buf + i;
  }
  if (chain != ctx->iv_block) memcpy(ctx->iv_block, chain, 16);
}

void AES_CBC_decrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  uint8_t kept[16];
  for (uint32_t i = 0; i < length; i += 16) {
    memcpy(kept, buf + i, 16);
    InvCipher(buf + i, ctx->round_keys);
    XorWithIv(buf + i, ctx->iv_block);
    memcpy(ctx->iv_block, kept, 16);
  }
}

void AES_CTR_xcrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  uint8_t keystream[16];
  unsigned pos = 16;  // forces a fresh keystream block on every call
  for (uint32_t i = 0; i < length; ++i) {
    if (pos == 16) {
      memcpy(keystream, ctx->iv_block, 16);
      Cipher(keystream, ctx->round_keys);
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

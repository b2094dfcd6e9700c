#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "aes.h"
#include "crypto_paths.h"
#include "test_support.h"

using zor_test::from_hex;
using zor_test::to_hex;

namespace {

// NIST SP 800-38A, appendix F (AES-128): one key, one plaintext, per mode.
const char kKey[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kPlain[] =
    "6bc1bee22e409f96e93d7e117393172a" "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef" "f69f2445df4f9b17ad2b417be66c3710";

enum mode { kEcb, kCbc, kCtr };

struct vector_case {
  const char* source;
  mode m;
  const char* key;
  const char* iv;
  const char* plain;
  const char* cipher;
};

const vector_case kVectors[] = {
    {"FIPS-197 C.1", kEcb, "000102030405060708090a0b0c0d0e0f", "", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"SP 800-38A F.1.1/F.1.2 ECB-AES128", kEcb, kKey, "", kPlain,
     "3ad77bb40d7a3660a89ecaf32466ef97" "f5d3d58503b9699de785895a96fdbaaf"
     "43b1cd7f598ece23881b00e3ed030688" "7b0c785e27e8ad3f8223207104725dd4"},
    {"SP 800-38A F.2.1/F.2.2 CBC-AES128", kCbc, kKey, "000102030405060708090a0b0c0d0e0f", kPlain,
     "7649abac8119b246cee98e9b12e9197d" "5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e22229516" "3ff1caa1681fac09120eca307586e1a7"},
    {"SP 800-38A F.5.1/F.5.2 CTR-AES128", kCtr, kKey, "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff", kPlain,
     "874d6191b620e3261bef6864990db6ce" "9806f66b7970fdff8617187bb9fffdff"
     "5ae4df3edbd5d35e5b4f09020db03eab" "1e031dda2fbe03d1792170a0f3009cee"},
};

// Runs one direction of a vector in pieces of `chunk` bytes over one context.
std::vector<uint8_t> run(const vector_case& v, bool encrypt, const std::vector<uint8_t>& in, size_t chunk) {
  std::vector<uint8_t> key = from_hex(v.key), iv = from_hex(v.iv), buf = in;
  AES_ctx ctx;
  if (v.m == kEcb)
    AES_init_ctx(&ctx, key.data());
  else
    AES_init_ctx_iv(&ctx, key.data(), iv.data());
  for (size_t off = 0; off < buf.size(); off += chunk) {
    uint32_t n = static_cast<uint32_t>(std::min(chunk, buf.size() - off));
    uint8_t* p = buf.data() + off;
    switch (v.m) {
      case kEcb:
        for (uint32_t b = 0; b < n; b += 16) encrypt ? AES_ECB_encrypt(&ctx, p + b) : AES_ECB_decrypt(&ctx, p + b);
        break;
      case kCbc:
        encrypt ? AES_CBC_encrypt_buffer(&ctx, p, n) : AES_CBC_decrypt_buffer(&ctx, p, n);
        break;
      case kCtr:
        AES_CTR_xcrypt_buffer(&ctx, p, n);
        break;
    }
  }
  return buf;
}

TEST(Aes, PublishedVectorsWholeAndInBlockChunksBothDirections) {
  for (const auto& v : kVectors) {
    std::vector<uint8_t> plain = from_hex(v.plain), cipher = from_hex(v.cipher);
    for (size_t chunk : {plain.size(), size_t{16}, size_t{32}}) {
      EXPECT_EQ(run(v, true, plain, chunk), cipher) << v.source << " encrypt, chunk " << chunk;
      EXPECT_EQ(run(v, false, cipher, chunk), plain) << v.source << " decrypt, chunk " << chunk;
    }
  }
}

TEST(Aes, CtrCounterCarries) {
  struct {
    const char* before;
    uint32_t length;
    const char* after;
  } cases[] = {
      {"000000000000000000000000000000fe", 16, "000000000000000000000000000000ff"},
      {"0000000000000000000000000000ffff", 1, "00000000000000000000000000010000"},
      {"00000000000000000000000000" "00ffff", 16, "00000000000000000000000000" "010000"},
      {"ffffffffffffffffffffffffffffffff", 5, "00000000000000000000000000000000"},
      {"00000000000000000000000000000000", 20, "00000000000000000000000000000002"},
      {"00000000000000000000000000000000", 32, "00000000000000000000000000000002"},
      {"0000000000000000ffffffffffffffff", 16, "00000000000000010000000000000000"},  // across the halves
      {"00000000000000fffffffffffffffffe", 300, "00000000000001000000000000000011"},
  };
  std::vector<uint8_t> key = from_hex(kKey);
  size_t count;
  const aes_path* paths = aes_paths(&count);
  for (size_t i = 0; i < count; ++i)
    for (const auto& c : cases) {
      std::vector<uint8_t> iv = from_hex(c.before), buf(c.length);
      AES_ctx ctx;
      AES_init_ctx_iv(&ctx, key.data(), iv.data());
      paths[i].ctr_xcrypt(&ctx, buf.data(), c.length);
      EXPECT_EQ(to_hex(ctx.iv_block, 16), c.after) << paths[i].name << ": " << c.before;
    }
}

TEST(Aes, CtrDiscardsLeftoverKeystreamBetweenCalls) {
  std::vector<uint8_t> key = from_hex(kKey), iv = from_hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  std::vector<uint8_t> whole(20, 0), split(20, 0);
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, key.data(), iv.data());
  AES_CTR_xcrypt_buffer(&ctx, whole.data(), 20);
  AES_init_ctx_iv(&ctx, key.data(), iv.data());
  AES_CTR_xcrypt_buffer(&ctx, split.data(), 10);
  AES_CTR_xcrypt_buffer(&ctx, split.data() + 10, 10);
  EXPECT_EQ(to_hex(ctx.iv_block, 16), "f0f1f2f3f4f5f6f7f8f9fafbfcfdff01");
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 10, split.begin()));
  // The second call starts on the second keystream block: bytes 16..25 of it.
  std::vector<uint8_t> stream(32, 0);
  AES_init_ctx_iv(&ctx, key.data(), iv.data());
  AES_CTR_xcrypt_buffer(&ctx, stream.data(), 32);
  EXPECT_TRUE(std::equal(split.begin() + 10, split.end(), stream.begin() + 16));
  EXPECT_FALSE(std::equal(split.begin() + 10, split.end(), whole.begin() + 10));
}

// 16-byte big-endian counter + n.
void counter_add(uint8_t* counter, uint64_t n) {
  for (int b = 15; b >= 0 && n != 0; --b, n >>= 8) {
    n += counter[b];
    counter[b] = static_cast<uint8_t>(n);
  }
}

// What OpenSSL's EVP makes of `in` in one call: the reference.
std::vector<uint8_t> openssl(const EVP_CIPHER* evp_cipher, bool encrypt, const std::vector<uint8_t>& key,
                             const std::vector<uint8_t>& iv, const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(in.size() + 16);
  int n = 0, tail = 0;
  EVP_CIPHER_CTX* evp = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(evp, evp_cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(evp, 0);
  EVP_CipherUpdate(evp, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(evp, out.data() + n, &tail);
  EVP_CIPHER_CTX_free(evp);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

// Every path (portable, AES-NI, VAES, as the CPU has them) against OpenSSL's
// EVP: random keys, IVs, lengths and alignments, each call split at random
// block boundaries (CTR: whole blocks but the last), empty calls among
// them. After every call the chaining block is checked too: CBC's is the
// last ciphertext block, CTR's counter has advanced once per block, and ECB
// never touches it.
TEST(Aes, EveryPathAgreesWithOpenSsl) {
  std::mt19937 rng(20261208);
  auto bytes = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  struct {
    const char* name;
    const EVP_CIPHER* evp;
  } modes[] = {{"ecb", EVP_aes_128_ecb()}, {"cbc", EVP_aes_128_cbc()}, {"ctr", EVP_aes_128_ctr()}};
  size_t count;
  const aes_path* paths = aes_paths(&count);
  for (size_t path = 0; path < count; ++path) {
    const aes_path& a = paths[path];
    for (int round = 0; round < 240; ++round) {
      const auto& m = modes[round % 3];
      std::vector<uint8_t> key = bytes(16), iv = bytes(16);
      size_t length = m.evp == EVP_aes_128_ctr() ? rng() % 5000 : 16 * (rng() % 300), align = rng() % 16;
      std::vector<uint8_t> plain = bytes(length);
      for (bool encrypt : {true, false}) {
        std::vector<uint8_t> want = openssl(m.evp, encrypt, key, iv, plain);
        const std::vector<uint8_t>& ciphertext = encrypt ? want : plain;
        std::vector<uint8_t> space(align + length), chain = iv;
        uint8_t* got = space.data() + align;
        std::copy(plain.begin(), plain.end(), got);
        AES_ctx ctx;
        AES_init_ctx_iv(&ctx, key.data(), iv.data());
        for (size_t at = 0; at < length;) {
          size_t piece = rng() % 4 == 0 ? 0 : std::min(length - at, 16 * (1 + rng() % 40));
          if (at + piece < length) piece -= piece % 16;
          uint8_t* p = got + at;
          uint32_t n = static_cast<uint32_t>(piece);
          if (m.evp == EVP_aes_128_ecb()) {
            for (size_t b = 0; b < piece; b += 16) encrypt ? a.ecb_encrypt(&ctx, p + b) : a.ecb_decrypt(&ctx, p + b);
          } else if (m.evp == EVP_aes_128_cbc()) {
            encrypt ? a.cbc_encrypt(&ctx, p, n) : a.cbc_decrypt(&ctx, p, n);
            if (piece > 0) chain.assign(ciphertext.begin() + at + piece - 16, ciphertext.begin() + at + piece);
          } else {
            a.ctr_xcrypt(&ctx, p, n);
            counter_add(chain.data(), (piece + 15) / 16);
          }
          at += piece;
          ASSERT_EQ(to_hex(ctx.iv_block, 16), to_hex(chain.data(), 16)) << a.name << " " << m.name << " at " << at;
        }
        ASSERT_TRUE(std::equal(want.begin(), want.end(), got))
            << a.name << " " << m.name << (encrypt ? " encrypt" : " decrypt") << ", " << length << " bytes";
      }
    }
  }
  if (count == 1) GTEST_SKIP() << "this CPU has no AES-NI: only the portable path was tested";
}

}  // namespace

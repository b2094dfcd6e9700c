#include <openssl/sha.h>

#include <random>
#include <string>
#include <vector>

#include "sha256.h"
#include "test_support.h"

namespace {

// Each compression this CPU can run, the portable one first.
std::vector<sha256_blocks_fn> compressions() {
  std::vector<sha256_blocks_fn> out = {sha256_blocks_portable};
  if (sha256_blocks_hardware() != nullptr) out.push_back(sha256_blocks_hardware());
  return out;
}

std::string hex(const uint8_t* d, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "0123456789abcdef"[d[i] >> 4], s += "0123456789abcdef"[d[i] & 15];
  return s;
}

// The padded one-block and two-block messages through a compression alone.
std::string digest_with(sha256_blocks_fn f, const std::string& msg) {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::string padded = msg + '\x80';
  while (padded.size() % 64 != 56) padded += '\0';
  for (int i = 7; i >= 0; --i) padded += static_cast<char>(static_cast<uint64_t>(msg.size()) * 8 >> (8 * i));
  f(h, reinterpret_cast<const uint8_t*>(padded.data()), padded.size() / 64);
  uint8_t out[32];
  for (int i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  return hex(out, 32);
}

// FIPS 180-2 Appendix B (B.1, B.2) and the empty message: every compression.
TEST(Sha256, StandardVectorsOnEveryPath) {
  struct {
    const char* msg;
    const char* want;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (sha256_blocks_fn f : compressions())
    for (const auto& c : cases) EXPECT_EQ(digest_with(f, c.msg), c.want) << c.msg;
}

// FIPS 180-2 B.3 (a million 'a') fed in uneven pieces, and random messages
// of every length around the block edges, against OpenSSL.
TEST(Sha256, StreamingAgreesWithOpenSslForAnySplit) {
  std::string million(1000000, 'a');
  sha256_ctx ctx;
  sha256_init(&ctx);
  for (size_t at = 0, step = 1; at < million.size(); at += step, step = step * 3 % 1021 + 1)
    sha256_update(&ctx, million.data() + at, std::min(step, million.size() - at));
  uint8_t d[32];
  sha256_final(&ctx, d);
  EXPECT_EQ(hex(d, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  std::mt19937 rng(20261210);
  std::vector<uint8_t> data(1000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t n = 0; n < data.size(); n += n < 200 ? 1 : 37) {
    uint8_t want[32];
    SHA256(data.data(), n, want);
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), n / 3);
    sha256_update(&ctx, data.data() + n / 3, n - n / 3);
    sha256_final(&ctx, d);
    EXPECT_EQ(hex(d, 32), hex(want, 32)) << n;
  }
}

}  // namespace

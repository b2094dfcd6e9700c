#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

#include <cstring>
#include <random>

#include "crc32.h"
#include "crypto_paths.h"
#include "test_support.h"

using zor_test::write_file;

namespace {

TEST(Crc32, CheckValuesHaveNoFinalInversion) {
  struct {
    const char* text;
    uint32_t want;
  } cases[] = {{"", 0xFFFFFFFFu}, {"123456789", 0x340BC6D9u}, {"abc", 0xCADBBE3Du}};
  for (const auto& c : cases) EXPECT_EQ(calc_buf_crc(c.text, strlen(c.text)), c.want) << c.text;
}

// Each test runs in a process of its own: here crc32() comes first, as a
// user of the installed library calls it (it read an empty table once).
TEST(Crc32, PiecewiseEqualsWholeWhateverIsCalledFirst) {
  const char text[] = "123456789";
  EXPECT_EQ(crc32(crc32(kCrc32Initial, text, 4), text + 4, 5), 0x340BC6D9u);
  EXPECT_EQ(crc32(0x12345678u, text, 0), 0x12345678u);
}

// zlib's crc32 is the same CRC with a final inversion: every path's is its
// complement, for any length, alignment and split of the region.
TEST(Crc32, EveryPathIsTheComplementOfZlib) {
  std::mt19937 rng(20261208);
  std::vector<uint8_t> data(1 << 17);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  size_t count;
  const crc32_path* paths = crc32_paths(&count);
  for (size_t path = 0; path < count; ++path)
    for (int round = 0; round < 600; ++round) {
      size_t offset = rng() % 64;
      size_t length = round % 4 == 0 ? rng() % 1100 : rng() % (data.size() - offset);
      size_t split = length == 0 ? 0 : rng() % length;
      const uint8_t* p = data.data() + offset;
      uint32_t want = ~static_cast<uint32_t>(::crc32(0, p, static_cast<uInt>(length)));
      uint32_t got = paths[path].update(paths[path].update(kCrc32Initial, p, static_cast<uint32_t>(split)), p + split,
                                        static_cast<uint32_t>(length - split));
      ASSERT_EQ(got, want) << paths[path].name << ": offset " << offset << ", length " << length << ", split " << split;
    }
  if (count == 1) GTEST_SKIP() << "this CPU has no PCLMULQDQ: only the portable path was tested";
}

class CrcFile : public zor_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    data_.resize(40000);
    for (size_t i = 0; i < data_.size(); ++i) data_[i] = static_cast<char>(i * 7 + (i >> 8));
    file_ = path("img.bin");
    write_file(file_, data_);
  }
  uint32_t buf_crc(size_t off, size_t n) const { return calc_buf_crc(data_.data() + off, static_cast<uint32_t>(n)); }
  std::string data_;
  std::string file_;
};

TEST_F(CrcFile, RegionsAndTheirFailureMessages) {
  const int64_t len = 40000;
  struct {
    const char* what;
    int64_t offset;
    uint32_t size;
    uint32_t want;
    std::string err;
  } cases[] = {
      {"whole file", 0, 0, buf_crc(0, len), ""},
      {"from 4 to the end", 4, 0, buf_crc(4, len - 4), ""},
      {"bytes 4..19", 4, 16, buf_crc(4, 16), ""},
      {"one chunk", 0, 16384, buf_crc(0, 16384), ""},
      {"two chunks", 0, 16385, buf_crc(0, 16385), ""},
      {"offset at the end: empty", len, 0, 0xFFFFFFFFu, ""},
      {"size equal to the rest", 100, 39900, buf_crc(100, 39900), ""},
      {"size one too large", 100, 39901, 0, "checkSz 39901 > max 39900\n"},
      {"offset past the end", len + 10, 0, 0, "78:read 0.\n"},
      {"negative offset", -5, 0, 0, "78:read 22.\n"},
  };
  for (const auto& c : cases) {
    errno = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(calc_img_crc(file_.c_str(), c.offset, c.size), c.want) << c.what;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.what;
  }
}

// A missing path's L117 line is checked through calc_img_crc in Lua.
TEST_F(CrcFile, NullStreamIsABadParameter) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(calc_img_crc(static_cast<FILE*>(nullptr), 0, 0), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "bad param!!\n");
}

TEST_F(CrcFile, CheckImgCrcMatchAndMismatch) {
  FILE* f = fopen(file_.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  uint32_t good = buf_crc(8, 100);
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_img_crc(f, 8, good, 100), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  errno = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_img_crc(f, 8, good ^ 1, 100), -1);
  char want[128];
  snprintf(want, sizeof want, "95:genCrc 0x%x != orgCrc 0x%x, error(0).\n", good, good ^ 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), want);
  fclose(f);
}

// 0 doubles as the failure value: a failed computation must not "match" 0.
TEST_F(CrcFile, FailedComputationNeverMatchesExpectedZero) {
  FILE* f = fopen(file_.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_img_crc(f, 0, 0, 50000), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("checkSz 50000 > max 40000\n"), std::string::npos) << err;
  EXPECT_NE(err.find("95:genCrc 0x0 != orgCrc 0x0"), std::string::npos) << err;
  fclose(f);
}

// A sparse file of 4 GiB + 8 bytes: the 32-bit remaining length would wrap to
// 8, so a whole-file CRC must be refused rather than computed over 8 bytes.
TEST_F(CrcFile, RegionBeyondFourGiBIsRefusedNotWrapped) {
  std::string big = path("big.bin");
  int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  const off_t len = (off_t{1} << 32) + 8;
  if (ftruncate(fd, len) != 0) {
    close(fd);
    GTEST_SKIP() << "no sparse files here";
  }
  close(fd);
  testing::internal::CaptureStderr();
  EXPECT_EQ(calc_img_crc(big.c_str(), 0, 0), 0u);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("does not fit a 32-bit length"), std::string::npos) << err;
  // A small region near the end is still exact.
  const char zeros[16] = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(calc_img_crc(big.c_str(), len - 16, 16), calc_buf_crc(zeros, 16));
  EXPECT_EQ(calc_img_crc(big.c_str(), 4, 100), calc_buf_crc(std::string(100, '\0').data(), 100));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace

#include <sys/resource.h>
#include <sys/stat.h>

#include "ZorFwAicGen.h"
#include "test_support.h"
#include "files.h"

using zor_test::read_file;
using zor_test::run_in_child;
using zor_test::to_hex;
using zor_test::write_file;

namespace {

class Keys : public zor_test::TempDirTest {
 protected:
  // Generates a key in the file form inside a child, capturing both streams.
  zor_test::child_result gen(const std::string& name, int32_t len, const std::string& bin = "",
                             const std::string& text = "") {
    std::string b = bin.empty() ? path("key.bin") : bin, t = text.empty() ? path("key.txt") : text;
    return run_in_child([&] {
      std::vector<uint8_t> work(3 * static_cast<size_t>(len > 0 ? len : 0) + 3);
      return zor_ramdom_key_gen(b.c_str(), t.c_str(), name.c_str(), len, work.data());
    });
  }
  int32_t hex_to_buf(const std::string& line_text, uint8_t* buf, int32_t nbytes, std::string& line) {
    write_file(path("in.txt"), line_text);
    testing::internal::CaptureStderr();
    int32_t r = zor_hexstr_key_to_int_buf(path("in.txt").c_str(), buf, nbytes, line);
    err_ = testing::internal::GetCapturedStderr();
    return r;
  }
  int32_t hex_to_file(const std::string& line_text) {
    write_file(path("in.txt"), line_text);
    testing::internal::CaptureStderr();
    int32_t r = zor_hexstr_key_to_int_buf(path("in.txt").c_str(), path("out.bin").c_str());
    err_ = testing::internal::GetCapturedStderr();
    return r;
  }
  std::string err_;
};

TEST_F(Keys, SixteenByteKeyInBothFilesDescribesTheSameKey) {
  mode_t old = umask(0);
  auto r = gen("product", 16);
  umask(old);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string bin = read_file(path("key.bin")), text = read_file(path("key.txt"));
  ASSERT_EQ(bin.size(), 16u);
  ASSERT_EQ(text.size(), 50u);
  EXPECT_EQ(text.substr(0, 17), "product      = 0x");
  std::string want_digits;
  for (int w = 0; w < 4; ++w)
    for (int b = 3; b >= 0; --b) want_digits += to_hex(reinterpret_cast<const uint8_t*>(&bin[4 * w + b]), 1);
  EXPECT_EQ(text.substr(17), want_digits + "\n");
  EXPECT_EQ(r.out, "Parsing key:product\nok in gen key[" + text.substr(0, 49) + "]\n");
  for (const auto& f : {path("key.bin"), path("key.txt")}) {
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  // The conversion reproduces the binary key file byte for byte.
  ASSERT_EQ(zor_hexstr_key_to_int_buf(path("key.txt").c_str(), path("back.bin").c_str()), 0);
  EXPECT_EQ(read_file(path("back.bin")), bin);
}

TEST_F(Keys, LengthsAndNames) {
  struct {
    std::string name;
    int32_t len;
    int status;
    size_t bin_size, text_size;
    std::string text_start;
  } cases[] = {
      {"twelve_bytes", 4, 0, 4, 26, "twelve_bytes = 0x"},
      {"", 8, 0, 8, 34, "             = 0x"},
      {"z", 0, 0, 0, 18, "z            = 0x\n"},
      {"odd", 6, 0, 6, 26, "odd          = 0x"},
      {"thirteen_byte", 16, 160, 0, 0, ""},
  };
  for (const auto& c : cases) {
    auto r = gen(c.name, c.len);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(read_file(path("key.bin")).size(), c.bin_size) << c.name;
    std::string text = read_file(path("key.txt"));
    EXPECT_EQ(text.size(), c.text_size) << c.name;
    EXPECT_EQ(text.substr(0, c.text_start.size()), c.text_start) << c.name;
  }
  auto r = gen("thirteen_byte", 16);
  EXPECT_EQ(r.err, "key len too big\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Keys, FailuresLeaveTheDocumentedFiles) {
  auto r = gen("k", 16, path("key.bin"), path("no/dir/key.txt"));
  EXPECT_EQ(r.status, 154);
  EXPECT_EQ(r.err, "fail to open file " + path("no/dir/key.txt") + "for write\n");
  EXPECT_TRUE(is_regular_file(path("key.bin").c_str()));
  EXPECT_EQ(read_file(path("key.bin")), "");

  r = gen("k", -4, path("neg.bin"), path("neg.txt"));
  EXPECT_EQ(r.status, 146);
  EXPECT_FALSE(is_path_existed(path("neg.bin").c_str()));

  // Data that cannot be stored is a failure, never "ok".
  r = gen("k", 16, "/dev/full", path("t.txt"));
  EXPECT_EQ(r.status, 168);
  EXPECT_EQ(r.out, "Parsing key:k\nFail in write keybuf to rawbinfile\n");
  EXPECT_EQ(r.err, "fail in create_a_rnd_key \n");
}

// With no file descriptor left, the random device cannot be opened.
TEST_F(Keys, RandomDeviceUnavailable) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime needs file descriptors of its own to report";
#endif
  auto limited = [](int extra, const std::function<int()>& fn) {
    return run_in_child([&] {
      int lowest = dup(0);
      close(lowest);
      struct rlimit lim = {static_cast<rlim_t>(lowest + extra), static_cast<rlim_t>(lowest + extra)};
      setrlimit(RLIMIT_NOFILE, &lim);
      return fn();
    });
  };
  uint8_t work[64];
  auto r = limited(2, [&] {
    return zor_ramdom_key_gen(path("r.bin").c_str(), path("r.txt").c_str(), "k", 16, work);
  });
  EXPECT_EQ(r.status, 168);
  EXPECT_EQ(r.out, "Parsing key:k\nFail in open DEVURANDOM(/dev/urandom)\n");
  EXPECT_EQ(read_file(path("r.bin")), "");
  EXPECT_EQ(read_file(path("r.txt")), "");
  r = limited(0, [&] {
    std::string line;
    int32_t code = zor_ramdom_key_gen("k", 16, work, line);
    return code == 297 && line == "k            = " ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "fail in create_a_rnd_key \n");
}

TEST_F(Keys, StringFormLine) {
  uint8_t work[15];
  std::string line = "old";
  ASSERT_EQ(zor_ramdom_key_gen("ab", 4, work, line), 0);
  ASSERT_EQ(line.size(), 26u);
  EXPECT_EQ(line.substr(0, 17), "ab           = 0x");
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.substr(17, 8), std::string(reinterpret_cast<char*>(work + 6), 8));
  EXPECT_EQ(zor_ramdom_key_gen("abcdefghijklm", 4, work, line), 289);
  EXPECT_EQ(line, "abcdefghijklm");
}

TEST_F(Keys, HexConversionToBuffer) {
  struct {
    std::string line;
    int32_t nbytes;
    int32_t want;
    std::string bytes;  // hex of the buffer on success
    std::string err;
  } cases[] = {
      {"key = 0x0123456789abcdef\n", 8, 0, "67452301efcdab89", ""},
      {"k = 0xABCDEF01", 4, 0, "01efcdab", ""},
      {"k = 0x12zz5678", 4, 0, "12000000", ""},
      {"k = 0x0123456789abcdef\r\nnext", 8, 0, "67452301efcdab89", ""},
      {"k = 0x01234567        ", 8, 0, "6745230100000000", ""},
      {"k = 0x1234567", 4, 251, "", "illegal len (9) of str <0x1234567>\nFail in convert IN to bin\n"},
      {"k = 0x", 4, 251, "", "illegal len (2) of str <0x>\nFail in convert IN to bin\n"},
      {"k = 0x" + std::string(24, 'a'), 16, -256, "", "IN:want len 24 but nbytes 16\n"},
      {"k = 0x12345678", 0, -256, "", "IN:want len 8 but nbytes 0\n"},
      {"k = 0x12345678", -4, -256, "", "IN:want len 8 but nbytes -4\n"},
      {"no key here", 4, 241, "", "IN: no key text (\"0x...\") in the first line\n"},
      {"", 4, 241, "", "IN: no key text (\"0x...\") in the first line\n"},
  };
  for (auto& c : cases) {
    uint8_t buf[16];
    memset(buf, 0xCC, sizeof buf);
    std::string line;
    EXPECT_EQ(hex_to_buf(c.line, buf, c.nbytes, line), c.want) << c.line;
    std::string err = c.err;
    for (size_t at; (at = err.find("IN")) != std::string::npos;) err.replace(at, 2, path("in.txt"));
    EXPECT_EQ(err_, err) << c.line;
    if (c.want == 0)
      EXPECT_EQ(to_hex(buf, c.nbytes), c.bytes) << c.line;
    else
      EXPECT_EQ(to_hex(buf, 16), std::string(32, 'c')) << "buffer untouched: " << c.line;
    std::string first = c.line.substr(0, c.line.find('\n'));
    if (!first.empty() && first.back() == '\r') first.pop_back();
    EXPECT_EQ(line, first + "\n") << c.line;
  }
}

TEST_F(Keys, HexConversionToFile) {
  EXPECT_EQ(hex_to_file("k = 0x0123456789abcdef\n"), 0);
  EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t*>(read_file(path("out.bin")).data()), 8), "67452301efcdab89");
  EXPECT_EQ(hex_to_file("k = 0x0123456789abcdef\r\n"), 209);  // the CR counts here
  EXPECT_EQ(err_, "illegal len (19) of str <0x0123456789abcdef\r>\n");
  EXPECT_EQ(read_file(path("out.bin")), "");
  EXPECT_EQ(hex_to_file("nothing"), 205);
  EXPECT_EQ(read_file(path("out.bin")), "");
  // Input and output may be the same file: it is read before it is replaced.
  write_file(path("same"), "k = 0x78563412\n");
  EXPECT_EQ(zor_hexstr_key_to_int_buf(path("same").c_str(), path("same").c_str()), 0);
  EXPECT_EQ(read_file(path("same")), "\x12\x34\x56\x78");
  testing::internal::CaptureStderr();
  EXPECT_EQ(zor_hexstr_key_to_int_buf(path("none").c_str(), path("o").c_str()), 187);
  EXPECT_EQ(zor_hexstr_key_to_int_buf(path("same").c_str(), path("no/o").c_str()), 202);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fail to open file " + path("none") + " for read \nfail in open file " +
                                                        path("no/o") + "for write \n");
  write_file(path("in.txt"), "k = 0x12345678\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(zor_hexstr_key_to_int_buf(path("in.txt").c_str(), "/dev/full"), 215);
  testing::internal::GetCapturedStderr();
}

}  // namespace

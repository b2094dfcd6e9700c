#include <cwchar>

#include "test_support.h"
#include "duk_area.h"
#include "files.h"
#include "text.h"

using zor_test::read_file;
using zor_test::write_file;

namespace {

const std::string kRange = "ERR[TLS]f(util)L467:fail in pase_num, out of range\n";

TEST(ParseNum, SuffixesBasesLimitsAndEndPosition) {
  struct {
    const char* text;
    int64_t want;
    int end;  // offset of *end on success
    bool logs;
  } cases[] = {
      {"4k", 4000, 2, false},        {"4K", 4000, 2, false},        {"2M", 2000000, 2, false},
      {"1g", 1000000000, 2, false},  {"0x10k", 16000, 5, false},    {"010", 8, 3, false},
      {"  7", 7, 3, false},          {"12", 12, 2, false},          {"12kb", 12000, 3, false},
      {"-0", 0, 2, false},           {"", -1, 0, false},            {"k", -1, 0, false},
      {"abc", -1, 0, false},         {"9223372036854775k", 9223372036854775000, 17, false},
      {"9223372036854776k", -1, 0, true},  {"18014398509481983k", -1, 0, false},
      {"18014398509481982k", -1, 0, true}, {"17592186044415m", -1, 0, false},
      {"17179869183g", -1, 0, false},      {"-1", -1, 0, true},
      {"9223372036854775808", -1, 0, true}, {"18446744073709551616", -1, 0, true},
      {"9223372036854775807", INT64_MAX, 19, false},
  };
  for (const auto& c : cases) {
    const char* sentinel = "untouched";
    const char* end = sentinel;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_num(c.text, &end), c.want) << c.text;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.logs ? kRange : "") << c.text;
    if (c.want >= 0)
      EXPECT_EQ(end, c.text + c.end) << c.text;
    else
      EXPECT_EQ(end, sentinel) << c.text;
  }
  EXPECT_EQ(parse_num("5G", nullptr), 5000000000);
}

TEST(StdStringFormat, ReplacesContentsWhateverTheLength) {
  std::string out = "previous contents";
  EXPECT_EQ(&std_string_format(out, "%d-%s", 7, "ab"), &out);
  EXPECT_EQ(out, "7-ab");
  std_string_format(out, "%s|%05d", std::string(5000, 'x').c_str(), 42);
  EXPECT_EQ(out, std::string(5000, 'x') + "|00042");
  // A wide character the C locale cannot render makes the measuring pass fail.
  const wchar_t bad[] = {0x20AC, 0};
  std_string_format(out, "%ls", bad);
  EXPECT_EQ(out, "");
}

class DukArea : public zor_test::TempDirTest {};

TEST_F(DukArea, ZeroesExactlyTheAreaAndGrowsShortFiles) {
  struct {
    size_t size;
    size_t want_size;
  } cases[] = {{20000, 20000}, {5000, 12320}, {12320, 12320}};
  for (const auto& c : cases) {
    std::string p = path("fw" + std::to_string(c.size));
    std::string data(c.size, '\xAB');
    write_file(p, data);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zor_hdcp22_fwle_clr_dukArea(p.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string got = read_file(p);
    ASSERT_EQ(got.size(), c.want_size);
    for (size_t i = 0; i < got.size(); ++i) {
      bool in_area = i >= 10240 && i < 12320;
      char want = in_area || i >= c.size ? '\0' : '\xAB';
      if (got[i] != want) {
        ADD_FAILURE() << "size " << c.size << ": byte " << i;
        break;
      }
    }
  }
}

// Reporting success when nothing was wiped would leave key material behind.
TEST_F(DukArea, FailureToWipeIsNeverSuccess) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(zor_hdcp22_fwle_clr_dukArea(path("missing").c_str()), 550);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERR[TLS]f(util)L549:Fail in open fwle " + path("missing") + "\n");
  EXPECT_FALSE(is_path_existed(path("missing").c_str()));
  // A full device fails at the write or, when buffered, at the flush.
  testing::internal::CaptureStderr();
  int32_t r = zor_hdcp22_fwle_clr_dukArea("/dev/full");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(r == 556 || r == 558) << r;
  EXPECT_EQ(err, "ERR[TLS]f(util)L" + std::to_string(r - 1) +
                     ":Fail in clear duk area of fwle /dev/full: No space left on device\n");
}

}  // namespace

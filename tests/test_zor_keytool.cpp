// Runs the real zor_keytool.
#include "test_support.h"

using zor_test::read_file;
using zor_test::run_program;
using zor_test::to_hex;

namespace {

class Keytool : public zor_test::TempDirTest {};

TEST_F(Keytool, GenerateConvertAndUsageErrors) {
  const std::string tool = std::string(ZOR_BIN_DIR) + "/zor_keytool";
  auto r = run_program(tool, {"gen", "prod", "32", path("p.bin"), path("p.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run_program(tool, {"hex2bin", "--len", "32", path("p.txt")});
  EXPECT_EQ(r.status, 0);
  std::string bin = read_file(path("p.bin"));
  EXPECT_EQ(r.out, to_hex(reinterpret_cast<const uint8_t*>(bin.data()), 32) + "\n");
  r = run_program(tool, {"gen", "prod", "16"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 50u);
  EXPECT_EQ(run_program(tool, {"hex2bin", "--len", "16", path("p.txt")}).status, 1);
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"gen"}, {"gen", "a", "x"}, {"gen", "a", "4", "onlyone"}, {"hex2bin", path("p.txt")}})
    EXPECT_EQ(run_program(tool, args).status, 2) << (args.empty() ? "" : args.back());
}

}  // namespace

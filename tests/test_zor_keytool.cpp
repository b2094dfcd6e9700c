// Runs the real zor_keytool.
#include "key_fingerprint.h"
#include "test_support.h"
#include "files.h"

using zor_test::read_file;
using zor_test::run_program;
using zor_test::to_hex;
using zor_test::write_file;

namespace {

class Keytool : public zor_test::TempDirTest {};

TEST_F(Keytool, GenerateConvertAndUsageErrors) {
  const std::string tool = std::string(ZOR_BIN_DIR) + "/zor_keytool";
  auto r = run_program(tool, {"gen", "prod", "32", path("p.bin"), path("p.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string bin = read_file(path("p.bin")), text = read_file(path("p.txt"));
  // The secret stays in its files: what is shown names it by fingerprint.
  EXPECT_NE(r.out.find("key fingerprint " + key_fingerprint(reinterpret_cast<const uint8_t*>(bin.data()), 32)),
            std::string::npos) << r.out;
  for (size_t word = 0; word < 8; ++word)
    EXPECT_EQ((r.out + r.err).find(text.substr(17 + 8 * word, 8)), std::string::npos) << r.out << r.err;
  r = run_program(tool, {"hex2bin", "--len", "32", path("p.txt")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, to_hex(reinterpret_cast<const uint8_t*>(bin.data()), 32) + "\n");
  r = run_program(tool, {"gen", "prod", "16"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 50u);
  EXPECT_EQ(run_program(tool, {"hex2bin", "--len", "16", path("p.txt")}).status, 1);
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"gen"}, {"gen", "a", "x"}, {"gen", "a", "4", "onlyone"}, {"hex2bin", path("p.txt")}})
    EXPECT_EQ(run_program(tool, args).status, 2) << (args.empty() ? "" : args.back());
}

TEST_F(Keytool, RefusesUnsafeArgumentsBeforeTouchingAnyFile) {
  const std::string tool = std::string(ZOR_BIN_DIR) + "/zor_keytool";
  const std::string bin = path("k.bin"), text = path("k.txt"), old = path("old.bin");
  write_file(old, "old");
  write_file(path("in.txt"), "k = 0x12345678\n");
  struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"gen", "k", "0", bin, text}, 2, "len"},
      {{"gen", "k", "6", bin, text}, 2, "multiple of 4"},
      {{"gen", "k", "-4", bin, text}, 2, "len"},
      {{"gen", "k", "4100", bin, text}, 2, "len"},
      {{"gen", "k", "2147483647"}, 2, "len"},  // died of std::bad_alloc
      {{"gen", "k", "16", bin, bin}, 2, "two different files"},
      {{"gen", "k", "16", old, path("../" + dir_.substr(5) + "/old.bin")}, 2, "two different files"},
      {{"gen", "k", "16", old, text}, 1, old + " exists"},
      {{"gen", "k", "16", bin, old}, 1, old + " exists"},
      {{"hex2bin", path("in.txt"), old}, 1, old + " exists"},
      {{"hex2bin", "--len", "0", path("in.txt")}, 2, "--len"},
      {{"hex2bin", "--len", "4097", path("in.txt")}, 2, "--len"},
      {{"gen", "k", "16", path("no/k.bin"), text}, 1, "zor_keytool: " + path("no/k.bin") + ": No such file or directory"},
      {{"hex2bin", path("none.txt"), bin}, 1, "zor_keytool: " + path("none.txt") + ": No such file or directory"},
  };
  for (const auto& c : cases) {
    auto r = run_program(tool, c.args);
    EXPECT_EQ(r.status, c.status) << c.args[2];
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_FALSE(is_path_existed(bin.c_str()));
    EXPECT_FALSE(is_path_existed(text.c_str()));
    EXPECT_EQ(read_file(old), "old");
  }
  EXPECT_EQ(run_program(tool, {"gen", "k", "16", "--force", old, text}).status, 0);
  EXPECT_EQ(read_file(old).size(), 16u);
}

// With stdout closed, the "ok in gen key" line went into the binary key file.
TEST_F(Keytool, ClosedStdoutNeverReceivesMessages) {
  const std::string tool = std::string(ZOR_BIN_DIR) + "/zor_keytool";
  auto r = run_program(tool, {"gen", "prod", "32", path("k.bin"), path("k.txt")}, "", [] { close(1); });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(path("k.bin")).size(), 32u);
  EXPECT_EQ(read_file(path("k.txt")).size(), 17u + 64u + 1u);
}

TEST_F(Keytool, RunningOutOfMemoryIsAFailureNotAnAbort) {
  const std::string tool = std::string(ZOR_BIN_DIR) + "/zor_keytool";
  zor_test::run_out_of_memory(tool, {"gen", "k", "16", "--force", path("k.bin"), path("k.txt")}, 3,
                              [](int budget, const zor_test::child_result& r) {
                                EXPECT_EQ(r.status, 1) << "budget " << budget << ": " << r.err;
                              });
}

}  // namespace

// hex2bin --force into another user's symlink left the key in their file; a
// dangling symlink was followed even without --force; a FIFO blocked.
TEST_F(Keytool, KeyFilesGoOnlyWhereTheyAreMeant) {
  const std::string tool = std::string(ZOR_BIN_DIR) + "/zor_keytool";
  write_file(path("in.txt"), "k = 0x12345678\n");
  write_file(path("victim"), "victim");
  struct {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string err;
  } cases[] = {
      {"symlink", [&](const std::string& t) { ASSERT_EQ(symlink(path("victim").c_str(), t.c_str()), 0); },
       "is a symbolic link"},
      {"dangling symlink", [&](const std::string& t) { ASSERT_EQ(symlink(path("nowhere").c_str(), t.c_str()), 0); },
       "is a symbolic link"},
      {"FIFO", [&](const std::string& t) { ASSERT_EQ(mkfifo(t.c_str(), 0600), 0); }, "is not a regular file"},
      {"another user's file", [&](const std::string& t) {
         write_file(t, "theirs");
         ASSERT_EQ(chown(t.c_str(), 65534, 65534), 0);
       }, "belongs to another user"},
      {"hard link", [&](const std::string& t) { ASSERT_EQ(link(path("victim").c_str(), t.c_str()), 0); },
       "has other names"},
  };
  for (const auto& c : cases) {
    const std::string target = path("target");
    c.make(target);
    for (bool force : {false, true}) {
      std::vector<std::string> args = {"hex2bin", path("in.txt"), target};
      if (force) args.insert(args.begin() + 1, "--force");
      auto r = run_program(tool, args);
      EXPECT_EQ(r.status, 1) << c.what;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << ": " << r.err;
    }
    EXPECT_EQ(read_file(path("victim")), "victim") << c.what;
    EXPECT_FALSE(is_path_existed(path("nowhere").c_str())) << c.what;
    unlink(target.c_str());
  }
  // A key file of one's own is replaced with --force, by a new inode.
  write_file(path("own.bin"), "old");
  ASSERT_EQ(run_program(tool, {"hex2bin", "--force", path("in.txt"), path("own.bin")}).status, 0);
  EXPECT_EQ(read_file(path("own.bin")), std::string("\x78\x56\x34\x12", 4));
}

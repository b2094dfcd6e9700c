// Runs the real launcher, copied into a temporary folder with its
// configuration folder and a bundle.
#include <sys/stat.h>

#include "bundle_helpers.h"
#include "test_support.h"
#include "files.h"
#include "text.h"

using zor_test::lines_starting;
using zor_test::read_file;
using zor_test::run_program;
using zor_test::write_file;

namespace {

const std::string kLauncher = std::string(ZOR_BIN_DIR) + "/zor_update_whole_package";
const std::string kEntry = "zor_update_whole_package.lua";

// Reports the argument table, one c_dbgMsg line per field.
const char kReportArgs[] = R"(
local a = ...
c_dbgMsg("ARG:", "n=" .. a.n .. "\n")
for i = 1, a.n do c_dbgMsg("ARG:", "[" .. i .. "]=" .. a[i] .. "\n") end
c_dbgMsg("ARG:", "fwDir=" .. a.fwDir .. "\n")
c_dbgMsg("ARG:", "unpackDir=" .. a.unpackDir .. "\n")
c_dbgMsg("ARG:", "compiletime=" .. a.compiletime .. "\n")
c_dbgMsg("ARG:", "lib=" .. require("lib").name .. "\n")
return true
)";

class Launcher : public zor_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    bin_ = path("bin");
    config_ = bin_ + "/zor_update_whole_package_config/";
    ASSERT_EQ(mkdir(bin_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(config_.c_str(), 0700), 0);
    exe_ = bin_ + "/zor_update_whole_package";
    write_file(exe_, read_file(kLauncher));
    ASSERT_EQ(chmod(exe_.c_str(), 0700), 0);
  }
  void TearDown() override {
    for (const auto& d : unpack_dirs_) remove_directory(d.c_str());
    TempDirTest::TearDown();
  }
  // The launcher leaves its unpack directory by design; the tests do not.
  void forget_new_unpack_dirs(const std::vector<std::string>& before) {
    for (const auto& d : zor_test::unpack_dirs_in_tmp())
      if (!std::binary_search(before.begin(), before.end(), d)) unpack_dirs_.push_back(d);
  }
  void install(const std::vector<bundle_item>& items) {
    std::vector<uint8_t> image = zor_test::sealed_image(items);
    write_file(config_ + "nuvex.zor", std::string(image.begin(), image.end()));
  }
  zor_test::child_result run(const std::vector<std::string>& args = {}, const std::string& exe = "",
                             const std::string& cwd = "", const std::function<void()>& setup = {}) {
    auto before = zor_test::unpack_dirs_in_tmp();
    auto r = run_program(exe.empty() ? exe_ : exe, args, cwd, setup);
    auto reported = lines_starting(r.err, "ARG:unpackDir=");
    if (!reported.empty()) last_unpack_ = reported[0].substr(14);
    forget_new_unpack_dirs(before);
    return r;
  }
  std::string bin_, config_, exe_;
  std::vector<std::string> unpack_dirs_;
  std::string last_unpack_;
};

TEST_F(Launcher, RunPassesArgumentTableAndLeavesUnpackedFiles) {
  install({{"fw.img", std::string("\0\1\2", 3)}, {"lib.lua", "return {name = 'lib'}"}, {kEntry, kReportArgs}});
  auto r = run({"a", "b c"}, "", "/");
  EXPECT_EQ(r.status, 0) << r.err;
  auto args = lines_starting(r.err, "ARG:");
  ASSERT_EQ(args.size(), 7u) << r.err;
  EXPECT_EQ(r.err.rfind("MSG[TLS]Unpacking0...\n", 0), 0u);
  EXPECT_EQ(args[0], "ARG:n=2");
  EXPECT_EQ(args[1], "ARG:[1]=a");
  EXPECT_EQ(args[2], "ARG:[2]=b c");
  EXPECT_EQ(args[3], "ARG:fwDir=" + config_);
  EXPECT_EQ(args[5], std::string("ARG:compiletime=") + __DATE__);
  EXPECT_EQ(args[6], "ARG:lib=lib");
  const std::string& unpack = last_unpack_;
  EXPECT_EQ(args[4], "ARG:unpackDir=" + unpack);
  EXPECT_EQ(unpack.rfind("/tmp/tmpdir.", 0), 0u);
  EXPECT_TRUE(is_dir(unpack.c_str()));
  EXPECT_EQ(read_file(unpack + "fw.img"), std::string("\0\1\2", 3));
}

TEST_F(Launcher, FoundThroughLinksAndFromAnyDirectory) {
  install({{"lib.lua", "return {name = 'lib'}"}, {kEntry, kReportArgs}});
  std::string link = path("elsewhere");
  ASSERT_EQ(symlink(exe_.c_str(), link.c_str()), 0);
  auto r = run({}, link, path(""));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_starting(r.err, "ARG:fwDir=").at(0), "ARG:fwDir=" + config_);
  // A default build has no signature check: a stray signature file is no matter.
  write_file(config_ + "nuvex.zor.minisig", "not a signature");
  EXPECT_EQ(run().status, 0);
  // A bundle that is a link to a regular file counts as present.
  ASSERT_EQ(rename((config_ + "nuvex.zor").c_str(), path("real.zor").c_str()), 0);
  ASSERT_EQ(symlink(path("real.zor").c_str(), (config_ + "nuvex.zor").c_str()), 0);
  EXPECT_EQ(run().status, 0);
}

TEST_F(Launcher, MissingBundleIsFatal) {
  std::string want = "error: res not existed in path " + config_ + "nuvex.zor\n\n";
  auto r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, want);
  ASSERT_EQ(mkdir((config_ + "nuvex.zor").c_str(), 0700), 0);
  r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, want);
  ASSERT_EQ(rmdir((config_ + "nuvex.zor").c_str()), 0);
  ASSERT_EQ(symlink(path("nothing").c_str(), (config_ + "nuvex.zor").c_str()), 0);
  EXPECT_EQ(run().err, want);
}

TEST_F(Launcher, DamagedBundleEndsWithStatusOne) {
  std::vector<uint8_t> image = zor_test::sealed_image({{kEntry, "return true"}});
  uint32_t crc = zor_load_le32(image.data());
  image[100] ^= 1;
  write_file(config_ + "nuvex.zor", std::string(image.begin(), image.end()));
  auto r = run();
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(lines_starting(r.err, "ERR[TLS]").size(), 2u) << r.err;
  char crc_line[64];
  snprintf(crc_line, sizeof crc_line, "crc err, ori 0x%8x != gen 0x", crc);
  EXPECT_NE(r.err.find("ERR[TLS]f(zor_load_lua_flow)L73:" + std::string(crc_line)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ERR[TLS]f(zor_load_lua_flow)L160:Fail in decrypt and load buf as lua, ret -74\n"
                       "error: FAil unpack firmware\n\n"),
            std::string::npos);

  write_file(config_ + "nuvex.zor", "");
  r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("L155:Fail save res to buf, path[" + config_ + "nuvex.zor], ret -132\n"), std::string::npos);
}

TEST_F(Launcher, EntryOutcomesGiveTheExitStatus) {
  const std::string loader = "ERR[TLS]f(main)L48:Fail in loader[zor_update_whole_package],ret ";
  struct {
    std::vector<bundle_item> items;
    int status;
    std::string err_tail;
  } cases[] = {
      {{{kEntry, "return true"}}, 0, "MSG[TLS]Unpacking0...\n"},
      {{{kEntry, "return false"}}, 207, loader + "1\n"},
      {{{"other.lua", "return true"}}, 207,
       "ERR[TLS]f(zor_load_lua_flow)L279:Fail in get loader(zor_update_whole_package)\n" + loader + "-280\n"},
      {{{kEntry, "\nerror('boom')"}}, 207,
       "MSG[TLS][string \"zor_update_whole_package\"]:2: boom" + loader + "-290\n"},
  };
  for (const auto& c : cases) {
    install(c.items);
    auto r = run();
    EXPECT_EQ(r.status, c.status) << c.err_tail;
    ASSERT_GE(r.err.size(), c.err_tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - c.err_tail.size()), c.err_tail) << r.err;
  }
}

TEST_F(Launcher, SyntaxErrorInBundleIsFatal) {
  auto items = zor_test::five_items_third_broken();
  items.push_back({kEntry, "return true"});
  install(items);
  auto r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("L117:err(3) while load item[c]\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("L160:Fail in decrypt and load buf as lua, ret 3\nerror: FAil unpack firmware\n\n"),
            std::string::npos)
      << r.err;
}

// A closed standard descriptor used to be handed to the first file the
// procedure opened, and the log (or its print) went into the firmware.
TEST_F(Launcher, ClosedStandardDescriptorsNeverReceiveOutput) {
  install({{kEntry, R"(
local a = ...
local f = assert(io.open(a[1], "wb"))
c_dbgMsg("MSG[TLS]", "writing\n")
print("to stdout")
io.stdout:flush()
f:write("FIRMWARE")
f:close()
return true)"}});
  for (int fd : {1, 2}) {
    std::string firmware = path("fw" + std::to_string(fd));
    auto r = run({firmware}, "", "", [fd] { close(fd); });
    EXPECT_EQ(r.status, 0) << "fd " << fd << ": " << r.err;
    EXPECT_EQ(read_file(firmware), "FIRMWARE") << "fd " << fd;
  }
}

// Every single point at which memory can run out, from the first allocation
// in main on, ends in the fatal path (status 1) or the entry failure (207):
// never Lua's panic or an uncaught exception, which abort.
TEST_F(Launcher, RunningOutOfMemoryAnywhereNeverAborts) {
  install({{kEntry, "return require('lib').ok"}, {"lib.lua", "return {ok = true}"}, {"fw.bin", "x"}});
  auto before = zor_test::unpack_dirs_in_tmp();
  int panics = 0;
  int failed = zor_test::run_out_of_memory(exe_, {}, 1, [&](int budget, const zor_test::child_result& r) {
    ASSERT_TRUE(r.status == 1 || r.status == 207) << "budget " << budget << ": status " << r.status << "\n" << r.err;
    if (r.status == 1) {
      EXPECT_NE(r.err.find("error: "), std::string::npos) << budget;
    }
    if (r.err.find("ERR[TLS]f(main)L36:Lua error outside a protected call: not enough memory\n") != std::string::npos)
      ++panics;
  });
  forget_new_unpack_dirs(before);
  if (failed == 0) GTEST_SKIP() << "the allocation-failure shim cannot be preloaded in this build";
  EXPECT_GT(panics, 0) << "no run reached a Lua error outside a protected call";
}

TEST(LauncherBinary, IsHardened) {
  if (!ZOR_HARDENED) GTEST_SKIP() << "sanitizer and fuzz builds are not hardened";
  struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-dW", kLauncher}, "BIND_NOW"},
      {{"-lW", kLauncher}, "GNU_RELRO"},
      {{"--dyn-syms", "-W", kLauncher}, "__stack_chk_fail"},
      {{"-hW", kLauncher}, "DYN (Position-Independent Executable file)"},
  };
  for (const auto& c : cases) {
    auto r = run_program("readelf", c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.want), std::string::npos) << c.want;
  }
}

}  // namespace

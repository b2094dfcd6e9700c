#include <functional>

#include "bundle_helpers.h"
#include "chunk_compile.h"
#include "test_support.h"
#include "files.h"
#include "text.h"
#include "zor_load_lua_flow.h"

using zor_test::entry_at;
using zor_test::plain_image;
using zor_test::read_file;
using zor_test::seal;
using zor_test::sealed_image;
using zor_test::write_file;

namespace {

const std::string kErr = "ERR[TLS]f(zor_load_lua_flow)";

class BundleReader : public zor_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(zor_lua_state_init(&L_), 0);
    unpack_ = dir_ + "/";
  }
  void TearDown() override {
    zor_lua_state_exit(L_);
    TempDirTest::TearDown();
  }
  // Loads an image, capturing stderr into err_.
  int32_t load(std::vector<uint8_t> image, bool with_state = true, bool with_dir = true) {
    testing::internal::CaptureStderr();
    int32_t r = lua_item_decrypt_and_load(image.data(), static_cast<int32_t>(image.size()), with_state ? L_ : nullptr,
                                          with_dir ? unpack_.c_str() : nullptr);
    err_ = testing::internal::GetCapturedStderr();
    return r;
  }
  // What preload[module]() returns, or "<none>" when it is not registered.
  std::string preload(const std::string& module) {
    std::string code = "local f = package.preload['" + module + "'] return f and tostring((f())) or '<none>'";
    if (luaL_dostring(L_, code.c_str()) != LUA_OK) return "<error>";
    std::string r = lua_tostring(L_, -1);
    lua_pop(L_, 1);
    return r;
  }
  lua_State* L_ = nullptr;
  std::string unpack_;
  std::string err_;
};

TEST_F(BundleReader, ScriptsBecomeModulesAndFilesKeepExactBytes) {
  std::string fw("\x00\x01\xff fw \x00", 7);
  int top = lua_gettop(L_);
  EXPECT_EQ(load(sealed_image({{"main.lua", "return 'main'"}, {"lib.zor", "return ..."}, {"fw.img", fw}})), 0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(lua_gettop(L_), top);
  EXPECT_EQ(preload("main"), "main");
  EXPECT_EQ(preload("lib"), "nil");  // called directly: no module name argument
  ASSERT_EQ(luaL_dostring(L_, "return require('lib')"), LUA_OK);
  EXPECT_STREQ(lua_tostring(L_, -1), "lib");  // require passes the module name
  EXPECT_EQ(read_file(path("fw.img")), fw);
}

TEST_F(BundleReader, LaterModuleOfTheSameNameWins) {
  EXPECT_EQ(load(sealed_image({{"a.lua", "return 'first'"}, {"a.zor", "return 'second'"}})), 0);
  EXPECT_EQ(preload("a"), "second");
}

TEST_F(BundleReader, EmptyTableAndTrailingBytesAreAccepted) {
  std::vector<uint8_t> image = sealed_image({{"x.lua", "return 1"}});
  image.resize(image.size() + 13, 0xEE);
  EXPECT_EQ(load(image), 0);
  EXPECT_EQ(load(sealed_image({})), 0);
}

TEST_F(BundleReader, SyntaxErrorInThirdOfFiveStopsThere) {
  EXPECT_EQ(load(sealed_image(zor_test::five_items_third_broken())), LUA_ERRSYNTAX);
  EXPECT_EQ(preload("a"), "a");
  EXPECT_EQ(preload("b"), "b");
  EXPECT_EQ(preload("c"), "<none>");
  EXPECT_EQ(preload("e"), "<none>");
  EXPECT_FALSE(is_path_existed(path("d.bin").c_str()));
  EXPECT_EQ(err_, kErr + "L117:err(3) while load item[c]\n"
                       "MSG[TLS][string \"c\"]:1: unexpected symbol near '='");
}

TEST_F(BundleReader, WithoutStateOnlyFilesAreWritten) {
  EXPECT_EQ(load(sealed_image(zor_test::five_items_third_broken()), false), 0);
  EXPECT_EQ(read_file(path("d.bin")), "dddd");
  EXPECT_EQ(preload("a"), "<none>");
  EXPECT_EQ(load(sealed_image({{"a.lua", "return 'a'"}, {"f", "x"}}), true, false), 0);
  EXPECT_EQ(preload("a"), "a");
  EXPECT_FALSE(is_path_existed(path("f").c_str()));
}

// Every malformed image is refused with its own code, before anything is
// registered or written, and without reading outside the buffer.
TEST_F(BundleReader, MalformedImagesAreRefusedBeforeUse) {
  using tamper_fn = std::function<std::vector<uint8_t>(std::vector<uint8_t>)>;
  auto plain = [] { return plain_image({{"ok.lua", "return 1"}, {"f.bin", "0123456789"}}); };
  struct {
    const char* what;
    tamper_fn make;
    int32_t want;
    std::string line;
  } cases[] = {
      {"bad magic", [&](std::vector<uint8_t> i) { i[8] = 'X'; return i; }, -62, "L61:Err lua img magic\n"},
      {"imgSz beyond buffer", [&](std::vector<uint8_t> i) { zor_store_le32(&i[16], 0x1000); return i; }, -66,
       "L65:res format img sz 0x1000 > bufSz 0xe0\n"},
      {"imgSz below header", [&](std::vector<uint8_t> i) { zor_store_le32(&i[16], 32); return i; }, -68,
       "L67:res format img sz 0x20 below header\n"},
      {"negative imgSz", [&](std::vector<uint8_t> i) { zor_store_le32(&i[16], 0xFFFFFFF0u); return i; }, -68,
       "L67:res format img sz 0xfffffff0 below header\n"},
      {"not whole blocks", [&](std::vector<uint8_t> i) { zor_store_le32(&i[16], 200); return i; }, -70,
       "L69:res format img sz 0xc8 not whole blocks\n"},
      {"crc bit flipped", [&](std::vector<uint8_t> i) { i[0] ^= 0x80; return i; }, -74, ""},
      // A cut-off file gets the usual checks as far as its bytes reach.
      {"cut after the size field", [&](std::vector<uint8_t> i) { i.resize(40); return i; }, -66,
       "L65:res format img sz 0xe0 > bufSz 0x28\n"},
      {"cut after a bad magic", [&](std::vector<uint8_t> i) { i.resize(16); i[8] = 'X'; return i; }, -62,
       "L61:Err lua img magic\n"},
      {"cut inside the size field", [&](std::vector<uint8_t> i) { i.resize(18); return i; }, -58,
       "L57:res buf sz 0x12 shorter than header\n"},
      {"cut inside the magic", [&](std::vector<uint8_t> i) { i.resize(10); return i; }, -58,
       "L57:res buf sz 0xa shorter than header\n"},
      {"table beyond image", [&](std::vector<uint8_t>) { auto p = plain(); zor_store_le32(&p[20], 0x7fffffff);
         return seal(p); }, -80, "L79:res item table entry 2 beyond img sz 0xe0\n"},
      {"negative size", [&](std::vector<uint8_t>) { auto p = plain(); zor_store_le32(entry_at(p, 1) + 8, 0xFFFFFFFFu);
         return seal(p); }, -86, "L85:res item[f.bin] size -1 negative\n"},
      // The first bad slot is the one named, not the last slot read.
      {"bad slot before a sound one", [&](std::vector<uint8_t>) { auto p = plain();
         zor_store_le32(entry_at(p, 0) + 8, 0xFFFFFFFFu); return seal(p); }, -86,
       "L85:res item[ok.lua] size -1 negative\n"},
      {"data beyond image", [&](std::vector<uint8_t>) { auto p = plain(); zor_store_le32(entry_at(p, 1) + 8, 0x7ffffff0);
         return seal(p); }, -88, "L87:res item[f.bin] data 0xc8+0x7ffffff0 beyond img sz 0xe0\n"},
      {"offset + size wraps", [&](std::vector<uint8_t>) { auto p = plain(); zor_store_le32(entry_at(p, 1) + 12, 0xFFFFFFFFu);
         return seal(p); }, -88, "L87:res item[f.bin] data 0xffffffff+0xa beyond img sz 0xe0\n"},
      {"name without NUL", [&](std::vector<uint8_t>) { auto p = plain(); memset(entry_at(p, 1) + 32, 'n', 32);
         return seal(p); }, -90, "L89:res item 1 name not terminated\n"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> image = c.make(sealed_image({{"ok.lua", "return 1"}, {"f.bin", "0123456789"}}));
    EXPECT_EQ(load(image), c.want) << c.what;
    if (!c.line.empty()) {
      EXPECT_EQ(err_, kErr + c.line) << c.what;
    }
    EXPECT_EQ(preload("ok"), "<none>") << c.what;
    EXPECT_FALSE(is_path_existed(path("f.bin").c_str())) << c.what;
  }
}

TEST_F(BundleReader, CrcMismatchShowsBothValuesPadded) {
  std::vector<uint8_t> image = sealed_image({{"x.lua", "return 1"}});
  uint32_t good = zor_load_le32(image.data());
  zor_store_le32(image.data(), 0x1234);
  EXPECT_EQ(load(image), -74);
  char want[128];
  snprintf(want, sizeof want, "L73:crc err, ori 0x    1234 != gen 0x%8x\n", good);
  EXPECT_EQ(err_, kErr + want);
}

TEST_F(BundleReader, UnsafeFileNamesAreRefusedAndEarlierItemsStay) {
  for (const char* bad : {"..", ".", "", "a/b", "../escape"}) {
    std::vector<uint8_t> image = sealed_image({{"first.bin", "1"}, {bad, "evil"}, {"last.bin", "3"}});
    EXPECT_EQ(load(image), -104) << bad;
    EXPECT_EQ(err_, kErr + "L103:refuse file item name[" + bad + "] outside unpack dir\n");
    EXPECT_EQ(read_file(path("first.bin")), "1");
    EXPECT_FALSE(is_path_existed(path("last.bin").c_str()));
    unlink(path("first.bin").c_str());
  }
  EXPECT_FALSE(is_path_existed((dir_ + "/../escape").c_str()));
}

TEST_F(BundleReader, WriteFailureEndsTheLoad) {
  unpack_ = path("missing/");
  EXPECT_EQ(load(sealed_image({{"f.bin", "x"}, {"late.lua", "return 1"}})), -106);
  EXPECT_EQ(err_, "fail in open" + unpack_ + "f.bin\n" + kErr + "L105:Fail save buf as " + unpack_ + "f.bin\n");
  EXPECT_EQ(preload("late"), "<none>");
}

TEST_F(BundleReader, FileFormReportsReadFailuresInTwoLines) {
  write_file(path("empty.zor"), "");
  ASSERT_EQ(mkdir(path("dir.zor").c_str(), 0700), 0);
  struct {
    std::string file;
    std::string lines;
  } cases[] = {
      {path("empty.zor"), kErr + "L131:Fail in get_filesize " + path("empty.zor") + "\n" + kErr +
                              "L155:Fail save res to buf, path[" + path("empty.zor") + "], ret -132\n"},
      {path("none.zor"), "Can't stat " + path("none.zor") + " : No such file or directory\n" + kErr +
                             "L131:Fail in get_filesize " + path("none.zor") + "\n" + kErr +
                             "L155:Fail save res to buf, path[" + path("none.zor") + "], ret -132\n"},
      {path("dir.zor"), kErr + "L141:Fail in read file " + path("dir.zor") + "\n" + kErr +
                            "L155:Fail save res to buf, path[" + path("dir.zor") + "], ret -142\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(lua_item_decrypt_and_load_file(c.file.c_str(), L_, unpack_.c_str()), -156) << c.file;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.lines);
  }
  // A file of 2 GiB or more is refused, not read with a wrapped size.
  std::string big = path("big.zor");
  write_file(big, "");
  if (truncate(big.c_str(), 0x80000000LL) == 0) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(lua_item_decrypt_and_load_file(big.c_str(), L_, unpack_.c_str()), -156);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              kErr + "L133:Fail in get_filesize " + big + ": 0x80000000 bytes is too large\n" + kErr +
                  "L155:Fail save res to buf, path[" + big + "], ret -134\n");
  }
  std::vector<uint8_t> bad = sealed_image({});
  bad[0] ^= 1;
  write_file(path("bad.zor"), std::string(bad.begin(), bad.end()));
  testing::internal::CaptureStderr();
  EXPECT_EQ(lua_item_decrypt_and_load_file(path("bad.zor").c_str(), L_, unpack_.c_str()), -161);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(kErr + "L160:Fail in decrypt and load buf as lua, ret -74\n"), std::string::npos) << err;
}

TEST_F(BundleReader, PrecompiledChunksLoadLikeSource) {
  std::string bytecode, error;
  ASSERT_EQ(chunk_compile_to_stripped_bytecode("return 'compiled'", "p", bytecode, error), 0);
  EXPECT_EQ(load(sealed_image({{"p.zor", bytecode}})), 0);
  EXPECT_EQ(preload("p"), "compiled");
}

}  // namespace

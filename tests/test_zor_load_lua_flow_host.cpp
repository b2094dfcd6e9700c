#include "crc32.h"
#include "test_support.h"
#include "zor_load_lua_flow.h"

using zor_test::write_file;

namespace {

const std::string kErr = "ERR[TLS]f(zor_load_lua_flow)";

class LuaHost : public zor_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(zor_lua_state_init(&L_), 0);
  }
  void TearDown() override {
    zor_lua_state_exit(L_);
    TempDirTest::TearDown();
  }
  // Runs a chunk and returns tostring() of its first result, or "error: ...".
  std::string eval(const std::string& code) {
    testing::internal::CaptureStderr();
    std::string r;
    if (luaL_dostring(L_, ("return tostring((function() " + code + " end)())").c_str()) != LUA_OK)
      r = std::string("error: ") + lua_tostring(L_, -1);
    else
      r = lua_tostring(L_, -1);
    lua_settop(L_, 0);
    err_ = testing::internal::GetCapturedStderr();
    return r;
  }
  // Registers `source` as preload[name] and calls it with one table argument.
  int32_t call(const std::string& name, const std::string& source, bool with_index = true) {
    lua_settop(L_, 0);
    lua_pushstring(L_, source.c_str());
    lua_setglobal(L_, "test_source");
    std::string reg = "if type(package) == 'table' and type(package.preload) == 'table' then "
                      "package.preload.m = nil; package.preload['" + name + "'] = load(test_source) end";
    EXPECT_EQ(luaL_dostring(L_, reg.c_str()), LUA_OK);
    lua_settop(L_, 0);
    lua_pushinteger(L_, 99);  // something below the argument
    lua_createtable(L_, 0, 0);
    lua_pushstring(L_, "payload");
    lua_setfield(L_, -2, "x");
    int32_t index = lua_gettop(L_);
    testing::internal::CaptureStderr();
    int32_t r = zor_lua_call_loader(L_, "m", with_index ? &index : nullptr);
    err_ = testing::internal::GetCapturedStderr();
    return r;
  }
  lua_State* L_ = nullptr;
  std::string err_;
};

TEST_F(LuaHost, DbgMsgWritesOneLineAndAnswersTrueOrNil) {
  struct {
    const char* code;
    const char* result;
    std::string err;
  } cases[] = {
      {"return c_dbgMsg('MSG[TLS]', 'step 1 done\\n')", "true", "MSG[TLS]step 1 done\n"},
      {"return c_dbgMsg('only one')", "nil", kErr + "L170:need 2 arg for c_dbgMsg\n"},
      {"return c_dbgMsg()", "nil", kErr + "L170:need 2 arg for c_dbgMsg\n"},
      {"return c_dbgMsg(1, 2)", "true", "12"},
      {"return c_dbgMsg('P:', '100%% %s %d %n', 'ignored')", "true", "P:100%% %s %d %n"},
      {"return c_dbgMsg(string.rep('p', 120), 'b')", "true", std::string(96, 'p') + "b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eval(c.code), c.result) << c.code;
    EXPECT_EQ(err_, c.err) << c.code;
  }
  EXPECT_NE(eval("return c_dbgMsg({}, 'x')").find("bad argument #1 to 'c_dbgMsg'"), std::string::npos);
}

TEST_F(LuaHost, CalcImgCrcRegions) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 13);
  write_file(path("fw.img"), data);
  auto crc = [&](size_t off, size_t n) {
    return std::to_string(calc_buf_crc(data.data() + off, static_cast<uint32_t>(n)));
  };
  std::string p = "'" + path("fw.img") + "'";
  struct {
    std::string args;
    std::string result;
  } cases[] = {
      {p, crc(4, 296)},          {p + ", 0", crc(0, 300)},    {p + ", 4, 16", crc(4, 16)},
      {p + ", 4.9, 16.7", crc(4, 16)}, {p + ", 'x'", crc(0, 300)}, {p + ", 0, 301", "nil"},
      {p + ", 290, 0", crc(290, 10)},
      // Beyond the int64 range a number saturates: no region, not offset 0.
      {p + ", -1e19", "nil"},    {p + ", 1e19", "nil"},       {p + ", 0, 1e19", "nil"},
      {p + ", 0, -1e19", "nil"},
  };
  for (const auto& c : cases) EXPECT_EQ(eval("return calc_img_crc(" + c.args + ")"), c.result) << c.args;
  EXPECT_EQ(eval("return calc_img_crc('" + path("none") + "')"), "nil");
  EXPECT_EQ(err_, "ERR[TLS]f(crc32)L117:invalid path for crc32 file: " + path("none") + "\n");
}

// sigComment is what the signature verified, byte for byte (a NUL once cut
// it short), and absent when nothing was verified.
TEST_F(LuaHost, ArgTableCarriesTheVerifiedCommentExactly) {
  char* argv[] = {const_cast<char*>("launcher"), nullptr};
  struct {
    zor_bundle_signature sig;
    const char* want;  // the field's type and length
  } cases[] = {{{false, "version:1"}, "nil"}, {{true, std::string("version:1\0x", 11)}, "string 11"}};
  for (const auto& c : cases) {
    lua_settop(L_, 0);
    zor_lua_push_arg_table(L_, "/fw/", "/unpack/", "Jun  9 2020", c.sig, 1, argv);
    lua_setglobal(L_, "t");
    EXPECT_EQ(eval("return type(t.sigComment) .. (t.sigComment and ' ' .. #t.sigComment or '')"), c.want);
  }
}

TEST_F(LuaHost, EntryResultDecidesTheCode) {
  struct {
    const char* source;
    int32_t want;
  } cases[] = {
      {"return true", 0},       {"return 0", 0},           {"return false", 1},
      {"return nil", 1},        {"return", 1},             {"local x = 1", 1},
      {"return false, true", 1}, {"return ...", 0},         {"local t = ... return t.x == 'payload'", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(call("m", c.source), c.want) << c.source;
    EXPECT_EQ(err_, "") << c.source;
    EXPECT_EQ(lua_tointeger(L_, 1), 99) << "value below the argument kept";
  }
}

TEST_F(LuaHost, EntryFailuresAreLoggedWithTheirCodes) {
  EXPECT_EQ(call("m", "error('boom')"), -290);
  EXPECT_EQ(err_, "MSG[TLS][string \"error('boom')\"]:1: boom");
  EXPECT_EQ(call("m", "error({})"), -290);
  EXPECT_EQ(err_, "MSG[TLS](error object is a table value)");
  EXPECT_EQ(call("m", "error(nil)"), -290);
  EXPECT_EQ(err_, "MSG[TLS](error object is a nil value)");
  EXPECT_EQ(call("m", "error(42)"), -290);
  EXPECT_EQ(err_, "MSG[TLS]42");
  EXPECT_EQ(call("other", "return true"), -280);
  EXPECT_EQ(err_, kErr + "L279:Fail in get loader(m)\n");
  EXPECT_EQ(call("m", "return true", false), -266);
  EXPECT_EQ(err_, kErr + "L265:Fail in loader(m): no argument at the given stack index\n");
  luaL_dostring(L_, "package.preload = 5");
  EXPECT_EQ(call("m", "return true"), -275);
  EXPECT_EQ(err_, kErr + "L274:Fail in get table package.preload\n");
  luaL_dostring(L_, "package = nil");
  EXPECT_EQ(call("m", "return true"), -270);
  EXPECT_EQ(err_, kErr + "L269:Fail in get table package\n");
}

}  // namespace

#include "chunk_gate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chunk_compile.h"

namespace {

// Loads `chunk` through the gate into a fresh capped state: the status, and
// in `message` the error text (empty on success).
int gate(const std::string& chunk, std::string& message) {
  lua_State* L = chunk_new_capped_state(kChunkMemoryCap);
  int status = chunk_load(L, chunk.data(), chunk.size(), "m");
  message = status == LUA_OK ? "" : lua_tostring(L, -1);
  chunk_close_capped_state(L);
  return status;
}

std::string compiled(const std::string& source) {
  std::string bytecode, error;
  EXPECT_EQ(chunk_compile_to_bytecode(source, "m", bytecode, error), 0) << error;
  return bytecode;
}

TEST(ChunkGate, SourceAndSoundBytecodePass) {
  std::string stripped, error, message;
  ASSERT_EQ(chunk_compile_to_stripped_bytecode("return 1", "m", stripped, error), 0);
  for (const std::string& chunk : {std::string("return 1"), std::string(), compiled("return {1, 'x', 2.5, true}"),
                                   stripped})
    EXPECT_EQ(gate(chunk, message), LUA_OK) << message;
}

TEST(ChunkGate, MalformedBytecodeIsRefusedBeforeLuaSeesIt) {
  std::string good = compiled("local t = {1, 'x', 2.5, true} return function() return t end"), message;
  // Every truncation is caught by the gate itself, not by Lua's loader.
  for (size_t cut = 1; cut < good.size(); ++cut) {
    EXPECT_EQ(gate(good.substr(0, cut), message), LUA_ERRSYNTAX) << cut;
    EXPECT_EQ(message.rfind("m: bad binary format (", 0), 0u) << cut << ": " << message;
  }
  // Each field the loader trusts, broken on its own, is refused by name.
  const size_t code_size_at = 33 + 1 + 2 + 4 + 4 + 3;  // header, upvalues, source "m", lines, 3 bytes
  int32_t code_size;
  memcpy(&code_size, good.data() + code_size_at, 4);
  const size_t constant_type_at = code_size_at + 4 + 4 * static_cast<size_t>(code_size) + 4;
  ASSERT_EQ(good[constant_type_at], LUA_TNUMBER | 1 << 4) << "the integer constant 1";
  struct {
    size_t at;
    std::string bytes;
    const char* why;
  } cases[] = {
      {4, "\x52", "header is not Lua 5.3 for this platform"},
      {code_size_at, std::string("\xff\xff\xff\x7f", 4), "bad vector size"},
      {constant_type_at, "\x09", "bad constant type"},
  };
  for (const auto& c : cases) {
    std::string bad = good;
    bad.replace(c.at, c.bytes.size(), c.bytes);
    EXPECT_EQ(gate(bad, message), LUA_ERRSYNTAX) << c.why;
    EXPECT_EQ(message, std::string("m: bad binary format (") + c.why + ")");
  }
}

// Lua stores upvalue names into the upvalue array it already has without
// checking their count: one name too many wrote past that array.
TEST(ChunkGate, MoreUpvalueNamesThanUpvaluesNeverReachLua) {
  std::string chunk = compiled("return 1"), message;
  ASSERT_EQ(chunk.substr(chunk.size() - 9), std::string("\x01\0\0\0\x05_ENV", 9));
  chunk[chunk.size() - 9] = 2;
  chunk += "\x02x";
  EXPECT_EQ(gate(chunk, message), LUA_ERRSYNTAX);
  EXPECT_EQ(message, "m: bad binary format (upvalue names do not match the upvalues)");
}

}  // namespace

#include "chunk_compile.h"

#include <lua.hpp>

#include "chunk_gate.h"

namespace {

enum dump_mode { kNoDump, kDumpWithDebugInfo, kDumpStripped };

int dump_writer(lua_State*, const void* p, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
  return 0;
}

int compile(const std::string& source, const std::string& chunk_name, dump_mode mode, std::string* bytecode,
            std::string& error) {
  lua_State* L = chunk_new_capped_state(kChunkMemoryCap);
  if (L == nullptr) {
    error = "not enough memory for a Lua state";
    return LUA_ERRMEM;
  }
  int status = chunk_load(L, source.data(), source.size(), chunk_name.c_str());  // [-0, +1]
  if (status != LUA_OK) {
    const char* msg = lua_tostring(L, -1);  // [-0, +0]: the error object
    error = msg ? msg : "(error object is not a string)";
  } else if (mode != kNoDump) {
    bytecode->clear();
    lua_dump(L, dump_writer, bytecode, mode == kDumpStripped ? 1 : 0);  // [-0, +0]: dumps the function on top
  }
  chunk_close_capped_state(L);
  return status;
}

}  // namespace

int chunk_compile_check(const std::string& source, const std::string& chunk_name, std::string& error) {
  return compile(source, chunk_name, kNoDump, nullptr, error);
}

int chunk_compile_to_bytecode(const std::string& source, const std::string& chunk_name, std::string& bytecode,
                              std::string& error) {
  return compile(source, chunk_name, kDumpWithDebugInfo, &bytecode, error);
}

int chunk_compile_to_stripped_bytecode(const std::string& source, const std::string& chunk_name,
                                       std::string& bytecode, std::string& error) {
  return compile(source, chunk_name, kDumpStripped, &bytecode, error);
}

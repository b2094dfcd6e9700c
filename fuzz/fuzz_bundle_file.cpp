// The bundle reader over raw file bytes, exactly as the launcher reads them.
#include <lua.hpp>

#include "fuzz_support.h"
#include "zor_load_lua_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lua_State* L = zor_fuzz::capped_state();
  static const std::string unpack = [] {
    std::string d = zor_fuzz::scratch_dir() + "/unpack";
    mkdir(d.c_str(), 0700);
    return d + "/";
  }();
  std::string bundle = zor_fuzz::scratch_file("nuvex.zor", data, size);
  int top = lua_gettop(L);
  lua_item_decrypt_and_load_file(bundle.c_str(), L, unpack.c_str());
  if (lua_gettop(L) != top) abort();  // the reader must leave the stack as it found it
  return 0;
}

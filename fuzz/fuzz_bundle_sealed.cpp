// The bundle reader behind the seal: the input is a plain image whose size
// field is made consistent, then sealed with the real key and CRC, so the
// fuzzer reaches the item table, the name rules, the writes and the Lua
// compile. Every load must leave nothing outside the unpack directory and
// only regular files inside it.
#include <lua.hpp>

#include <vector>

#include "fuzz_support.h"
#include "zor_load_lua_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return -1;
  const std::string& root = zor_fuzz::scratch_dir();
  std::string unpack = root + "/unpack";
  mkdir(unpack.c_str(), 0700);

  std::vector<uint8_t> image = zor_fuzz::sealed_from(data, size);
  lua_State* L = zor_fuzz::capped_state();
  lua_item_decrypt_and_load(image.data(), static_cast<int32_t>(image.size()), L, (unpack + "/").c_str());
  chunk_close_capped_state(L);

  zor_fuzz::count_entries(unpack, true);
  if (zor_fuzz::count_entries(root, false) != 1) abort();  // only unpack/ beside it
  remove_directory(unpack.c_str());
  return 0;
}

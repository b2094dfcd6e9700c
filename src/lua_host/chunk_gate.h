// The one gate through which Lua chunks from a bundle or a packer's input
// enter a Lua state, and the memory-capped state for compiling untrusted
// chunks. Lua does not check precompiled chunks: a malformed one can crash
// its loader or make it allocate without bound, so each one is checked
// against the Lua 5.3 dump layout before Lua sees it.
//
// Result codes: Lua statuses (LUA_OK, LUA_ERRSYNTAX, LUA_ERRMEM).
#ifndef ZOR_CHUNK_GATE_H_
#define ZOR_CHUNK_GATE_H_

#include <cstddef>
#include <lua.hpp>

// The cap of a check on a bundle nobody vouches for (zor_pack verify):
// compiling a real script needs far less, while a malformed chunk may ask
// for gigabytes before Lua notices it is truncated.
const size_t kChunkMemoryCap = size_t{256} << 20;

// True when Lua takes the chunk as precompiled (its first byte is the 0x1b
// of "\x1bLua"): loadable once it passes the structure check below, never
// proven safe to run.
bool chunk_is_precompiled(const char* data, size_t size);

// Compiles a chunk, source text or precompiled, into L without running it,
// under the name `chunk_name`. [-0, +1]: pushes the function, or the error
// message. A precompiled chunk (one that begins with "\x1bLua") must have the
// exact Lua 5.3 layout for this platform, with every count within the bytes
// left and functions nested at most 200 deep, or it is refused with
// "<chunk_name>: bad binary format (<why>)". Returns the Lua status: LUA_OK,
// LUA_ERRSYNTAX or LUA_ERRMEM.
int chunk_load(lua_State* L, const char* data, size_t size, const char* chunk_name);

// A Lua state with the standard libraries whose allocations stop at `limit`
// bytes (beyond it Lua raises its memory error), or null. Close it with
// chunk_close_capped_state.
lua_State* chunk_new_capped_state(size_t limit);
void chunk_close_capped_state(lua_State* L);

#endif  // ZOR_CHUNK_GATE_H_

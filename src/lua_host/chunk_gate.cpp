#include "chunk_gate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct alloc_budget {
  size_t used;
  size_t limit;
};

void* capped_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  alloc_budget* budget = static_cast<alloc_budget*>(ud);
  if (ptr == nullptr) osize = 0;  // then osize only tells the kind of object
  if (nsize == 0) {
    free(ptr);
    budget->used -= osize;
    return nullptr;
  }
  if (nsize > osize && nsize - osize > budget->limit - budget->used) return nullptr;
  void* p = realloc(ptr, nsize);
  if (p != nullptr) budget->used = budget->used - osize + nsize;
  return p;
}

}  // namespace

// Under a protected call, so running out of memory is an error, not a panic.
static int open_libs(lua_State* L) {
  luaL_openlibs(L);
  return 0;
}

lua_State* chunk_new_capped_state(size_t limit) {
  alloc_budget* budget = new (std::nothrow) alloc_budget{0, limit};
  if (budget == nullptr) return nullptr;
  lua_State* L = lua_newstate(capped_alloc, budget);
  if (L == nullptr) {
    delete budget;
    return nullptr;
  }
  lua_pushcclosure(L, open_libs, 0);                   // [-0, +1]: a light C function, no allocation
  if (lua_pcallk(L, 0, 0, 0, 0, nullptr) != LUA_OK) {  // [-1, +0 or +1 error]
    chunk_close_capped_state(L);
    return nullptr;
  }
  return L;
}

void chunk_close_capped_state(lua_State* L) {
  void* budget = nullptr;
  lua_getallocf(L, &budget);
  lua_close(L);
  delete static_cast<alloc_budget*>(budget);
}

namespace {

// Walks a precompiled chunk in the order Lua 5.3 dumps it.
struct chunk_cursor {
  const uint8_t* p;
  size_t left;
  const char* why;
};

const int kMaxProtoDepth = 200;  // the parser's own nesting limit

// Constant tags of the dump format: a base type plus a variant in bits 4-5
// (Lua keeps these in an internal header).
const uint8_t kTagFloat = LUA_TNUMBER | (0 << 4);
const uint8_t kTagInteger = LUA_TNUMBER | (1 << 4);
const uint8_t kTagShortString = LUA_TSTRING | (0 << 4);
const uint8_t kTagLongString = LUA_TSTRING | (1 << 4);

bool fail_chunk(chunk_cursor& c, const char* why) {
  if (c.why == nullptr) c.why = why;
  return false;
}

bool skip(chunk_cursor& c, size_t n) {
  if (n > c.left) return fail_chunk(c, "truncated");
  c.p += n;
  c.left -= n;
  return true;
}

bool take_byte(chunk_cursor& c, uint8_t* out) {
  if (c.left < 1) return fail_chunk(c, "truncated");
  *out = *c.p;
  return skip(c, 1);
}

// A vector length: an int in host order, never negative, and never more
// elements than the bytes left could hold at `min_size` bytes each.
bool take_count(chunk_cursor& c, size_t min_size, int32_t* out) {
  if (c.left < 4) return fail_chunk(c, "truncated");
  int32_t n;
  memcpy(&n, c.p, 4);
  skip(c, 4);
  if (n < 0 || static_cast<size_t>(n) > c.left / min_size) return fail_chunk(c, "bad vector size");
  *out = n;
  return true;
}

bool take_string(chunk_cursor& c, bool may_be_null) {
  uint8_t small;
  if (!take_byte(c, &small)) return false;
  uint64_t size = small;
  if (small == 0xFF) {
    if (c.left < 8) return fail_chunk(c, "truncated");
    memcpy(&size, c.p, 8);
    skip(c, 8);
  }
  if (size == 0) return may_be_null ? true : fail_chunk(c, "missing string constant");
  if (size - 1 > c.left) return fail_chunk(c, "bad string size");
  return skip(c, static_cast<size_t>(size - 1));
}

bool check_function(chunk_cursor& c, int depth, int32_t* upvalues) {
  if (depth > kMaxProtoDepth) return fail_chunk(c, "functions nested too deeply");
  int32_t n;
  if (!take_string(c, true) || !skip(c, 4 + 4 + 3)) return false;  // source, lines, params/vararg/stack
  int32_t code_size;
  if (!take_count(c, 4, &code_size) || !skip(c, 4 * static_cast<size_t>(code_size))) return false;
  if (!take_count(c, 1, &n)) return false;  // constants
  for (int32_t i = 0; i < n; ++i) {
    uint8_t type;
    if (!take_byte(c, &type)) return false;
    bool ok = true;
    switch (type) {
      case LUA_TNIL: break;
      case LUA_TBOOLEAN: ok = skip(c, 1); break;
      case kTagFloat: ok = skip(c, sizeof(lua_Number)); break;
      case kTagInteger: ok = skip(c, sizeof(lua_Integer)); break;
      case kTagShortString:
      case kTagLongString: ok = take_string(c, false); break;
      default: return fail_chunk(c, "bad constant type");
    }
    if (!ok) return false;
  }
  if (!take_count(c, 2, upvalues) || !skip(c, 2 * static_cast<size_t>(*upvalues))) return false;
  if (!take_count(c, 1, &n)) return false;  // nested functions
  for (int32_t i = 0; i < n; ++i) {
    int32_t nested_upvalues;
    if (!check_function(c, depth + 1, &nested_upvalues)) return false;
  }
  // Line info is indexed by instruction when a runtime error is reported.
  if (!take_count(c, 4, &n) || !skip(c, 4 * static_cast<size_t>(n))) return false;
  if (n != 0 && n != code_size) return fail_chunk(c, "line info does not match the code");
  if (!take_count(c, 9, &n)) return false;  // local names
  for (int32_t i = 0; i < n; ++i)
    if (!take_string(c, true) || !skip(c, 8)) return false;
  // Lua stores upvalue names into the upvalue array it already has, without
  // checking this count: a larger one would write past that array.
  if (!take_count(c, 1, &n)) return false;
  if (n != 0 && n != *upvalues) return fail_chunk(c, "upvalue names do not match the upvalues");
  for (int32_t i = 0; i < n; ++i)
    if (!take_string(c, true)) return false;
  return true;
}

}  // namespace

// True when `data` has the exact Lua 5.3 dump layout for this platform;
// otherwise *why names the first problem.
static bool bytecode_is_sound(const char* data, size_t size, const char** why) {
  // The header as lua_dump writes it on this platform.
  uint8_t header[33] = {0x1b, 'L', 'u', 'a', 0x53, 0, 0x19, 0x93, '\r', '\n', 0x1a, '\n',
                        sizeof(int), sizeof(size_t), 4, sizeof(lua_Integer), sizeof(lua_Number)};
  const lua_Integer check_int = 0x5678;
  const lua_Number check_num = 370.5;
  memcpy(header + 17, &check_int, 8);
  memcpy(header + 25, &check_num, 8);
  chunk_cursor c{reinterpret_cast<const uint8_t*>(data), size, nullptr};
  uint8_t closure_upvalues = 0;
  int32_t upvalues = 0;
  if (size < sizeof header || memcmp(data, header, sizeof header) != 0) {
    fail_chunk(c, "header is not Lua 5.3 for this platform");
  } else if (skip(c, sizeof header) && take_byte(c, &closure_upvalues) && check_function(c, 0, &upvalues) &&
             upvalues != closure_upvalues) {
    fail_chunk(c, "upvalue count mismatch");
  }
  *why = c.why;
  return c.why == nullptr;
}

bool chunk_is_precompiled(const char* data, size_t size) { return size > 0 && data[0] == LUA_SIGNATURE[0]; }

int chunk_load(lua_State* L, const char* data, size_t size, const char* chunk_name) {
  const char* why = nullptr;
  if (chunk_is_precompiled(data, size) && !bytecode_is_sound(data, size, &why)) {
    lua_pushfstring(L, "%s: bad binary format (%s)", chunk_name, why);  // [-0, +1]
    return LUA_ERRSYNTAX;
  }
  return luaL_loadbufferx(L, data, size, chunk_name, nullptr);  // [-0, +1]; text or binary
}

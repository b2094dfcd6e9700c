#include "zor_load_lua_flow.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "aes.h"
#include "bundle_key.h"
#include "crc32.h"
#include "util.h"
#include "zor_bundle.h"

namespace {

// Line numbers of the "ERR[TLS]f(zor_load_lua_flow)L<n>:" prefixes. They are
// an external contract (field logs and support tools match on them): fixed
// per call site, never __LINE__. A site's result code is -(line + 1).
enum flow_log_line : int32_t {
  kLineShortBuffer = 57,
  kLineMagic = 61,
  kLineImgSize = 65,
  kLineImgTooSmall = 67,
  kLineNotBlocks = 69,
  kLineCrc = 73,
  kLineTableBeyond = 79,
  kLineNoPreload = 82,
  kLineNegativeSize = 85,
  kLineDataBeyond = 87,
  kLineNameUnterminated = 89,
  kLineUnsafeName = 103,
  kLineSaveFile = 105,
  kLineLoadItem = 117,
  kLineFileSize = 131,
  kLineFileTooLarge = 133,
  kLineAlloc = 136,
  kLineReadFile = 141,
  kLineSaveRes = 155,
  kLineLoadBuf = 160,
  kLineDbgMsgArgs = 170,
  kLineNewState = 220,
  kLineArgIndex = 265,
  kLinePackage = 269,
  kLinePreload = 274,
  kLineLoader = 279,
};

// The entry call failed inside Lua; the message was already logged.
const int32_t kCallFailed = -290;

const char kSource[] = "zor_load_lua_flow";
const char kMsgPrefix[] = "MSG[TLS]";
const int32_t kDefaultCrcOffset = 4;  // the span a CRC field in bytes 0..3 covers

int32_t fail(int32_t line) { return -(line + 1); }

// Lua numbers truncated toward zero to 32 bits; values beyond the int64 range
// and NaN, which a plain cast would make undefined, saturate or become 0.
int32_t to_int32(lua_Number n) {
  if (std::isnan(n)) return 0;
  if (n >= 9.2e18) return static_cast<int32_t>(INT64_MAX);
  if (n <= -9.2e18) return static_cast<int32_t>(INT64_MIN);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(n)));
}

}  // namespace

// c_dbgMsg(prefix, message) -> true, or nil with fewer than two arguments.
static int c_dbgMsg(lua_State* L) {
  if (lua_gettop(L) <= 1) {
    zor_log_err(kSource, kLineDbgMsgArgs, "need 2 arg for c_dbgMsg\n");
    lua_pushnil(L);  // [-0, +1]
    return 1;
  }
  const char* prefix = luaL_checklstring(L, 1, nullptr);  // numbers converted; other types raise
  const char* message = luaL_checklstring(L, 2, nullptr);
  zor_log_out(prefix, "%s", message);  // script text is never a format
  lua_pushboolean(L, 1);               // [-0, +1]
  return 1;
}

// calc_img_crc(path [, offset = 4 [, size = 0]]) -> CRC, or nil (0 is failure).
static int c_cal_crc32(lua_State* L) {
  const char* path = luaL_checklstring(L, 1, nullptr);
  int args = lua_gettop(L);
  int32_t offset = kDefaultCrcOffset;
  uint32_t size = 0;
  if (args >= 2) offset = to_int32(lua_tonumberx(L, 2, nullptr));
  if (args >= 3) size = static_cast<uint32_t>(to_int32(lua_tonumberx(L, 3, nullptr)));
  uint32_t crc = calc_img_crc(path, offset, size);
  if (crc == 0)
    lua_pushnil(L);  // [-0, +1]
  else
    lua_pushinteger(L, static_cast<lua_Integer>(crc));  // [-0, +1]
  return 1;
}

int32_t zor_lua_state_init(lua_State** out) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    zor_log_err(kSource, kLineNewState, "Fail in new l state\n");
    return fail(kLineNewState);
  }
  luaL_openlibs(L);
  lua_pushcclosure(L, c_dbgMsg, 0);  // [-0, +1]
  lua_setglobal(L, "c_dbgMsg");      // [-1, +0]
  lua_pushcclosure(L, c_cal_crc32, 0);
  lua_setglobal(L, "calc_img_crc");
  *out = L;
  return 0;
}

int32_t zor_lua_state_exit(lua_State* L) {
  if (L != nullptr) lua_close(L);
  return 0;
}

void print_error(lua_State* L) {
  // [-1, +0]. lua_tolstring gives text for strings and numbers only; for any
  // other error object there is no text to read, so name its type instead.
  const char* msg = lua_tolstring(L, -1, nullptr);
  if (msg != nullptr)
    zor_log_out(kMsgPrefix, "%s", msg);
  else
    zor_log_out(kMsgPrefix, "(error object is a %s value)", luaL_typename(L, -1));
  lua_pop(L, 1);
}

static void _decrypt_cbc(uint8_t* data, uint32_t length) {
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, keyCbc, iv);
  AES_CBC_decrypt_buffer(&ctx, data, length);
}

// Logs a layout problem of entry `index` and returns its code.
static int32_t entry_failure(int32_t check, int32_t index, const bundle_entry& e, int32_t img_size) {
  switch (check) {
    case BUNDLE_TABLE_BEYOND:
      zor_log_err(kSource, kLineTableBeyond, "res item table entry %d beyond img sz 0x%x\n", index, img_size);
      return fail(kLineTableBeyond);
    case BUNDLE_NEGATIVE_SIZE:
      zor_log_err(kSource, kLineNegativeSize, "res item[%s] size %d negative\n", e.name.c_str(), e.size);
      return fail(kLineNegativeSize);
    case BUNDLE_DATA_BEYOND:
      zor_log_err(kSource, kLineDataBeyond, "res item[%s] data 0x%x+0x%x beyond img sz 0x%x\n", e.name.c_str(),
                  e.offset, e.size, img_size);
      return fail(kLineDataBeyond);
    default:
      zor_log_err(kSource, kLineNameUnterminated, "res item %d name not terminated\n", index);
      return fail(kLineNameUnterminated);
  }
}

// Walks the item table: files to unpack_dir, scripts into preload (at stack
// index `preload` of L). Entries were checked by the caller.
static int32_t dispatch_items(uint8_t* image, int32_t img_size, int32_t count, lua_State* L, int preload_top,
                              const char* unpack_dir) {
  for (int32_t i = 0; i < count; ++i) {
    bundle_entry e;
    bundle_read_entry(image, img_size, i, &e);
    const char* data = reinterpret_cast<const char*>(image + e.offset);
    if (!e.script) {
      if (unpack_dir == nullptr) continue;
      if (!bundle_file_name_is_safe(e.name.c_str())) {
        zor_log_err(kSource, kLineUnsafeName, "refuse file item name[%s] outside unpack dir\n", e.name.c_str());
        return fail(kLineUnsafeName);
      }
      std::string path = std::string(unpack_dir) + e.name;
      if (_save_stream_as_file(e.size, path.c_str(), data) != 0) {
        zor_log_err(kSource, kLineSaveFile, "Fail save buf as %s\n", path.c_str());
        return fail(kLineSaveFile);
      }
      continue;
    }
    if (L == nullptr) continue;
    lua_settop(L, preload_top);  // package, preload on top: preload at -2 after the push below
    // Lua trusts precompiled chunks; a malformed one must fail like a syntax
    // error, not crash the loader.
    std::string why;
    if (e.size > 0 && data[0] == LUA_SIGNATURE[0] && !bundle_bytecode_is_sound(data, e.size, why)) {
      zor_log_err(kSource, kLineLoadItem, "err(%d) while load item[%s]\n", LUA_ERRSYNTAX, e.module.c_str());
      zor_log_out(kMsgPrefix, "%s: bad binary format (%s)", e.module.c_str(), why.c_str());
      return LUA_ERRSYNTAX;
    }
    int status = luaL_loadbufferx(L, data, static_cast<size_t>(e.size), e.module.c_str(), nullptr);  // [-0, +1]
    if (status != LUA_OK) {
      zor_log_err(kSource, kLineLoadItem, "err(%d) while load item[%s]\n", status, e.module.c_str());
      print_error(L);  // [-1, +0]
      return status;
    }
    lua_setfield(L, -2, e.module.c_str());  // [-1, +0]: preload[module] = chunk
  }
  return 0;
}

int32_t lua_item_decrypt_and_load(uint8_t* image, int32_t bufSize, lua_State* L, const char* unpackDir) {
  if (image == nullptr || bufSize < kBundleHeaderSize) {
    zor_log_err(kSource, kLineShortBuffer, "res buf sz 0x%x shorter than header\n", bufSize);
    return fail(kLineShortBuffer);
  }
  if (memcmp(image + kBundleMagicAt, kBundleMagic, sizeof kBundleMagic) != 0) {
    zor_log_err(kSource, kLineMagic, "Err lua img magic\n");
    return fail(kLineMagic);
  }
  int32_t img_size = static_cast<int32_t>(bundle_get_le32(image + kBundleSizeAt));
  if (img_size > bufSize) {
    zor_log_err(kSource, kLineImgSize, "res format img sz 0x%x > bufSz 0x%x\n", img_size, bufSize);
    return fail(kLineImgSize);
  }
  switch (bundle_check_size(img_size)) {
    case BUNDLE_TOO_SMALL:
      zor_log_err(kSource, kLineImgTooSmall, "res format img sz 0x%x below header\n", img_size);
      return fail(kLineImgTooSmall);
    case BUNDLE_NOT_BLOCKS:
      zor_log_err(kSource, kLineNotBlocks, "res format img sz 0x%x not whole blocks\n", img_size);
      return fail(kLineNotBlocks);
  }
  _decrypt_cbc(image + kBundleHeaderSize, static_cast<uint32_t>(img_size - kBundleHeaderSize));
  uint32_t stored = bundle_get_le32(image + kBundleCrcAt);
  uint32_t computed = calc_buf_crc(image + 4, static_cast<uint32_t>(img_size - 4));
  if (stored != computed) {
    zor_log_err(kSource, kLineCrc, "crc err, ori 0x%8x != gen 0x%8x\n", stored, computed);
    return fail(kLineCrc);
  }
  int32_t count = static_cast<int32_t>(bundle_get_le32(image + kBundleCountAt));
  // Every entry is checked before any is used, so a malformed table leaves
  // nothing half-loaded.
  for (int32_t i = 0; i < count; ++i) {
    bundle_entry e;
    int32_t check = bundle_read_entry(image, img_size, i, &e);
    if (check != BUNDLE_OK) return entry_failure(check, i, e, img_size);
  }
  int base = 0, preload_top = 0;
  if (L != nullptr) {
    base = lua_gettop(L);
    if (lua_getglobal(L, "package") != LUA_TTABLE ||              // [-0, +1]
        lua_getfield(L, -1, "preload") != LUA_TTABLE) {            // [-0, +1]
      zor_log_err(kSource, kLineNoPreload, "Fail in get table package.preload\n");
      lua_settop(L, base);
      return fail(kLineNoPreload);
    }
    preload_top = lua_gettop(L);
  }
  int32_t result = dispatch_items(image, img_size, count, L, preload_top, unpackDir);
  if (L != nullptr) lua_settop(L, base);  // drop package and preload again
  return result;
}

// Reads a whole file into a new buffer that the caller owns.
static int32_t save_file_as_buf(const char* path, uint8_t** out, int32_t* out_size) {
  int64_t file_size = get_filesize(path);
  if (file_size > INT32_MAX) {
    zor_log_err(kSource, kLineFileTooLarge, "Fail in get_filesize %s: 0x%llx bytes is too large\n", path,
                static_cast<unsigned long long>(file_size));
    return fail(kLineFileTooLarge);
  }
  int32_t size = static_cast<int32_t>(file_size);
  if (size <= 0) {
    zor_log_err(kSource, kLineFileSize, "Fail in get_filesize %s\n", path);
    return fail(kLineFileSize);
  }
  uint8_t* buf = new (std::nothrow) uint8_t[size];
  if (buf == nullptr) {
    zor_log_err(kSource, kLineAlloc, "Fail in alloc buf at sz 0x%x\n", size);
    return fail(kLineAlloc);
  }
  FILE* f = fopen(path, "rb");
  bool ok = f != nullptr && fread(buf, static_cast<size_t>(size), 1, f) == 1;
  if (f != nullptr) fclose(f);
  if (!ok) {
    zor_log_err(kSource, kLineReadFile, "Fail in read file %s\n", path);
    delete[] buf;
    return fail(kLineReadFile);
  }
  *out = buf;
  *out_size = size;
  return 0;
}

int32_t lua_item_decrypt_and_load_file(const char* path, lua_State* L, const char* unpackDir) {
  uint8_t* buf = nullptr;
  int32_t size = 0;
  int32_t ret = save_file_as_buf(path, &buf, &size);
  if (ret != 0) {
    zor_log_err(kSource, kLineSaveRes, "Fail save res to buf, path[%s], ret %d\n", path, ret);
    return fail(kLineSaveRes);
  }
  ret = lua_item_decrypt_and_load(buf, size, L, unpackDir);
  // The decrypted scripts should not outlive the load in freed heap memory.
  memset(buf, 0, static_cast<size_t>(size));
  delete[] buf;
  if (ret != 0) {
    zor_log_err(kSource, kLineLoadBuf, "Fail in decrypt and load buf as lua, ret %d\n", ret);
    return fail(kLineLoadBuf);
  }
  return 0;
}

int32_t zor_lua_call_loader(lua_State* L, const char* moduleName, const int32_t* argIndex) {
  if (argIndex == nullptr || *argIndex < 1 || *argIndex > lua_gettop(L)) {
    zor_log_err(kSource, kLineArgIndex, "Fail in loader(%s): no argument at the given stack index\n", moduleName);
    return fail(kLineArgIndex);
  }
  if (lua_getglobal(L, "package") != LUA_TTABLE) {  // [-0, +1]
    zor_log_err(kSource, kLinePackage, "Fail in get table package\n");
    return fail(kLinePackage);
  }
  if (lua_getfield(L, -1, "preload") != LUA_TTABLE) {  // [-0, +1]
    zor_log_err(kSource, kLinePreload, "Fail in get table package.preload\n");
    return fail(kLinePreload);
  }
  if (lua_getfield(L, -1, moduleName) != LUA_TFUNCTION) {  // [-0, +1]
    zor_log_err(kSource, kLineLoader, "Fail in get loader(%s)\n", moduleName);
    return fail(kLineLoader);
  }
  int32_t at = *argIndex;
  lua_rotate(L, at, 1);  // loader to `at`, the argument to at + 1
  lua_settop(L, at + 1);  // drops package and preload
  if (lua_pcallk(L, 1, LUA_MULTRET, 0, 0, nullptr) != LUA_OK) {  // [-2, +results or +1 error]
    print_error(L);                                               // [-1, +0]
    return kCallFailed;
  }
  return lua_toboolean(L, at) ? 0 : 1;  // results start at `at`; none reads as false
}

#include "zor_load_lua_flow.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bundle_load.h"
#include "chunk_gate.h"
#include "crc32.h"
#include "files.h"
#include "log.h"
#include "text.h"

namespace {

// Line numbers of the "ERR[TLS]f(zor_load_lua_flow)L<n>:" prefixes. They are
// an external contract (field logs and support tools match on them): fixed
// per call site, never __LINE__. A site that returns a code fails through
// zor_fail, so its code is -(line + 1).
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
  kLineSignature = 150,
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
const int32_t kDefaultCrcOffset = 4;  // the span a CRC field in bytes 0..3 covers

// A Lua number truncated toward zero, then cut to its low 32 bits, so a size
// of up to 4 GiB - 1 survives when the caller takes the result as unsigned.
// Beyond the int64 range, where a cast would be undefined, it saturates at
// INT32_MAX or INT32_MIN (a region no file has, so the CRC call fails); NaN
// becomes 0, as a non-number does.
int32_t to_int32(lua_Number n) {
  if (std::isnan(n)) return 0;
  if (n >= 0x1p63) return INT32_MAX;
  if (n < -0x1p63) return INT32_MIN;
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

#if ZOR_SIGNING
// A signing build runs only what its signature covers: require finds the
// bundle's modules and the system's own directories, never a file relative
// to the working directory or named by LUA_PATH/LUA_CPATH.
const char kAbsolutePathsOnly[] = R"(
for _, key in ipairs({"path", "cpath"}) do
  local kept = {}
  for entry in package[key]:gmatch("[^;]+") do
    if entry:sub(1, 1) == "/" then kept[#kept + 1] = entry end
  end
  package[key] = table.concat(kept, ";")
end)";
#endif

// Opens the standard libraries and registers the host functions; run under
// a protected call, so running out of memory is an error, not a panic.
static int open_state(lua_State* L) {
#if ZOR_SIGNING
  lua_pushboolean(L, 1);                                // [-0, +1]
  lua_setfield(L, LUA_REGISTRYINDEX, "LUA_NOENV");      // [-1, +0]: package ignores LUA_PATH*, LUA_CPATH*
  luaL_openlibs(L);
  if (luaL_loadstring(L, kAbsolutePathsOnly) != LUA_OK) return lua_error(L);  // [-0, +1]
  lua_callk(L, 0, 0, 0, nullptr);                                           // [-1, +0]
#else
  luaL_openlibs(L);
#endif
  lua_pushcclosure(L, c_dbgMsg, 0);  // [-0, +1]
  lua_setglobal(L, "c_dbgMsg");      // [-1, +0]
  lua_pushcclosure(L, c_cal_crc32, 0);
  lua_setglobal(L, "calc_img_crc");
  return 0;
}

int32_t zor_lua_state_init(lua_State** out) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) return zor_fail(kSource, kLineNewState, "Fail in new l state\n");
  lua_pushcclosure(L, open_state, 0);                       // [-0, +1]: a light C function, no allocation
  if (lua_pcallk(L, 0, 0, 0, 0, nullptr) != LUA_OK) {  // [-1, +0 or +1 error]
    lua_close(L);
    return zor_fail(kSource, kLineNewState, "Fail in new l state\n");
  }
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
    zor_log_out(kZorMsgPrefix, "%s", msg);
  else
    zor_log_out(kZorMsgPrefix, "(error object is a %s value)", luaL_typename(L, -1));
  lua_pop(L, 1);
}

const char* zor_lua_error_text(lua_State* L, int index) {
  const char* msg = lua_tostring(L, index);  // [-0, +0]: text for strings and numbers only
  if (msg != nullptr) return msg;
  // Spelled out per type, so that naming one allocates nothing (no Lua
  // error can arise, inside a message handler or outside a protected call).
  static const char* const kByType[LUA_NUMTAGS] = {
      "(error object is a nil value)",      "(error object is a boolean value)", "(error object is a userdata value)",
      "(error object is a number value)",   "(error object is a string value)",  "(error object is a table value)",
      "(error object is a function value)", "(error object is a userdata value)", "(error object is a thread value)"};
  int type = lua_type(L, index);
  return type >= 0 && type < LUA_NUMTAGS ? kByType[type] : "(error object is a no value value)";
}

// Logs the layout problem of table slot `index` and returns its code.
static int32_t entry_failure(const bundle_entry& e, int32_t index, int32_t img_size) {
  switch (e.check) {
    case BUNDLE_TABLE_BEYOND:
      return zor_fail(kSource, kLineTableBeyond, "res item table entry %d beyond img sz 0x%x\n", index, img_size);
    case BUNDLE_NEGATIVE_SIZE:
      return zor_fail(kSource, kLineNegativeSize, "res item[%s] size %d negative\n", e.name, e.size);
    case BUNDLE_DATA_BEYOND:
      return zor_fail(kSource, kLineDataBeyond, "res item[%s] data 0x%x+0x%x beyond img sz 0x%x\n", e.name, e.offset,
                      e.size, img_size);
    default:
      return zor_fail(kSource, kLineNameUnterminated, "res item %d name not terminated\n", index);
  }
}

// Logs a header problem and returns its code.
static int32_t header_failure(int32_t check, int32_t img_size, int32_t buf_size) {
  switch (check) {
    case BUNDLE_SHORT_BUFFER:
      return zor_fail(kSource, kLineShortBuffer, "res buf sz 0x%x shorter than header\n", buf_size);
    case BUNDLE_BAD_MAGIC:
      return zor_fail(kSource, kLineMagic, "Err lua img magic\n");
    case BUNDLE_SIZE_BEYOND:
      return zor_fail(kSource, kLineImgSize, "res format img sz 0x%x > bufSz 0x%x\n", img_size, buf_size);
    case BUNDLE_TOO_SMALL:
      return zor_fail(kSource, kLineImgTooSmall, "res format img sz 0x%x below header\n", img_size);
    default:
      return zor_fail(kSource, kLineNotBlocks, "res format img sz 0x%x not whole blocks\n", img_size);
  }
}

// Walks the checked item table: files to unpack_dir, scripts into the
// preload table that sits on top of L's stack at height `preload_top`.
static int32_t dispatch_items(const uint8_t* image, const std::vector<bundle_entry>& entries, lua_State* L,
                              int preload_top, const char* unpack_dir) {
  for (const bundle_entry& e : entries) {
    const char* data = reinterpret_cast<const char*>(image + e.offset);
    if (!e.script) {
      if (unpack_dir == nullptr) continue;
      if (!bundle_file_name_is_safe(e.name))
        return zor_fail(kSource, kLineUnsafeName, "refuse file item name[%s] outside unpack dir\n", e.name);
      std::string path = std::string(unpack_dir) + e.name;
      if (_save_stream_as_file(e.size, path.c_str(), data) != 0)
        return zor_fail(kSource, kLineSaveFile, "Fail save buf as %s\n", path.c_str());
      continue;
    }
    if (L == nullptr) continue;
    std::string module = bundle_module_name(e.name);
    lua_settop(L, preload_top);  // package, preload on top: preload at -2 after the push below
    int status = chunk_load(L, data, static_cast<size_t>(e.size), module.c_str());  // [-0, +1]
    if (status != LUA_OK) {
      zor_log_err(kSource, kLineLoadItem, "err(%d) while load item[%s]\n", status, module.c_str());
      print_error(L);  // [-1, +0]
      return status;
    }
    lua_setfield(L, -2, module.c_str());  // [-1, +0]: preload[module] = chunk
  }
  return 0;
}

// Logs why a load stopped at the header, seal or table step and returns the
// step's code.
static int32_t image_failure(const bundle_loaded& loaded, int32_t buf_size) {
  if (loaded.step == BUNDLE_STEP_HEADER) return header_failure(loaded.check, loaded.img_size, buf_size);
  if (loaded.step == BUNDLE_STEP_SEAL)
    return zor_fail(kSource, kLineCrc, "crc err, ori 0x%8x != gen 0x%8x\n", loaded.stored_crc, loaded.computed_crc);
  return entry_failure(loaded.table[static_cast<size_t>(loaded.bad_slot)], loaded.bad_slot, loaded.img_size);
}

// Puts the items of a loaded image into L and unpack_dir (either may be null).
static int32_t dispatch(const bundle_loaded& loaded, lua_State* L, const char* unpack_dir) {
  int base = 0, preload_top = 0;
  if (L != nullptr) {
    base = lua_gettop(L);
    if (lua_getglobal(L, "package") != LUA_TTABLE ||    // [-0, +1]
        lua_getfield(L, -1, "preload") != LUA_TTABLE) {  // [-0, +1]
      lua_settop(L, base);
      return zor_fail(kSource, kLineNoPreload, "Fail in get table package.preload\n");
    }
    preload_top = lua_gettop(L);
  }
  int32_t result = dispatch_items(loaded.image, loaded.table, L, preload_top, unpack_dir);
  if (L != nullptr) lua_settop(L, base);  // drop package and preload again
  return result;
}

int32_t lua_item_decrypt_and_load(uint8_t* image, int32_t bufSize, lua_State* L, const char* unpackDir) {
  bundle_loaded loaded;
  loaded.image = image;
  if (bundle_load_image(image, bufSize, &loaded) != BUNDLE_LOADED) return image_failure(loaded, bufSize);
  return dispatch(loaded, L, unpackDir);
}

// Logs why the read step failed, as the reader's own read reports it, and
// returns its code.
static int32_t read_failure(const char* path, const bundle_loaded& loaded) {
  switch (loaded.check) {
    case BUNDLE_READ_NO_FILE:
      fprintf(stderr, "Can't stat %s : %s\n", path, strerror(loaded.err));
      return zor_fail(kSource, kLineFileSize, "Fail in get_filesize %s\n", path);
    case BUNDLE_READ_EMPTY:
      return zor_fail(kSource, kLineFileSize, "Fail in get_filesize %s\n", path);
    case BUNDLE_READ_TOO_LARGE:
      return zor_fail(kSource, kLineFileTooLarge, "Fail in get_filesize %s: 0x%llx bytes is too large\n", path,
                      static_cast<unsigned long long>(loaded.file_size));
    case BUNDLE_READ_NO_MEMORY:
      return zor_fail(kSource, kLineAlloc, "Fail in alloc buf at sz 0x%x\n", static_cast<int32_t>(loaded.file_size));
    default:
      return zor_fail(kSource, kLineReadFile, "Fail in read file %s\n", path);
  }
}

#if ZOR_SIGNING
// Logs why the signature of `path` was refused and returns -151.
static int32_t signature_failure(const std::string& sig_path, const bundle_loaded& loaded) {
  if (loaded.check == SIG_MISSING) return zor_fail(kSource, kLineSignature, "signature missing %s\n", sig_path.c_str());
  if (loaded.check == SIG_UNTRUSTED)
    return zor_fail(kSource, kLineSignature, "signature err %s: untrusted key id %016llX\n", sig_path.c_str(),
                    static_cast<unsigned long long>(loaded.prepared.key_id));
  return zor_fail(kSource, kLineSignature, "signature err %s: %s\n", sig_path.c_str(), sig_check_text(loaded.check));
}

// The signer's line, and the trusted comment for the argument table.
static void signature_accepted(const bundle_loaded& loaded, zor_bundle_signature* sig) {
  // Control bytes shown as \xNN, cut so that the line still ends in its
  // newline: 351 bytes in all.
  const int kCommentMax = 351 - 8 - 36 - 1;
  zor_log_out(kZorMsgPrefix, "signature ok, key %016llX: %.*s\n", static_cast<unsigned long long>(loaded.signer.key_id),
              kCommentMax, zor_escaped(loaded.signer.trusted_comment).c_str());
  if (sig != nullptr) *sig = zor_bundle_signature{true, loaded.signer.trusted_comment};
}
#endif

// The reader's report of a load that stopped, or the dispatch of one that
// went through: 0 or the inner code that the caller wraps.
static int32_t report_and_dispatch(const char* path, const bundle_loaded& loaded, lua_State* L, const char* unpack_dir,
                                   zor_bundle_signature* sig) {
#if ZOR_SIGNING
  std::string sig_path = std::string(path) + ".minisig";
  if (loaded.step == BUNDLE_STEP_SIGNATURE_FILE || loaded.step == BUNDLE_STEP_SIGNATURE)
    return signature_failure(sig_path, loaded);
  if (loaded.step != BUNDLE_STEP_READ) signature_accepted(loaded, sig);
#else
  (void)sig;
#endif
  if (loaded.step == BUNDLE_STEP_READ) return read_failure(path, loaded);
  if (loaded.step != BUNDLE_LOADED) return image_failure(loaded, loaded.size);
  return dispatch(loaded, L, unpack_dir);
}

int32_t lua_item_decrypt_and_load_file(const char* path, lua_State* L, const char* unpackDir,
                                       zor_bundle_signature* sig) {
  bundle_loaded loaded;
  bundle_load_file(path, BUNDLE_LOAD_SIGNED, &loaded);
  int32_t ret = report_and_dispatch(path, loaded, L, unpackDir, sig);
  // The decrypted scripts should not outlive the load in freed heap memory.
  bundle_load_release(&loaded);
  if (loaded.step == BUNDLE_STEP_READ)
    return zor_fail(kSource, kLineSaveRes, "Fail save res to buf, path[%s], ret %d\n", path, ret);
  if (ret != 0) return zor_fail(kSource, kLineLoadBuf, "Fail in decrypt and load buf as lua, ret %d\n", ret);
  return 0;
}

int32_t zor_lua_push_arg_table(lua_State* L, const char* fwDir, const char* unpackDir, const char* compiletime,
                               const zor_bundle_signature& sig, int argc, char** argv) {
  lua_createtable(L, 0, 0);  // [-0, +1]
  int32_t index = lua_gettop(L);
  lua_pushinteger(L, argc - 1);  // each field: [-0, +1] push, then [-1, +0] set
  lua_setfield(L, -2, "n");
  lua_pushstring(L, fwDir);
  lua_setfield(L, -2, "fwDir");
  lua_pushstring(L, unpackDir);
  lua_setfield(L, -2, "unpackDir");
  lua_pushstring(L, compiletime);
  lua_setfield(L, -2, "compiletime");
  if (sig.verified) {
    lua_pushlstring(L, sig.comment.data(), sig.comment.size());  // a version to refuse downgrades by
    lua_setfield(L, -2, "sigComment");
  }
  for (int i = 1; i < argc; ++i) {
    lua_pushstring(L, argv[i]);
    lua_seti(L, -2, i);
  }
  return index;
}

int32_t zor_lua_call_entry(lua_State* L, const char* moduleName, int32_t argIndex, lua_CFunction handler) {
  if (lua_getglobal(L, "package") != LUA_TTABLE)  // [-0, +1]
    return zor_fail(kSource, kLinePackage, "Fail in get table package\n");
  if (lua_getfield(L, -1, "preload") != LUA_TTABLE)  // [-0, +1]
    return zor_fail(kSource, kLinePreload, "Fail in get table package.preload\n");
  if (lua_getfield(L, -1, moduleName) != LUA_TFUNCTION)  // [-0, +1]
    return zor_fail(kSource, kLineLoader, "Fail in get loader(%s)\n", moduleName);
  lua_rotate(L, argIndex, 1);  // loader to argIndex, the argument to argIndex + 1
  lua_settop(L, argIndex + 1);  // drops package and preload
  if (handler != nullptr) {
    lua_pushcclosure(L, handler, 0);  // [-0, +1]
    lua_rotate(L, argIndex, 1);       // handler, loader, argument
  }
  int status = lua_pcallk(L, 1, LUA_MULTRET, handler != nullptr ? argIndex : 0, 0, nullptr);  // [-2, +results or +1]
  if (handler != nullptr) {
    lua_rotate(L, argIndex, -1);  // the handler to the top, results or error from argIndex
    lua_settop(L, -2);
  }
  return status;
}

int32_t zor_lua_call_loader(lua_State* L, const char* moduleName, const int32_t* argIndex) {
  if (argIndex == nullptr || *argIndex < 1 || *argIndex > lua_gettop(L))
    return zor_fail(kSource, kLineArgIndex, "Fail in loader(%s): no argument at the given stack index\n", moduleName);
  int32_t status = zor_lua_call_entry(L, moduleName, *argIndex, nullptr);
  if (status < 0) return status;
  if (status != LUA_OK) {
    print_error(L);  // [-1, +0]
    return kCallFailed;
  }
  return lua_toboolean(L, *argIndex) ? 0 : 1;  // results start at argIndex; none reads as false
}

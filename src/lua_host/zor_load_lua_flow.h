// The Lua host and the bundle reader: the interpreter state with the host
// functions c_dbgMsg and calc_img_crc, the reading of a bundle into
// package.preload and the unpack directory, and the call of the entry module.
//
// Result codes: a failure logged at "ERR[TLS]f(zor_load_lua_flow)L<n>:"
// returns -(n + 1); -290 follows a Lua error already logged; a script that
// does not compile returns its positive Lua status.
#ifndef ZOR_LOAD_LUA_FLOW_H_
#define ZOR_LOAD_LUA_FLOW_H_

#include <cstdint>
#include <lua.hpp>
#include <string>

// What a signing build verified of the bundle it loaded: the trusted comment
// of its signature, exact bytes. A default build checks nothing and leaves
// `verified` false.
struct zor_bundle_signature {
  bool verified = false;
  std::string comment;
};

// Creates a state with the standard libraries and the two host functions.
// 0, or -221 when no state can be created (nothing stored in *out).
int32_t zor_lua_state_init(lua_State** out);

// Closes the state when there is one. Always 0.
int32_t zor_lua_state_exit(lua_State* L);

// Logs the value on top of the stack with the "MSG[TLS]" prefix (its text,
// or "(error object is a <type> value)") and pops it.
void print_error(lua_State* L);

// The text of the error object at `index` for a tool's message: its string
// (or number) form, or "(error object is a <type> value)" as Lua's own
// interpreter says; valid while the object stays on the stack. [-0, +0]
const char* zor_lua_error_text(lua_State* L, int index);

// Reads the bundle file and loads it (see below). 0; -156 the file cannot be
// read (after -132 empty or missing, -134 over 2 GiB, -137 no memory, -142
// read failed); -161 the image cannot be loaded. A signing build reads and
// checks <path>.minisig before it reads the bundle, verifies it over the
// bytes read (-161 after -151 and one log line when it is missing, not
// minisign's, by an untrusted key or not valid) and fills `sig` (may be
// null) with what it verified.
int32_t lua_item_decrypt_and_load_file(const char* path, lua_State* L, const char* unpackDir,
                                       zor_bundle_signature* sig = nullptr);

// Checks, decrypts in place, verifies and dispatches an image of bufSize
// bytes: script items are compiled into package.preload of L (skipped when L
// is null), file items written to unpackDir + name (skipped when unpackDir is
// null; it must end in '/'). 0, or:
//   -58 magic or size field beyond bufSize -62 bad magic
//   -66 imgSz larger than bufSize          -68 imgSz below 64
//   -70 encrypted part not whole blocks    -74 CRC mismatch
//   -80 item table beyond imgSz            -83 package.preload missing
//   -86 negative item size                 -88 item data beyond imgSz
//   -90 item name not terminated           -104 unsafe file item name
//   -106 a file item cannot be written     >0 Lua status of a script that
//                                             does not compile
// Structural checks cover the whole table before any item is used; after a
// failure inside the item loop, earlier modules and files stay.
int32_t lua_item_decrypt_and_load(uint8_t* image, int32_t bufSize, lua_State* L, const char* unpackDir);

// Pushes the entry module's argument table, created with no preallocated
// slots: n = argc - 1, fwDir, unpackDir, compiletime (a build date as
// __DATE__ gives it), sigComment when `sig` was verified, then [1..n] =
// argv[1..n]. Returns its stack index. [-0, +1]
int32_t zor_lua_push_arg_table(lua_State* L, const char* fwDir, const char* unpackDir, const char* compiletime,
                               const zor_bundle_signature& sig, int argc, char** argv);

// Calls package.preload[moduleName] in protected mode with the one argument
// at absolute stack index *argIndex, without a message handler. 0 first
// result true; 1 first result false, nil or absent; -266 no or invalid
// argIndex; -270, -275, -280 as zor_lua_call_entry; -290 the call raised an
// error (logged through print_error).
int32_t zor_lua_call_loader(lua_State* L, const char* moduleName, const int32_t* argIndex);

// The entry call itself: puts package.preload[moduleName] below the argument
// at absolute index argIndex (the top, or below values that may go) and
// calls it with that argument, `handler` (may be null) as message handler.
// [-(top - argIndex + 1), +results or +1 error]: the results, or the error
// value as the handler left it, start at argIndex. Returns the Lua status,
// or -270 package is not a table, -275 package.preload is not a table, -280
// no such loader (each logged; what was pushed stays).
int32_t zor_lua_call_entry(lua_State* L, const char* moduleName, int32_t argIndex, lua_CFunction handler);

#endif  // ZOR_LOAD_LUA_FLOW_H_

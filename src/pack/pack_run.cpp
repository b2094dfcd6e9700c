#include "pack_run.h"

#include <lua.hpp>

#include <cstdio>
#include <cstdlib>

#include "bundle_image.h"
#include "text.h"
#include "tool_output.h"
#include "files.h"
#include "log.h"
#include "zor_load_lua_flow.h"

namespace {

// Message handler: the error's text with a traceback from where it arose.
int with_traceback(lua_State* L) {
  luaL_traceback(L, L, zor_lua_error_text(L, 1), 1);  // [-0, +1]
  return 1;
}

// A returned value as text, without calling any metamethod (which could
// raise an error outside a protected call).
std::string shown_value(lua_State* L, int index) {
  switch (lua_type(L, index)) {
    case LUA_TNIL: return "nil";
    case LUA_TBOOLEAN: return lua_toboolean(L, index) ? "true" : "false";
    case LUA_TSTRING: return "\"" + std::string(lua_tostring(L, index)) + "\"";
    case LUA_TNUMBER: {
      lua_pushvalue(L, index);  // [-0, +1]: lua_tolstring converts the copy, not the result
      std::string text = lua_tostring(L, -1);
      lua_pop(L, 1);
      return text;
    }
    default: return std::string("a ") + luaL_typename(L, index);
  }
}

// Calls the entry module with the argument table at `base` (the top), the
// whole message and traceback on failure; reports what it returned.
int call_entry(lua_State* L, int base) {
  int status = zor_lua_call_entry(L, kZorEntryModule, base, with_traceback);  // results or error from `base`
  if (status < 0) {
    complain("no entry module '%s' in the bundle (the launcher would exit %d)", kZorEntryModule, kZorExitEntryFailed);
    return kZorExitEntryFailed;
  }
  if (status != LUA_OK) {
    complain("the entry module failed:\n%s", lua_tostring(L, base));
    return kZorExitEntryFailed;
  }
  int results = lua_gettop(L) - base + 1;
  std::string shown;
  for (int i = 0; i < results; ++i) shown += (i ? ", " : "") + shown_value(L, base + i);
  fprintf(stderr, "zor_pack: the entry module returned %s\n", results ? shown.c_str() : "nothing");
  if (results == 0)
    warn("returning nothing counts as failure: return true or false");
  else if (lua_type(L, base) == LUA_TNUMBER)
    warn("every number is true in Lua, so %s counts as success: return true or false", shown_value(L, base).c_str());
  return lua_toboolean(L, base) ? kZorExitOk : kZorExitEntryFailed;
}

// The run around a load step: a fresh unpack directory, the launcher's state
// and argument table, the call, and the directory removed unless kept.
// `load` fills in what a signing build verified.
template <typename Load>
int run_with(const std::string& fw_dir, const pack_run_options& opt, Load load) {
  // A given comment proves nothing about a signature: said first.
  if (opt.has_sig_comment)
    warn("--sig-comment: sigComment is \"%s\" as given, not verified: this run proves nothing about a signature",
         zor_escaped(opt.sig_comment).c_str());
  std::string unpack;
  if (create_temp_unique_dir(unpack) != 0) {
    complain("cannot create an unpack directory");
    return kZorExitFatal;
  }
  zor_log_out(kZorMsgPrefix, "Unpacking0...\n");
  lua_State* L = nullptr;
  zor_bundle_signature sig;
  int status = kZorExitFatal;
  if (zor_lua_state_init(&L) != 0) {
    complain("cannot create a Lua state");
  } else if (load(L, unpack.c_str(), &sig) != 0) {
    complain("the bundle could not be loaded (the launcher would exit %d)", kZorExitFatal);
  } else {
    if (opt.has_sig_comment) sig = zor_bundle_signature{true, opt.sig_comment};
    std::vector<char*> argv = {const_cast<char*>("zor_pack")};
    for (const auto& a : opt.args) argv.push_back(const_cast<char*>(a.c_str()));
    int args = zor_lua_push_arg_table(L, fw_dir.c_str(), unpack.c_str(), __DATE__, sig,
                                      static_cast<int>(argv.size()), argv.data());
    status = call_entry(L, args);
  }
  zor_lua_state_exit(L);
  if (opt.keep)
    fprintf(stderr, "zor_pack: unpack directory kept: %s\n", unpack.c_str());
  else
    remove_directory(unpack.c_str());
  return status;
}

// The folder `path` names or lies in, absolute, ending in '/'.
std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = is_dir(path.c_str()) ? path : slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char* real = realpath(dir.c_str(), nullptr);
  std::string out = real ? std::string(real) + "/" : dir;
  free(real);
  return out;
}

}  // namespace

int pack_run_file(const std::string& path, const pack_run_options& opt) {
  return run_with(folder_of(path), opt, [&](lua_State* L, const char* unpack, zor_bundle_signature* sig) {
    return lua_item_decrypt_and_load_file(path.c_str(), L, unpack, sig);
  });
}

int pack_run_image(std::vector<uint8_t>& image, const std::string& packed_from, const pack_run_options& opt) {
  return run_with(folder_of(packed_from), opt, [&](lua_State* L, const char* unpack, zor_bundle_signature*) {
    return lua_item_decrypt_and_load(image.data(), static_cast<int32_t>(image.size()), L, unpack);
  });
}

// zor_update_whole_package: finds its bundle beside the executable, loads it
// into Lua and runs the entry module with the command line. Exit status 0 on
// success, 1 when start-up or loading fails, 207 when the entry module fails.
#include <cstdint>
#include <new>
#include <string>

#include "bundle_image.h"
#include "config_dir.h"
#include "files.h"
#include "log.h"
#include "zor_load_lua_flow.h"

std::string ConfigDir;
std::string UnpackDir;
lua_State* LState = nullptr;

namespace {

const char kBundleName[] = "nuvex.zor";
const char kSource[] = "main";

// Line numbers of the "ERR[TLS]f(main)L<n>:" prefixes: an external contract
// (field logs and support tools match on them), fixed, never __LINE__.
enum main_log_line : int32_t {
  kLinePanic = 36,
  kLineLoader = 48,
};
// The code of the loader failure, -49, is what the exit status 207 is.
static_assert(static_cast<uint8_t>(-(kLineLoader + 1)) == kZorExitEntryFailed, "207 is the low byte of -49");

// The fatal stops of the stages after start-up.
const char kFailState[] = "Fail create l state\n";
const char kFailUnpack[] = "FAil unpack firmware\n";

// What the fatal stop says when Lua fails outside a protected call in the
// stage now running.
const char* stage_failure = kFailState;

// Lua's panic would abort; one log line with the error and the fatal stop
// of the stage instead. Never returns (a panic handler must not).
int on_lua_panic(lua_State* L) {
  const char* msg = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "(error object is not a string)";
  zor_log_err(kSource, kLinePanic, "Lua error outside a protected call: %s\n", msg);
  die("%s", stage_failure);
}

int run(int argc, char** argv, const std::string& bundle) {
  zor_log_out(kZorMsgPrefix, "Unpacking0...\n");
  if (zor_lua_state_init(&LState) != 0) die("%s", kFailState);
  lua_atpanic(LState, on_lua_panic);
  stage_failure = kFailUnpack;
  zor_bundle_signature signature;
  if (lua_item_decrypt_and_load_file(bundle.c_str(), LState, UnpackDir.c_str(), &signature) != 0)
    die("%s", kFailUnpack);
  stage_failure = "Fail create arg table\n";
  int32_t arg_index =
      zor_lua_push_arg_table(LState, ConfigDir.c_str(), UnpackDir.c_str(), __DATE__, signature, argc, argv);
  int32_t r = zor_lua_call_loader(LState, kZorEntryModule, &arg_index);
  if (r != 0) {
    zor_log_err(kSource, kLineLoader, "Fail in loader[%s],ret %d\n", kZorEntryModule, r);
    return kZorExitEntryFailed;
  }
  // Nothing is torn down: the state stays open and the unpack directory stays.
  return kZorExitOk;
}

int start(int argc, char** argv) {
  ConfigDir.clear();
  if (get_path_of_executable(ConfigDir) != 0) die("Fail get exe run path\n");
  std::string bundle = ConfigDir + kBundleName;
  if (!is_regular_file(bundle.c_str())) die("res not existed in path %s\n", bundle.c_str());
  if (create_temp_unique_dir(UnpackDir) != 0) die("Fail create unpack dir\n");
  return run(argc, argv, bundle);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed stderr would hand its descriptor to
  // the first file opened, and the log would be written into it.
  if (zor_open_std_descriptors() != 0) return kZorExitFatal;
  try {
    return start(argc, argv);
  } catch (const std::bad_alloc&) {
    die("out of memory\n");
  }
}

#include "config_dir.h"

#include "files.h"
#include "log.h"

namespace {

// Line numbers of the "ERR[TLS]f(util)L<n>:" prefixes: fixed per call site,
// never __LINE__ (field logs match on them).
enum config_dir_log_line : int32_t {
  kLineRuntimePath = 307,
  kLineDelimiter = 312,
  kLineModulePath = 318,
};

const char kSource[] = "util";
const char kConfigDirName[] = "zor_update_whole_package_config/";

}  // namespace

int32_t get_path_of_executable(std::string& out) {
  if (_get_path_of_executable(out) != 0) return zor_fail(kSource, kLineRuntimePath, "Fail in get runtime path\n");
  size_t slash = out.rfind('/');
  if (slash == std::string::npos) return zor_fail(kSource, kLineDelimiter, "Fail find path delimeter\n");
  out.resize(slash + 1);
  if (out.empty() || out.back() != '/') return zor_fail(kSource, kLineModulePath, "err module path %s\n", out.c_str());
  out += kConfigDirName;
  return 0;
}

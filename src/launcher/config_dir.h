// Where the launcher finds its bundle: the configuration folder beside its
// own executable.
//
// Result codes: a failure logged at "ERR[TLS]f(util)L<n>:" returns -(n + 1).
#ifndef ZOR_CONFIG_DIR_H_
#define ZOR_CONFIG_DIR_H_

#include <cstdint>
#include <string>

// out = directory of the executable + "zor_update_whole_package_config/".
// 0; -308 executable path unknown (L307, after the L45 line); -313 no '/' in
// it (L312); -319 folder does not end in '/' (L318).
int32_t get_path_of_executable(std::string& out);

#endif  // ZOR_CONFIG_DIR_H_

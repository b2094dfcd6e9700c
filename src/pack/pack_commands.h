// The commands of zor_pack beside pack and run, one group per file:
// inspection (list, info, verify) and writing out (extract, stamp). Private
// to the program.
//
// Result: each command returns zor_pack's exit status (0 done, 1 failed,
// with one line per problem on stderr).
#ifndef ZOR_PACK_COMMANDS_H_
#define ZOR_PACK_COMMANDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_pack.h"
#include "tool_output.h"

// A bundle file in one buffer: its bytes as read, then (once opened)
// decrypted in place, with its sound entries and the problems found.
struct opened_bundle {
  bundle_loaded loaded;  // the file's buffer, read by the bundle's own load steps
  std::vector<bundle_entry> entries;
  std::vector<bundle_problem> problems;
  bundle_seal_values seal;
  progress p;  // over the reading, the decryption and the CRC
  uint8_t* data() { return loaded.image; }
  size_t size() const { return static_cast<size_t>(loaded.size); }
  ~opened_bundle() { bundle_load_release(&loaded); }
};

// Reads and opens a bundle file; false (after a message with the path and
// the reason) when it cannot be read. Problems of the bundle itself are left
// in b.problems.
bool open_bundle(const std::string& path, opened_bundle& b);

// Prints one line per problem of a bundle; false when there are any.
bool report(const std::string& path, const std::vector<bundle_problem>& problems);

// "0x" and 8 lowercase hex digits.
std::string hex32(uint32_t value);

int cmd_list(const std::string& path, bool as_json);
int cmd_verify(const std::string& path, const std::vector<std::string>& pubkeys, bool as_json);
int cmd_info(const std::string& path, const std::vector<std::string>& pubkeys, bool as_json);
int cmd_extract(const std::string& path, const std::string& dir);
int cmd_stamp(const std::string& path, bool check_only);

#endif  // ZOR_PACK_COMMANDS_H_

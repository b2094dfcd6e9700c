// Turning files into a sealed bundle image, with every check zor_pack makes
// before anything is written: shared by `zor_pack pack` and `zor_pack run`.
//
// Result: true or false; every problem is one line on stderr.
#ifndef ZOR_PACK_ITEMS_H_
#define ZOR_PACK_ITEMS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_pack.h"
#include "tool_output.h"

struct pack_items_options {
  std::vector<std::string> inputs;    // FILE, NAME=PATH or DIRECTORY
  std::vector<std::string> excludes;  // globs over names found in directories
  std::vector<std::string> provided;  // modules the device has: never warned of
  bool no_entry = false;              // allow a bundle without the entry module
  bool precompile = false;            // store bytecode instead of source
  bool strip = false;                 // bytecode without debug information
  std::vector<bundle_item> generated;  // made by zor_pack itself (the payload manifest): last, as they are
};

// Expands the inputs (a directory gives its regular files sorted by name,
// skipping dotfiles, editor leftovers and excluded names, each skip and each
// subdirectory reported once), checks every name, reads and compiles every
// script, warns about module clashes and about literal require() names no
// item or declared module provides (a require inside pcall(...), or of a
// name some pcall(...) requires, is optional and not warned of), requires
// the entry module, and builds the sealed image.
// Every problem is one line on stderr. True when `image` holds the bundle;
// `*items` receives the item count.
bool pack_items(const pack_items_options& opt, std::vector<uint8_t>& image, size_t* items, progress* p);

#endif  // ZOR_PACK_ITEMS_H_

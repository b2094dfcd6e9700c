// The packer's operations on bundle images: building a sealed image from
// items, opening one for inspection, and the checks that pack, verify and
// extract share.
//
// Result codes: the bundle_check values of bundle_image.h; the checks
// return how many problems they found, each a bundle_problem.
#ifndef ZOR_BUNDLE_PACK_H_
#define ZOR_BUNDLE_PACK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_image.h"
#include "bundle_load.h"

// One problem a check found: a stable code word (for scripts), the message
// (for people, as the text output prints it) and the item it concerns (-1:
// none).
struct bundle_problem {
  std::string code;
  std::string message;
  int64_t item = -1;
};

// One item as the packer takes it: its name and plain bytes.
struct bundle_item {
  std::string name;
  std::string data;
};

// Why `name` cannot name an item in a packed bundle, or null when it can:
// 1 to 31 printable ASCII bytes, a safe file name, and a script name with a
// module name before its extension.
const char* bundle_item_name_problem(const std::string& name);

// Lays out a plain image: header, table and data padded to whole blocks,
// the items in the given order, the CRC field left 0. BUNDLE_OK or
// BUNDLE_TOO_LARGE. The same items always give the same bytes.
int32_t bundle_lay_out(const std::vector<bundle_item>& items, std::vector<uint8_t>& image);

// bundle_lay_out, then bundle_seal: the sealed image. `progress` (may be
// null) hears of twice the image's size.
int32_t bundle_build(const std::vector<bundle_item>& items, std::vector<uint8_t>& image,
                     const bundle_progress* progress = nullptr);

// What opening found of an image's seal; 0 where it was not read.
struct bundle_seal_values {
  int32_t img_size = 0;
  uint32_t stored_crc = 0;
  uint32_t computed_crc = 0;
};

// The problem line that follows a CRC mismatch: nothing of the table is read.
extern const char kBundleTableUncheckable[];

// What a load that went through, or stopped at the header, seal or table,
// found: one line per problem appended to `problems`, the sound entries in
// `entries`, a CRC mismatch followed by kBundleTableUncheckable. `size` is
// the file's. BUNDLE_OK or the first problem; `seal` (may be null) receives
// the size and both CRCs.
int32_t bundle_describe(const bundle_loaded& loaded, size_t size, std::vector<bundle_entry>& entries,
                        std::vector<bundle_problem>& problems, bundle_seal_values* seal = nullptr);

// Opens a sealed image of `size` bytes in place: checks the header,
// decrypts, checks the CRC and every table slot (bundle_load_image), then
// bundle_describe. `progress` (may be null) hears of twice the image's size.
int32_t bundle_open(uint8_t* image, size_t size, std::vector<bundle_entry>& entries,
                    std::vector<bundle_problem>& problems, bundle_seal_values* seal = nullptr,
                    const bundle_progress* progress = nullptr);

// Which items a consumer of the bundle writes as files.
enum bundle_written_items {
  kFileItemsWritten,  // the launcher: file items only, scripts become modules
  kAllItemsWritten,   // extraction: every item
};

// Appends a line to `problems` for each duplicate item name and for each
// name of a written item that would leave its directory. Returns the number
// of problems found.
int32_t bundle_check_names(const std::vector<bundle_entry>& entries, bundle_written_items written,
                           std::vector<bundle_problem>& problems);

// Scripts that give one module: the launcher registers each in turn, so the
// last one is the module. `items` are entry indices in table order (two or
// more).
struct bundle_module_clash {
  std::string module;
  std::vector<size_t> items;
};

// The module clashes among the entries, in the order of their first item.
std::vector<bundle_module_clash> bundle_module_clashes(const std::vector<bundle_entry>& entries);

// Appends a line to `problems` for each script item that does not compile.
// Returns the number of problems found.
int32_t bundle_check_scripts(const uint8_t* image, const std::vector<bundle_entry>& entries,
                             std::vector<bundle_problem>& problems);

// Appends a line to `problems` for what would make the launcher fail or
// surprise beyond the layout: names zor_pack refuses (unsafe file names
// aside, which bundle_check_names reports), a missing entry module, scripts
// that give one module (naming the one the launcher runs), and items whose
// data overlap (with the bytes the launcher would write).
// Returns the number of problems found.
int32_t bundle_check_launch(size_t image_size, const std::vector<bundle_entry>& entries,
                            std::vector<bundle_problem>& problems);

#endif  // ZOR_BUNDLE_PACK_H_

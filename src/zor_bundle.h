// The bundle image: layout, item kinds and names, and the operations of the
// packing tool (build, open and check, compile check). All multi-byte fields
// are 32-bit little-endian; bytes 64 onward are AES-128-CBC encrypted under
// keyCbc/iv; the CRC at 0 covers bytes 4..imgSz-1 of the decrypted image.
#ifndef ZOR_BUNDLE_H_
#define ZOR_BUNDLE_H_

#include <cstdint>
#include <lua.hpp>
#include <string>
#include <vector>

const int32_t kBundleHeaderSize = 64;
const int32_t kBundleEntrySize = 64;
const int32_t kBundleNameField = 32;  // NUL-terminated, at most 31 characters
const int32_t kBundleBlock = 16;
extern const char kBundleMagic[8];  // "ZOR_RES!", no terminator

// Header and entry field offsets.
const int32_t kBundleCrcAt = 0;
const int32_t kBundleMagicAt = 8;
const int32_t kBundleSizeAt = 16;
const int32_t kBundleCountAt = 20;
const int32_t kEntrySizeAt = 8;
const int32_t kEntryOffsetAt = 12;
const int32_t kEntryNameAt = 32;

// Result codes of the checks below (0 is sound).
enum bundle_check {
  BUNDLE_OK = 0,
  BUNDLE_SHORT_BUFFER = 1,      // fewer than 64 bytes: no header
  BUNDLE_BAD_MAGIC = 2,         // bytes 8..15 are not "ZOR_RES!"
  BUNDLE_SIZE_BEYOND = 3,       // imgSz larger than the buffer
  BUNDLE_TOO_SMALL = 4,         // imgSz below 64
  BUNDLE_NOT_BLOCKS = 5,        // imgSz - 64 not a multiple of 16
  BUNDLE_CRC_MISMATCH = 6,      // stored CRC differs from the computed one
  BUNDLE_TABLE_BEYOND = 7,      // the entry lies beyond imgSz
  BUNDLE_NEGATIVE_SIZE = 8,     // an item size below 0
  BUNDLE_DATA_BEYOND = 9,       // offset + size beyond imgSz
  BUNDLE_NAME_UNTERMINATED = 10,  // no NUL inside the 32-byte name field
  BUNDLE_UNSAFE_NAME = 11,      // a file name that would leave the unpack directory
  BUNDLE_TOO_LARGE = 12,        // the image would not fit a signed 32-bit size
};

// One item as the packer takes it: its name and plain bytes.
struct bundle_item {
  std::string name;
  std::string data;
};

// One entry of an opened image.
struct bundle_entry {
  int32_t size;
  uint32_t offset;
  std::string name;
  bool script;
  std::string module;  // empty for file items
  uint32_t crc;        // CRC of the item's bytes (filled by bundle_open)
};

uint32_t bundle_get_le32(const uint8_t* p);
void bundle_put_le32(uint8_t* p, uint32_t value);

// True when the name ends in exactly ".lua" or ".zor" (after its last '.').
bool bundle_is_script_name(const char* name);
// The module name: cut before the last ".zor", then before the last ".lua".
std::string bundle_module_name(const char* name);
// False for "", ".", ".." and any name holding '/': they would place a file
// outside the unpack directory.
bool bundle_file_name_is_safe(const char* name);

// BUNDLE_OK, BUNDLE_TOO_SMALL or BUNDLE_NOT_BLOCKS for a header's imgSz.
int32_t bundle_check_size(int64_t img_size);
// Checks entry `index` of a decrypted image of `img_size` bytes against the
// layout and fills `out`. BUNDLE_OK, _TABLE_BEYOND, _NEGATIVE_SIZE,
// _DATA_BEYOND or _NAME_UNTERMINATED.
int32_t bundle_read_entry(const uint8_t* image, int32_t img_size, int32_t index, bundle_entry* out);

// Builds a sealed image (header, table, data padded to whole blocks,
// encrypted, CRC). Items are laid out in the given order. BUNDLE_OK or
// BUNDLE_TOO_LARGE. The same items always give the same bytes.
int32_t bundle_build(const std::vector<bundle_item>& items, std::vector<uint8_t>& image);

// Seals a plain image of `img_size` bytes in place (64 plus whole blocks):
// writes the CRC of bytes 4.. at 0, then encrypts bytes 64.. with the
// bundle key. The header's own fields are left as they are.
void bundle_seal(uint8_t* image, int32_t img_size);

// Opens a sealed image in place: checks magic and size, decrypts, checks the
// CRC and every entry. Appends one line per problem to `problems` and fills
// `entries` with the entries that are sound. BUNDLE_OK or the first problem.
int32_t bundle_open(std::vector<uint8_t>& image, std::vector<bundle_entry>& entries,
                    std::vector<std::string>& problems);

// Appends a line to `problems` for each unsafe or duplicate file name and for
// each script item that does not compile. Returns the number of problems.
int32_t bundle_check_items(const std::vector<uint8_t>& image, const std::vector<bundle_entry>& entries,
                           std::vector<std::string>& problems);

// Lua does not check precompiled chunks, and a malformed one can crash its
// loader or make it allocate without bound. True when `data` (a chunk that
// begins with "\x1bLua") has the exact Lua 5.3 layout for this platform,
// every count fits the bytes that are left and nesting stays within 200
// levels; otherwise `why` names the first problem.
bool bundle_bytecode_is_sound(const char* data, size_t size, std::string& why);

// A Lua state with the standard libraries whose allocations stop at `limit`
// bytes (beyond it Lua raises its memory error), or null. Close it with
// bundle_close_capped_state.
lua_State* bundle_new_capped_state(size_t limit);
void bundle_close_capped_state(lua_State* L);

// Compiles a Lua chunk without running it; on failure `error` holds Lua's
// message (with `chunk_name` and the line). Returns the Lua status (0 = ok).
// With `dump`, `out` receives the compiled chunk (debug info dropped when
// `strip`).
int32_t bundle_compile(const std::string& source, const std::string& chunk_name, bool dump, bool strip,
                       std::string& out, std::string& error);

// Short text for a bundle_check code.
const char* bundle_check_text(int32_t code);

#endif  // ZOR_BUNDLE_H_

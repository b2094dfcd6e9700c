// The bundle image: its layout, its item table and item names, and the seal
// around it. All multi-byte fields are 32-bit little-endian; bytes 64 onward
// are AES-128-CBC encrypted under keyCbc/iv as one stream; the CRC at 0
// covers bytes 4..imgSz-1 of the decrypted image.
//
// Reading an image is three steps, each with its own codes:
//   bundle_check_header -> bundle_unseal -> bundle_read_table.
//
// Result codes: the bundle_check values below (0 is sound); nothing here
// logs. The launcher's reader turns them into its own -(line + 1) codes.
#ifndef ZOR_BUNDLE_IMAGE_H_
#define ZOR_BUNDLE_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"

const int32_t kBundleHeaderSize = 64;
const int32_t kBundleEntrySize = 64;
const int32_t kBundleNameField = 32;  // NUL-terminated, at most 31 characters
const int32_t kBundleBlock = 16;
extern const char kBundleMagic[8];  // "ZOR_RES!", no terminator

// The entry module: the preload entry the launcher calls with the argument
// table. A bundle without a script that gives it cannot run.
inline constexpr char kZorEntryModule[] = "zor_update_whole_package";

// Header and entry field offsets.
const int32_t kBundleCrcAt = 0;
const int32_t kBundleCrcFrom = 4;  // the CRC covers bytes 4..imgSz-1
const int32_t kBundleMagicAt = 8;
const int32_t kBundleSizeAt = 16;
const int32_t kBundleCountAt = 20;
const int32_t kEntrySizeAt = 8;
const int32_t kEntryOffsetAt = 12;
const int32_t kEntryNameAt = 32;

// Result codes of the checks of the bundle modules (0 is sound).
enum bundle_check {
  BUNDLE_OK = 0,
  BUNDLE_SHORT_BUFFER = 1,        // the magic or the size field lies beyond the buffer
  BUNDLE_BAD_MAGIC = 2,           // bytes 8..15 are not "ZOR_RES!"
  BUNDLE_SIZE_BEYOND = 3,         // imgSz larger than the buffer
  BUNDLE_TOO_SMALL = 4,           // imgSz below 64
  BUNDLE_NOT_BLOCKS = 5,          // imgSz - 64 not a multiple of 16
  BUNDLE_CRC_MISMATCH = 6,        // stored CRC differs from the computed one
  BUNDLE_TABLE_BEYOND = 7,        // the entry lies beyond imgSz
  BUNDLE_NEGATIVE_SIZE = 8,       // an item size below 0
  BUNDLE_DATA_BEYOND = 9,         // offset + size beyond imgSz
  BUNDLE_NAME_UNTERMINATED = 10,  // no NUL inside the 32-byte name field
  BUNDLE_UNSAFE_NAME = 11,        // a file name that would leave the unpack directory
  BUNDLE_TOO_LARGE = 12,          // the image would not fit a signed 32-bit size
};

// Short text for a bundle_check code.
const char* bundle_check_text(int32_t code);

// One slot of the item table as read from a decrypted image. Smaller than
// the 64-byte slot itself, so a table read into a list never costs more
// than the table.
struct bundle_entry {
  int32_t check;                  // BUNDLE_OK or this slot's layout problem
  int32_t size;                   // valid unless check is BUNDLE_TABLE_BEYOND
  uint32_t offset;                // valid unless check is BUNDLE_TABLE_BEYOND
  char name[kBundleNameField];    // "" unless the name field was terminated
  bool script;                    // a script item (by its name)
};

// True when the name ends in exactly ".lua" or ".zor" (after its last '.').
bool bundle_is_script_name(const char* name);
// The module name: cut before the last ".zor", then before the last ".lua".
std::string bundle_module_name(const char* name);
// True when one of the entries is a script that gives kZorEntryModule.
bool bundle_has_entry_module(const std::vector<bundle_entry>& entries);
// False for "", ".", ".." and any name holding '/': they would place a file
// outside the unpack directory.
bool bundle_file_name_is_safe(const char* name);

// Checks the plain header of an image in a buffer of `buf_size` bytes, in
// the reader's order: magic, imgSz against the buffer, imgSz itself. Sets
// *img_size once the size field has been read (also when it is then
// refused). BUNDLE_OK, _SHORT_BUFFER (null image, or the magic or size
// field beyond the buffer), _BAD_MAGIC, _SIZE_BEYOND, _TOO_SMALL or
// _NOT_BLOCKS.
int32_t bundle_check_header(const uint8_t* image, int64_t buf_size, int32_t* img_size);

// Told of the bytes done by a long operation, for a progress line; the
// launcher passes none.
typedef zor_progress bundle_progress;

// calc_buf_crc of `length` bytes, in steps that `progress` (may be null)
// hears of: the CRC of an image's bytes 4.., or of a firmware image's.
uint32_t bundle_region_crc(const uint8_t* data, uint32_t length, const bundle_progress* progress);

// Decrypts bytes 64..img_size-1 in place with the bundle key and checks the
// CRC; *stored and *computed receive both values. Only for an image whose
// header passed bundle_check_header. BUNDLE_OK or BUNDLE_CRC_MISMATCH.
// `progress` (may be null) hears of 2 * img_size bytes.
int32_t bundle_unseal(uint8_t* image, int32_t img_size, uint32_t* stored, uint32_t* computed,
                      const bundle_progress* progress = nullptr);

// The inverse of bundle_unseal for a plain image of `img_size` bytes (64
// plus whole blocks): writes the CRC of bytes 4.. at 0, then encrypts bytes
// 64.. with the bundle key. The header's other fields are left as they are.
// `progress` (may be null) hears of 2 * img_size bytes.
void bundle_seal(uint8_t* image, int32_t img_size, const bundle_progress* progress = nullptr);

// Reads the item table of a decrypted image into `entries`, one per slot in
// table order (itemCount of zero or below means none), each with its own
// check; stops after a slot that lies beyond the image. Returns BUNDLE_OK or
// the first slot's problem.
int32_t bundle_read_table(const uint8_t* image, int32_t img_size, std::vector<bundle_entry>& entries);

#endif  // ZOR_BUNDLE_IMAGE_H_

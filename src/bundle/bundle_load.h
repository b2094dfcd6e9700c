// Loading a bundle: one pass from the file to its item table. The steps, in
// order, each stopping the load on a failure:
//   read the signature file (signing builds, when asked)
//   -> read the bundle into one buffer
//   -> verify the signature over the bytes as read
//   -> bundle_check_header -> bundle_unseal -> bundle_read_table.
// Nothing here logs: the launcher's reader and the packer each report a
// stopped load in their own words.
//
// Result codes: the bundle_load_step at which the load stopped (0 when it
// went through); bundle_loaded holds that step's own code and values.
#ifndef ZOR_BUNDLE_LOAD_H_
#define ZOR_BUNDLE_LOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_image.h"
#if ZOR_SIGNING
#include "bundle_sig.h"
#endif

// Where a load stopped.
enum bundle_load_step {
  BUNDLE_LOADED = 0,           // every step passed
  BUNDLE_STEP_SIGNATURE_FILE,  // <path>.minisig missing, malformed or by an untrusted key (check: a sig code)
  BUNDLE_STEP_READ,            // the file could not be read (check: a bundle_read code, err: errno)
  BUNDLE_STEP_SIGNATURE,       // the signature does not cover the bytes read (check: a sig code)
  BUNDLE_STEP_HEADER,          // bundle_check_header refused the header (check: its code)
  BUNDLE_STEP_SEAL,            // the CRC does not match (check: BUNDLE_CRC_MISMATCH)
  BUNDLE_STEP_TABLE,           // a table slot is bad (check: that slot's code, bad_slot: its index)
};

// Why the read step failed.
enum bundle_read {
  BUNDLE_READ_OK = 0,
  BUNDLE_READ_NO_FILE,    // stat failed (err: its errno)
  BUNDLE_READ_EMPTY,      // a size of 0
  BUNDLE_READ_TOO_LARGE,  // beyond a signed 32-bit size
  BUNDLE_READ_NO_MEMORY,  // the buffer could not be allocated
  BUNDLE_READ_FAILED,     // not a regular file, or fewer bytes than its size (err: errno, or 0)
};

// What to check beyond the image itself.
enum bundle_load_flags {
  BUNDLE_LOAD_PLAIN = 0,
  BUNDLE_LOAD_SIGNED = 1,  // in a signing build: the build's trusted keys must have signed the file
};

// A load, step by step. The buffer is owned here from the read on; release
// it with bundle_load_release (it wipes what was decrypted).
struct bundle_loaded {
  int32_t step = BUNDLE_LOADED;  // where the load stopped
  int32_t check = 0;             // that step's code
  int err = 0;                   // errno of a failed read (0 when there is none)
  int64_t file_size = 0;         // from stat, once read
  uint8_t* image = nullptr;      // the file's bytes, decrypted in place once unsealed
  int32_t size = 0;              // bytes in `image`
  int32_t img_size = 0;          // the header's imgSz, once read
  uint32_t stored_crc = 0;       // once unsealed
  uint32_t computed_crc = 0;
  std::vector<bundle_entry> table;  // every slot read, in table order
  int32_t bad_slot = -1;            // the first bad slot, -1 when there is none
  bool owns_image = false;          // the buffer came from the read step
#if ZOR_SIGNING
  sig_prepared prepared;  // the parsed signature file
  sig_verified signer;    // once verified: key id and trusted comment
#endif
};

// The header, seal and table steps over an image already in memory (`size`
// bytes, writable, decrypted in place): fills `out` (which does not take
// the buffer) and returns where it stopped. `progress` (may be null) hears
// of 2 * imgSz bytes.
int32_t bundle_load_image(uint8_t* image, int64_t size, bundle_loaded* out,
                          const bundle_progress* progress = nullptr);

// The steps up to the image's own: the signature file (when `flags` ask and
// the build signs), the read, the signature over the bytes read. Returns
// where it stopped; `out` holds the buffer whenever the read passed.
// `progress` (may be null) hears of the bytes read.
int32_t bundle_load_read(const char* path, int32_t flags, bundle_loaded* out,
                         const bundle_progress* progress = nullptr);

// Every step over the file at `path`, with `flags`: bundle_load_read, then
// bundle_load_image. Returns where it
// stopped; `out` holds the buffer whenever the read passed, also on a later
// failure. `progress` (may be null) hears of the bytes read and then of
// 2 * imgSz.
int32_t bundle_load_file(const char* path, int32_t flags, bundle_loaded* out,
                         const bundle_progress* progress = nullptr);

// Wipes and frees the buffer a bundle_load_file read; nothing for an image
// the caller owns.
void bundle_load_release(bundle_loaded* loaded);

#endif  // ZOR_BUNDLE_LOAD_H_

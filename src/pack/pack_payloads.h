// Payloads: large files that travel beside a bundle instead of inside it.
// The bundle holds their manifest, the script item "zor_payloads.lua" (the
// module zor_payloads), so the bundle's seal and signature pin each
// payload's size and SHA-256. Payloads themselves are stored as they are
// (or zstd-compressed), never encrypted.
//
// Result: true or false (after one line per problem on stderr), or a state
// word for a payload found beside a bundle.
#ifndef ZOR_PACK_PAYLOADS_H_
#define ZOR_PACK_PAYLOADS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_image.h"
#include "bundle_pack.h"

// The manifest's item name, and its module.
extern const char kPayloadManifestItem[];  // "zor_payloads.lua"

// One payload as the manifest records it. `file` is the stored file beside
// the bundle; `size`/`sha256` are the stored file's, `image_size` and
// `image_sha256` what it gives once decompressed (the same when plain).
struct payload_entry {
  std::string name;
  std::string file;
  std::string compression;  // "" or "zstd"
  uint64_t size = 0;
  std::string sha256;  // 64 lowercase hex digits
  uint64_t image_size = 0;
  std::string image_sha256;
};

// The folder a bundle lies in, as a prefix for its payloads' names: "" or
// ending in '/'.
std::string payload_folder(const std::string& bundle_path);

// Writes each NAME=FILE of `args` beside the bundle at `bundle_path` (as
// NAME, or NAME.zst with `compress` "zstd", through Debian's zstd), synced,
// and returns the manifest item in *manifest. Never replaces an existing
// file unless `force`. False after a message per problem; nothing written
// is left behind.
bool payloads_write(const std::vector<std::string>& args, const std::string& compress,
                    const std::string& bundle_path, bool force, std::vector<payload_entry>& out,
                    bundle_item* manifest);

// Removes the temporary file of a payload being written, if any.
// Async-signal-safe: for a handler of a signal that ends the program.
void payloads_abandon();

// Reads the manifest of an opened bundle, when it has one: true with
// `out` filled (empty without a manifest); false when the manifest item
// does not give a well-formed list (`why` says what is wrong).
bool payloads_read_manifest(const uint8_t* image, const std::vector<bundle_entry>& entries,
                            std::vector<payload_entry>& out, std::string& why);

// The state of payload `p` beside the bundle in folder `dir` ("/" ended):
// "ok" present with its size and (with `hash`) its SHA-256, "present" size
// right and hash not checked, "missing", "short", "long", "changed" (the
// size is right, the hash is not), "unreadable". Reads in constant memory.
const char* payload_state(const std::string& dir, const payload_entry& p, bool hash);

#endif  // ZOR_PACK_PAYLOADS_H_

// Shared by the fuzz targets: a private scratch directory and helpers.
#ifndef ZOR_FUZZ_SUPPORT_H_
#define ZOR_FUZZ_SUPPORT_H_

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include "files.h"
#include "text.h"
#include "bundle_pack.h"
#include "chunk_gate.h"

namespace zor_fuzz {

// A directory of this process, made once and removed at exit.
inline const std::string& scratch_dir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string* dir = [] {
    char tmpl[] = "/tmp/zor_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    auto* d = new std::string(tmpl);
    atexit([] { remove_directory(scratch_dir().c_str()); });
    return d;
  }();
  return *dir;
}

inline std::string scratch_file(const char* name, const uint8_t* data, size_t size) {
  std::string path = scratch_dir() + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
  return path;
}

// Names of the entries of a directory, "." and ".." left out; aborts when an
// entry is not a regular file and `files_only` is set.
inline int count_entries(const std::string& dir, bool files_only) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) abort();
  int n = 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    ++n;
    struct stat st;
    std::string p = dir + "/" + e->d_name;
    if (files_only && (lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))) abort();
  }
  closedir(d);
  return n;
}

// A bytecode item may ask Lua's loader for gigabytes (it clears its vectors
// before it finds the chunk truncated). Under the packer's cap that ends in
// Lua's memory error, status 4, as on a machine without that much memory.
inline lua_State* capped_state() {
  lua_State* L = chunk_new_capped_state(kChunkMemoryCap);
  if (L == nullptr) abort();
  return L;
}

// The input as a plain image made consistent (magic, size padded to whole
// blocks) and sealed with the bundle key and CRC.
inline std::vector<uint8_t> sealed_from(const uint8_t* data, size_t size) {
  size_t body = size < 64 ? 0 : size - 64;
  std::vector<uint8_t> image(64 + (body + 15) / 16 * 16, 0);
  if (size > 0) memcpy(image.data(), data, size);
  memcpy(image.data() + kBundleMagicAt, kBundleMagic, sizeof kBundleMagic);
  zor_store_le32(image.data() + kBundleSizeAt, static_cast<uint32_t>(image.size()));
  bundle_seal(image.data(), static_cast<int32_t>(image.size()));
  return image;
}

}  // namespace zor_fuzz

#endif  // ZOR_FUZZ_SUPPORT_H_

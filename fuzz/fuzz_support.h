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

#include <lua.hpp>

#include "util.h"

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

// A Lua state whose allocations stop at 256 MiB. A bytecode item may ask the
// loader for gigabytes (it clears its vectors before it finds the chunk
// truncated); with the cap that ends in Lua's memory error, status 4, as on a
// machine without that much memory, instead of exhausting the fuzzer.
inline void* capped_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  size_t* used = static_cast<size_t*>(ud);
  const size_t limit = size_t{256} << 20;
  if (ptr == nullptr) osize = 0;
  if (nsize == 0) {
    free(ptr);
    *used -= osize;
    return nullptr;
  }
  if (nsize > osize && nsize - osize > limit - *used) return nullptr;
  void* p = realloc(ptr, nsize);
  if (p != nullptr) *used = *used - osize + nsize;
  return p;
}

inline lua_State* capped_state(size_t* used) {
  *used = 0;
  lua_State* L = lua_newstate(capped_alloc, used);
  if (L == nullptr) abort();
  luaL_openlibs(L);
  return L;
}

}  // namespace zor_fuzz

#endif  // ZOR_FUZZ_SUPPORT_H_

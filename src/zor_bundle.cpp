#include "zor_bundle.h"

#include <lua.hpp>

#include <cstdlib>
#include <cstring>
#include <set>

#include "aes.h"
#include "bundle_key.h"
#include "crc32.h"
#include "util.h"

const char kBundleMagic[8] = {'Z', 'O', 'R', '_', 'R', 'E', 'S', '!'};

uint32_t bundle_get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void bundle_put_le32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

bool bundle_is_script_name(const char* name) {
  const char* dot = strrchr(name, '.');
  return dot != nullptr && (strcmp(dot, ".lua") == 0 || strcmp(dot, ".zor") == 0);
}

// Cuts `s` before the last occurrence of `what`, when there is one.
static void cut_before_last(std::string& s, const char* what) {
  size_t at = s.rfind(what);
  if (at != std::string::npos) s.resize(at);
}

std::string bundle_module_name(const char* name) {
  std::string module = name;
  cut_before_last(module, ".zor");
  cut_before_last(module, ".lua");
  return module;
}

bool bundle_file_name_is_safe(const char* name) {
  return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strchr(name, '/') == nullptr;
}

int32_t bundle_check_size(int64_t img_size) {
  if (img_size < kBundleHeaderSize) return BUNDLE_TOO_SMALL;
  if ((img_size - kBundleHeaderSize) % kBundleBlock != 0) return BUNDLE_NOT_BLOCKS;
  return BUNDLE_OK;
}

int32_t bundle_read_entry(const uint8_t* image, int32_t img_size, int32_t index, bundle_entry* out) {
  // 64-bit throughout: index * 64 and offset + size must not wrap.
  int64_t at = kBundleHeaderSize + static_cast<int64_t>(index) * kBundleEntrySize;
  if (index < 0 || at + kBundleEntrySize > img_size) return BUNDLE_TABLE_BEYOND;
  const uint8_t* entry = image + at;
  out->size = static_cast<int32_t>(bundle_get_le32(entry + kEntrySizeAt));
  out->offset = bundle_get_le32(entry + kEntryOffsetAt);
  const char* name = reinterpret_cast<const char*>(entry + kEntryNameAt);
  const void* nul = memchr(name, '\0', kBundleNameField);
  if (nul == nullptr) return BUNDLE_NAME_UNTERMINATED;
  out->name.assign(name, static_cast<const char*>(nul) - name);
  out->script = bundle_is_script_name(out->name.c_str());
  out->module = out->script ? bundle_module_name(out->name.c_str()) : std::string();
  if (out->size < 0) return BUNDLE_NEGATIVE_SIZE;
  if (static_cast<int64_t>(out->offset) + out->size > img_size) return BUNDLE_DATA_BEYOND;
  return BUNDLE_OK;
}

int32_t bundle_build(const std::vector<bundle_item>& items, std::vector<uint8_t>& image) {
  int64_t total = kBundleHeaderSize + static_cast<int64_t>(items.size()) * kBundleEntrySize;
  for (const auto& item : items) total += static_cast<int64_t>(item.data.size());
  int64_t padded = kBundleHeaderSize + (total - kBundleHeaderSize + kBundleBlock - 1) / kBundleBlock * kBundleBlock;
  if (padded > INT32_MAX) return BUNDLE_TOO_LARGE;
  image.assign(static_cast<size_t>(padded), 0);

  memcpy(image.data() + kBundleMagicAt, kBundleMagic, sizeof kBundleMagic);
  bundle_put_le32(image.data() + kBundleSizeAt, static_cast<uint32_t>(padded));
  bundle_put_le32(image.data() + kBundleCountAt, static_cast<uint32_t>(items.size()));
  uint32_t offset = static_cast<uint32_t>(kBundleHeaderSize + items.size() * kBundleEntrySize);
  for (size_t i = 0; i < items.size(); ++i) {
    uint8_t* entry = image.data() + kBundleHeaderSize + i * kBundleEntrySize;
    const auto& item = items[i];
    bundle_put_le32(entry + kEntrySizeAt, static_cast<uint32_t>(item.data.size()));
    bundle_put_le32(entry + kEntryOffsetAt, offset);
    memcpy(entry + kEntryNameAt, item.name.data(), std::min<size_t>(item.name.size(), kBundleNameField - 1));
    if (!item.data.empty()) memcpy(image.data() + offset, item.data.data(), item.data.size());
    offset += static_cast<uint32_t>(item.data.size());
  }
  bundle_seal(image.data(), static_cast<int32_t>(padded));
  return BUNDLE_OK;
}

void bundle_seal(uint8_t* image, int32_t img_size) {
  bundle_put_le32(image + kBundleCrcAt, calc_buf_crc(image + 4, static_cast<uint32_t>(img_size - 4)));
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, keyCbc, iv);
  AES_CBC_encrypt_buffer(&ctx, image + kBundleHeaderSize, static_cast<uint32_t>(img_size - kBundleHeaderSize));
}

int32_t bundle_open(std::vector<uint8_t>& image, std::vector<bundle_entry>& entries,
                    std::vector<std::string>& problems) {
  entries.clear();
  std::string line;
  if (image.size() < static_cast<size_t>(kBundleHeaderSize)) {
    problems.push_back(std_string_format(line, "file of %zu bytes is shorter than the 64-byte header", image.size()));
    return BUNDLE_SHORT_BUFFER;
  }
  if (memcmp(image.data() + kBundleMagicAt, kBundleMagic, sizeof kBundleMagic) != 0) {
    problems.push_back("bad magic: bytes 8..15 are not \"ZOR_RES!\"");
    return BUNDLE_BAD_MAGIC;
  }
  int32_t img_size = static_cast<int32_t>(bundle_get_le32(image.data() + kBundleSizeAt));
  if (static_cast<int64_t>(img_size) > static_cast<int64_t>(image.size())) {
    problems.push_back(std_string_format(line, "image size %d is larger than the file (%zu bytes)", img_size,
                                         image.size()));
    return BUNDLE_SIZE_BEYOND;
  }
  int32_t rc = bundle_check_size(img_size);
  if (rc != BUNDLE_OK) {
    problems.push_back(std_string_format(line, "image size %d: %s", img_size, bundle_check_text(rc)));
    return rc;
  }
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, keyCbc, iv);
  AES_CBC_decrypt_buffer(&ctx, image.data() + kBundleHeaderSize, static_cast<uint32_t>(img_size - kBundleHeaderSize));
  int32_t first = BUNDLE_OK;
  uint32_t stored = bundle_get_le32(image.data() + kBundleCrcAt);
  uint32_t computed = calc_buf_crc(image.data() + 4, static_cast<uint32_t>(img_size - 4));
  if (stored != computed) {
    problems.push_back(std_string_format(
        line, "CRC mismatch: stored 0x%08x, computed 0x%08x (damaged, or packed under another key)", stored, computed));
    first = BUNDLE_CRC_MISMATCH;
  }
  int32_t count = static_cast<int32_t>(bundle_get_le32(image.data() + kBundleCountAt));
  for (int32_t i = 0; i < count; ++i) {
    bundle_entry entry{};
    rc = bundle_read_entry(image.data(), img_size, i, &entry);
    if (rc == BUNDLE_OK) {
      entry.crc = calc_buf_crc(image.data() + entry.offset, static_cast<uint32_t>(entry.size));
      entries.push_back(entry);
      continue;
    }
    if (first == BUNDLE_OK) first = rc;
    if (rc == BUNDLE_TABLE_BEYOND) {
      problems.push_back(std_string_format(line, "item table of %d entries runs beyond the image (%d bytes)", count,
                                           img_size));
      break;
    }
    problems.push_back(std_string_format(line, "item %d (%s): %s", i, entry.name.c_str(), bundle_check_text(rc)));
  }
  return first;
}

int32_t bundle_check_items(const std::vector<uint8_t>& image, const std::vector<bundle_entry>& entries,
                           std::vector<std::string>& problems) {
  int32_t found = 0;
  std::set<std::string> names;
  std::string line;
  for (size_t i = 0; i < entries.size(); ++i) {
    const bundle_entry& e = entries[i];
    if (!names.insert(e.name).second) {
      problems.push_back(std_string_format(line, "item %zu (%s): duplicate item name", i, e.name.c_str()));
      ++found;
    }
    if (!e.script && !bundle_file_name_is_safe(e.name.c_str())) {
      problems.push_back(std_string_format(line, "item %zu (%s): %s", i, e.name.c_str(),
                                           bundle_check_text(BUNDLE_UNSAFE_NAME)));
      ++found;
    }
    if (e.script) {
      std::string unused, error;
      std::string chunk(reinterpret_cast<const char*>(image.data()) + e.offset, static_cast<size_t>(e.size));
      if (bundle_compile(chunk, e.module, false, false, unused, error) != 0) {
        problems.push_back(std_string_format(line, "item %zu (%s): does not compile: %s", i, e.name.c_str(),
                                             error.c_str()));
        ++found;
      }
    }
  }
  return found;
}

namespace {

// A malformed bytecode chunk can make Lua's loader allocate and clear
// gigabytes before it notices the chunk is truncated; compiling a real
// script never needs more than a few megabytes.
const size_t kCompileMemoryLimit = size_t{256} << 20;

struct alloc_budget {
  size_t used;
  size_t limit;
};

void* capped_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  alloc_budget* budget = static_cast<alloc_budget*>(ud);
  if (ptr == nullptr) osize = 0;  // then osize only tells the kind of object
  if (nsize == 0) {
    free(ptr);
    budget->used -= osize;
    return nullptr;
  }
  if (nsize > osize && nsize - osize > budget->limit - budget->used) return nullptr;
  void* p = realloc(ptr, nsize);
  if (p != nullptr) budget->used = budget->used - osize + nsize;
  return p;
}

}  // namespace

lua_State* bundle_new_capped_state(size_t limit) {
  alloc_budget* budget = new alloc_budget{0, limit};
  lua_State* L = lua_newstate(capped_alloc, budget);
  if (L == nullptr) {
    delete budget;
    return nullptr;
  }
  luaL_openlibs(L);
  return L;
}

void bundle_close_capped_state(lua_State* L) {
  void* budget = nullptr;
  lua_getallocf(L, &budget);
  lua_close(L);
  delete static_cast<alloc_budget*>(budget);
}

namespace {

// Walks a precompiled chunk in the order Lua 5.3 dumps it.
struct chunk_cursor {
  const uint8_t* p;
  size_t left;
  const char* why;
};

const int kMaxProtoDepth = 200;  // the parser's own nesting limit

// Constant tags of the dump format: a base type plus a variant in bits 4-5
// (Lua keeps these in an internal header).
const uint8_t kTagFloat = LUA_TNUMBER | (0 << 4);
const uint8_t kTagInteger = LUA_TNUMBER | (1 << 4);
const uint8_t kTagShortString = LUA_TSTRING | (0 << 4);
const uint8_t kTagLongString = LUA_TSTRING | (1 << 4);

bool fail_chunk(chunk_cursor& c, const char* why) {
  if (c.why == nullptr) c.why = why;
  return false;
}

bool skip(chunk_cursor& c, size_t n) {
  if (n > c.left) return fail_chunk(c, "truncated");
  c.p += n;
  c.left -= n;
  return true;
}

bool take_byte(chunk_cursor& c, uint8_t* out) {
  if (c.left < 1) return fail_chunk(c, "truncated");
  *out = *c.p;
  return skip(c, 1);
}

// A vector length: an int in host order, never negative, and never more
// elements than the bytes left could hold at `min_size` bytes each.
bool take_count(chunk_cursor& c, size_t min_size, int32_t* out) {
  if (c.left < 4) return fail_chunk(c, "truncated");
  int32_t n;
  memcpy(&n, c.p, 4);
  skip(c, 4);
  if (n < 0 || static_cast<size_t>(n) > c.left / min_size) return fail_chunk(c, "bad vector size");
  *out = n;
  return true;
}

bool take_string(chunk_cursor& c, bool may_be_null) {
  uint8_t small;
  if (!take_byte(c, &small)) return false;
  uint64_t size = small;
  if (small == 0xFF) {
    if (c.left < 8) return fail_chunk(c, "truncated");
    memcpy(&size, c.p, 8);
    skip(c, 8);
  }
  if (size == 0) return may_be_null ? true : fail_chunk(c, "missing string constant");
  if (size - 1 > c.left) return fail_chunk(c, "bad string size");
  return skip(c, static_cast<size_t>(size - 1));
}

bool check_function(chunk_cursor& c, int depth, int32_t* upvalues) {
  if (depth > kMaxProtoDepth) return fail_chunk(c, "functions nested too deeply");
  int32_t n;
  if (!take_string(c, true) || !skip(c, 4 + 4 + 3)) return false;  // source, lines, params/vararg/stack
  int32_t code_size;
  if (!take_count(c, 4, &code_size) || !skip(c, 4 * static_cast<size_t>(code_size))) return false;
  if (!take_count(c, 1, &n)) return false;  // constants
  for (int32_t i = 0; i < n; ++i) {
    uint8_t type;
    if (!take_byte(c, &type)) return false;
    bool ok = true;
    switch (type) {
      case LUA_TNIL: break;
      case LUA_TBOOLEAN: ok = skip(c, 1); break;
      case kTagFloat: ok = skip(c, sizeof(lua_Number)); break;
      case kTagInteger: ok = skip(c, sizeof(lua_Integer)); break;
      case kTagShortString:
      case kTagLongString: ok = take_string(c, false); break;
      default: return fail_chunk(c, "bad constant type");
    }
    if (!ok) return false;
  }
  if (!take_count(c, 2, upvalues) || !skip(c, 2 * static_cast<size_t>(*upvalues))) return false;
  if (!take_count(c, 1, &n)) return false;  // nested functions
  for (int32_t i = 0; i < n; ++i) {
    int32_t nested_upvalues;
    if (!check_function(c, depth + 1, &nested_upvalues)) return false;
  }
  // Line info is indexed by instruction when a runtime error is reported.
  if (!take_count(c, 4, &n) || !skip(c, 4 * static_cast<size_t>(n))) return false;
  if (n != 0 && n != code_size) return fail_chunk(c, "line info does not match the code");
  if (!take_count(c, 9, &n)) return false;  // local names
  for (int32_t i = 0; i < n; ++i)
    if (!take_string(c, true) || !skip(c, 8)) return false;
  // Lua stores upvalue names into the upvalue array it already has, without
  // checking this count: a larger one would write past that array.
  if (!take_count(c, 1, &n)) return false;
  if (n != 0 && n != *upvalues) return fail_chunk(c, "upvalue names do not match the upvalues");
  for (int32_t i = 0; i < n; ++i)
    if (!take_string(c, true)) return false;
  return true;
}

}  // namespace

bool bundle_bytecode_is_sound(const char* data, size_t size, std::string& why) {
  // The header as lua_dump writes it on this platform.
  uint8_t header[33] = {0x1b, 'L', 'u', 'a', 0x53, 0, 0x19, 0x93, '\r', '\n', 0x1a, '\n',
                        sizeof(int), sizeof(size_t), 4, sizeof(lua_Integer), sizeof(lua_Number)};
  const lua_Integer check_int = 0x5678;
  const lua_Number check_num = 370.5;
  memcpy(header + 17, &check_int, 8);
  memcpy(header + 25, &check_num, 8);
  chunk_cursor c{reinterpret_cast<const uint8_t*>(data), size, nullptr};
  uint8_t closure_upvalues = 0;
  int32_t upvalues = 0;
  if (size < sizeof header || memcmp(data, header, sizeof header) != 0) {
    fail_chunk(c, "header is not Lua 5.3 for this platform");
  } else if (skip(c, sizeof header) && take_byte(c, &closure_upvalues) && check_function(c, 0, &upvalues) &&
             upvalues != closure_upvalues) {
    fail_chunk(c, "upvalue count mismatch");
  }
  if (c.why != nullptr) why = c.why;
  return c.why == nullptr;
}

static int dump_writer(lua_State*, const void* p, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
  return 0;
}

int32_t bundle_compile(const std::string& source, const std::string& chunk_name, bool dump, bool strip,
                       std::string& out, std::string& error) {
  std::string why;
  if (!source.empty() && source[0] == LUA_SIGNATURE[0] && !bundle_bytecode_is_sound(source.data(), source.size(), why)) {
    error = chunk_name + ": bad binary format (" + why + ")";
    return LUA_ERRSYNTAX;
  }
  lua_State* L = bundle_new_capped_state(kCompileMemoryLimit);
  if (L == nullptr) {
    error = "not enough memory for a Lua state";
    return LUA_ERRMEM;
  }
  int status = luaL_loadbufferx(L, source.data(), source.size(), chunk_name.c_str(), nullptr);
  if (status != LUA_OK) {
    const char* msg = lua_tostring(L, -1);  // [-0, +0]: the error object
    error = msg ? msg : "(error object is not a string)";
  } else if (dump) {
    out.clear();
    lua_dump(L, dump_writer, &out, strip ? 1 : 0);  // [-0, +0]: dumps the function on top
  }
  bundle_close_capped_state(L);
  return status;
}

const char* bundle_check_text(int32_t code) {
  switch (code) {
    case BUNDLE_OK: return "sound";
    case BUNDLE_SHORT_BUFFER: return "shorter than the 64-byte header";
    case BUNDLE_BAD_MAGIC: return "bad magic";
    case BUNDLE_SIZE_BEYOND: return "image size larger than the file";
    case BUNDLE_TOO_SMALL: return "image size below the 64-byte header";
    case BUNDLE_NOT_BLOCKS: return "encrypted part is not a whole number of 16-byte blocks";
    case BUNDLE_CRC_MISMATCH: return "CRC mismatch";
    case BUNDLE_TABLE_BEYOND: return "entry lies beyond the image";
    case BUNDLE_NEGATIVE_SIZE: return "negative size";
    case BUNDLE_DATA_BEYOND: return "data lies beyond the image";
    case BUNDLE_NAME_UNTERMINATED: return "name is not terminated within its 32 bytes";
    case BUNDLE_UNSAFE_NAME: return "file name would be written outside the unpack directory";
    case BUNDLE_TOO_LARGE: return "image would exceed 2 GiB";
  }
  return "unknown problem";
}

#include "pack_payloads.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <lua.hpp>
#include <set>

#include "sha256.h"
#include "text.h"
#include "tool_output.h"

extern char** environ;

const char kPayloadManifestItem[] = "zor_payloads.lua";

namespace {

const size_t kChunk = 1 << 20;

// The temporary file of the payload being written, for payloads_abandon:
// a plain buffer, so a signal handler can read it.
char pending_tmp[4096];
volatile sig_atomic_t pending = 0;

// Names become file names beside the bundle and Lua string literals.
bool payload_name_ok(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
  for (char c : name)
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
  return true;
}

std::string hex(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += digits[bytes[i] >> 4], out += digits[bytes[i] & 15];
  return out;
}

// Size and SHA-256 of an open file from its start, in constant memory,
// copied onto `out` as it is read unless `out` is -1; the errno of the
// failure, or 0.
int hash_fd(int fd, uint64_t* size, std::string* sha256, int out = -1) {
  std::vector<unsigned char> buf(kChunk);
  sha256_ctx st;
  sha256_init(&st);
  *size = 0;
  if (lseek(fd, 0, SEEK_SET) != 0) return errno;
  for (;;) {
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    sha256_update(&st, buf.data(), static_cast<size_t>(n));
    *size += static_cast<uint64_t>(n);
    for (ssize_t done = 0; out >= 0 && done < n;) {
      ssize_t w = write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return errno;
      done += w;
    }
  }
  uint8_t digest[kSha256Bytes];
  sha256_final(&st, digest);
  *sha256 = hex(digest, sizeof digest);
  return 0;
}

// zstd of `src` onto descriptor `out`: its exit status, or -1 when it
// could not be started.
int zstd_to(const std::string& src, int out) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out, 1);
  const char* argv[] = {"zstd", "-q", "-c", "-T0", "--", src.c_str(), nullptr};
  pid_t pid;
  int err = posix_spawnp(&pid, "zstd", &fa, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (err != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One payload stored beside the bundle through a synced temporary file; the
// final name is taken only when free (or `force`). False after a message.
bool store_payload(const std::string& name, const std::string& src, bool zstd, const std::string& dir, bool force,
                   payload_entry& p) {
  p.name = name;
  p.file = zstd ? name + ".zst" : name;
  p.compression = zstd ? "zstd" : "";
  std::string target = dir + p.file, tmp = dir + "." + p.file + ".tmp.XXXXXX";
  if (!force && access(target.c_str(), F_OK) == 0) {
    complain("%s exists (use --force to replace it)", target.c_str());
    return false;
  }
  int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    complain("%s: %s", src.c_str(), strerror(errno));
    return false;
  }
  if (tmp.size() >= sizeof pending_tmp) {
    complain("%s: %s", target.c_str(), strerror(ENAMETOOLONG));
    close(in);
    return false;
  }
  // Registered before it exists: a signal in between finds nothing to remove.
  memcpy(pending_tmp, tmp.c_str(), tmp.size() + 1);
  int out = mkstemp(&tmp[0]);
  if (out < 0) {
    complain("%s: %s", dir.empty() ? "." : dir.c_str(), strerror(errno));
    close(in);
    return false;
  }
  memcpy(pending_tmp, tmp.c_str(), tmp.size() + 1);
  pending = 1;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(out, 0666 & ~mask);
  // Plain: hashed as it is copied. Compressed: the image hashed, then
  // zstd's output.
  int err = hash_fd(in, &p.image_size, &p.image_sha256, zstd ? -1 : out);
  std::string failed = src;
  p.size = p.image_size, p.sha256 = p.image_sha256;
  if (err == 0 && zstd) {
    int status = zstd_to(src, out);
    if (status != 0) {
      complain("%s: zstd %s", src.c_str(), status < 0 ? "cannot be run (install zstd)" : "failed");
      err = -1;
    }
  }
  if (err == 0 && zstd) err = hash_fd(out, &p.size, &p.sha256), failed = tmp;
  if (err == 0 && fsync(out) != 0) err = errno, failed = tmp;
  close(in);
  if (close(out) != 0 && err == 0) err = errno, failed = tmp;
  if (err == 0 && rename(tmp.c_str(), target.c_str()) != 0) err = errno, failed = target;
  if (err != 0) {
    if (err > 0) complain("%s: %s", failed.c_str(), strerror(err));
    unlink(tmp.c_str());
  }
  pending = 0;
  return err == 0;
}

// The manifest as a Lua module: data only, one entry per payload.
std::string manifest_text(const std::vector<payload_entry>& payloads) {
  std::string text = "-- Payloads beside this bundle, each pinned by its size and SHA-256 (zor_pack).\nreturn {\n", line;
  for (const auto& p : payloads)
    text += std_string_format(line,
                              "  { name = \"%s\", file = \"%s\", compression = %s, size = %llu, sha256 = \"%s\",\n"
                              "    image_size = %llu, image_sha256 = \"%s\" },\n",
                              p.name.c_str(), p.file.c_str(),
                              p.compression.empty() ? "nil" : ("\"" + p.compression + "\"").c_str(),
                              static_cast<unsigned long long>(p.size), p.sha256.c_str(),
                              static_cast<unsigned long long>(p.image_size), p.image_sha256.c_str());
  return text + "}\n";
}

// A Lua state for data only: no libraries, at most 4 MiB.
void* limited_alloc(void* ud, void* ptr, size_t old_size, size_t new_size) {
  size_t* used = static_cast<size_t*>(ud);
  size_t was = ptr ? old_size : 0;
  if (new_size == 0) {
    free(ptr);
    *used -= was;
    return nullptr;
  }
  if (new_size > was && *used + (new_size - was) > (4u << 20)) return nullptr;
  void* p = realloc(ptr, new_size);
  if (p != nullptr) *used = *used - was + new_size;
  return p;
}

void stop_long_chunk(lua_State* L, lua_Debug*) { luaL_error(L, "the manifest runs too long"); }

// Field `key` of the table at -1 as a string; "" when absent or not one.
std::string text_field(lua_State* L, const char* key) {
  lua_getfield(L, -1, key);  // [-0, +1]
  std::string out = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "";
  lua_pop(L, 1);
  return out;
}

bool int_field(lua_State* L, const char* key, uint64_t* out) {
  lua_getfield(L, -1, key);  // [-0, +1]
  int ok = 0;
  lua_Integer v = lua_tointegerx(L, -1, &ok);
  lua_pop(L, 1);
  *out = static_cast<uint64_t>(v);
  return ok && v >= 0;
}

bool is_sha256(const std::string& s) {
  return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string payload_folder(const std::string& bundle_path) {
  size_t slash = bundle_path.rfind('/');
  return slash == std::string::npos ? "" : bundle_path.substr(0, slash + 1);
}

void payloads_abandon() {
  if (pending) unlink(pending_tmp);
}

bool payloads_write(const std::vector<std::string>& args, const std::string& compress,
                    const std::string& bundle_path, bool force, std::vector<payload_entry>& out,
                    bundle_item* manifest) {
  if (!compress.empty() && compress != "zstd") {
    complain("--compress %s: only zstd is known", compress.c_str());
    return false;
  }
  std::string dir = payload_folder(bundle_path);
  std::string bundle_name = bundle_path.substr(dir.size());
  std::set<std::string> names;
  bool ok = true;
  for (const auto& arg : args) {
    size_t eq = arg.find('=');
    std::string name = arg.substr(0, eq);
    if (eq == std::string::npos || eq + 1 == arg.size() || !payload_name_ok(name)) {
      complain("--payload %s: give NAME=FILE, NAME of letters, digits, '.', '_' and '-' (64 at most, not first '.' or '-')",
               arg.c_str());
      ok = false;
    } else if (!names.insert(name).second) {
      complain("--payload %s: payload '%s' given twice", arg.c_str(), name.c_str());
      ok = false;
    } else if (name == bundle_name || name + ".zst" == bundle_name || name == bundle_name + ".minisig") {
      complain("--payload %s: would take the bundle's own name", arg.c_str());
      ok = false;
    }
  }
  if (!ok) return false;
  for (const auto& arg : args) {
    size_t eq = arg.find('=');
    payload_entry p;
    if (!store_payload(arg.substr(0, eq), arg.substr(eq + 1), compress == "zstd", dir, force, p)) {
      for (const auto& done : out) unlink((dir + done.file).c_str());
      out.clear();
      return false;
    }
    out.push_back(p);
  }
  int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) fsync(dfd), close(dfd);
  *manifest = bundle_item{kPayloadManifestItem, manifest_text(out)};
  return true;
}

bool payloads_read_manifest(const uint8_t* image, const std::vector<bundle_entry>& entries,
                            std::vector<payload_entry>& out, std::string& why) {
  const bundle_entry* item = nullptr;
  for (const auto& e : entries)
    if (strcmp(e.name, kPayloadManifestItem) == 0) item = &e;  // the launcher's module: the last one
  if (item == nullptr) return true;
  size_t used = 0;
  lua_State* L = lua_newstate(limited_alloc, &used);
  if (L == nullptr) {
    why = "no memory to read the manifest";
    return false;
  }
  lua_sethook(L, stop_long_chunk, LUA_MASKCOUNT, 1000000);
  const char* chunk = reinterpret_cast<const char*>(image + item->offset);
  // Text only: a manifest is data, and bytecode is not checked here.
  bool ok = luaL_loadbufferx(L, chunk, static_cast<size_t>(item->size), "=zor_payloads", "t") == LUA_OK &&
            lua_pcall(L, 0, 1, 0) == LUA_OK;  // [-1, +1]: the list, or the error
  if (!ok) {
    why = std::string("the manifest does not load: ") + (lua_tostring(L, -1) ? lua_tostring(L, -1) : "?");
  } else if (!lua_istable(L, -1)) {
    why = "the manifest gives no list";
    ok = false;
  }
  std::set<std::string> names;
  for (lua_Integer i = 1; ok; ++i) {
    lua_rawgeti(L, -1, i);  // [-0, +1]: entry i
    if (lua_isnil(L, -1)) {
      lua_pop(L, 1);
      break;
    }
    payload_entry p;
    ok = lua_istable(L, -1);
    if (ok) {
      p.name = text_field(L, "name"), p.file = text_field(L, "file"), p.compression = text_field(L, "compression");
      p.sha256 = text_field(L, "sha256"), p.image_sha256 = text_field(L, "image_sha256");
      ok = int_field(L, "size", &p.size) && int_field(L, "image_size", &p.image_size) && payload_name_ok(p.name) &&
           payload_name_ok(p.file) && is_sha256(p.sha256) && is_sha256(p.image_sha256) &&
           (p.compression.empty() || p.compression == "zstd") && names.insert(p.name).second;
    }
    lua_pop(L, 1);
    if (!ok) std_string_format(why, "manifest entry %lld is not a well-formed payload", static_cast<long long>(i));
    if (ok) out.push_back(p);
  }
  lua_close(L);
  if (!ok) out.clear();
  return ok;
}

const char* payload_state(const std::string& dir, const payload_entry& p, bool hash) {
  std::string path = dir + p.file;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? "missing" : "unreadable";
  struct stat st;
  const char* state = "present";
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) state = "unreadable";
  else if (static_cast<uint64_t>(st.st_size) < p.size) state = "short";
  else if (static_cast<uint64_t>(st.st_size) > p.size) state = "long";
  if (strcmp(state, "present") == 0 && hash) {
    uint64_t size = 0;
    std::string sha256;
    if (hash_fd(fd, &size, &sha256) != 0) state = "unreadable";
    else state = size == p.size && sha256 == p.sha256 ? "ok" : "changed";
  }
  close(fd);
  return state;
}

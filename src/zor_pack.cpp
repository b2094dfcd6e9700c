// zor_pack: makes, lists, verifies and extracts update bundles.
// Exit status: 0 done, 1 failed (one line per problem on stderr), 2 usage.
#include <dirent.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "bundle_pack.h"
#include "bundle_sig.h"
#include "chunk_compile.h"
#include "crc32.h"
#include "util.h"
#include "zor_load_lua_flow.h"
#if ZOR_SIGNING
#include "signing_keys.h"
#endif

namespace {

struct pack_options {
  std::string output;
  std::vector<std::string> inputs;
  bool force = false;
  bool no_entry = false;
  bool precompile = false;
  bool strip = false;
};

// An item to pack: its name and the file it comes from.
struct pack_source {
  std::string name;
  std::string path;
};

void complain(const char* fmt, ...) ZOR_PRINTF(1, 2);
void complain(const char* fmt, ...) {
  fputs("zor_pack: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
}

std::string base_name(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path;
  size_t slash = path.rfind('/', end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

// Expands the ITEM arguments: a file, NAME=PATH, or a directory's regular
// files sorted by name. False (after complaining) on an unusable argument.
bool collect_sources(const std::vector<std::string>& inputs, std::vector<pack_source>& out) {
  for (const auto& arg : inputs) {
    if (is_dir(arg.c_str())) {
      DIR* dir = opendir(arg.c_str());
      if (dir == nullptr) {
        complain("%s: cannot open directory: %s", arg.c_str(), strerror(errno));
        return false;
      }
      std::vector<std::string> names;
      while (struct dirent* e = readdir(dir)) {
        std::string path = arg + "/" + e->d_name;
        if (is_regular_file(path.c_str())) names.push_back(e->d_name);
      }
      closedir(dir);
      std::sort(names.begin(), names.end());
      for (const auto& n : names) out.push_back({n, arg + "/" + n});
    } else if (is_regular_file(arg.c_str())) {
      out.push_back({base_name(arg), arg});
    } else if (arg.find('=') != std::string::npos) {
      size_t eq = arg.find('=');
      std::string path = arg.substr(eq + 1);
      if (!is_regular_file(path.c_str())) {
        complain("%s: not a regular file", path.c_str());
        return false;
      }
      out.push_back({arg.substr(0, eq), path});
    } else {
      complain("%s: no such file or directory", arg.c_str());
      return false;
    }
  }
  return true;
}

int cmd_pack(const pack_options& opt) {
  if (!opt.force && is_path_existed(opt.output.c_str())) {
    complain("%s exists (use --force to replace it)", opt.output.c_str());
    return 1;
  }
  std::vector<pack_source> sources;
  if (!collect_sources(opt.inputs, sources)) return 1;

  bool ok = true;
  std::map<std::string, std::string> by_name, by_module;
  std::vector<bundle_item> items;
  for (const auto& src : sources) {
    if (const char* why = bundle_item_name_problem(src.name)) {
      complain("%s: bad item name '%s': %s", src.path.c_str(), src.name.c_str(), why);
      ok = false;
      continue;
    }
    if (!by_name.emplace(src.name, src.path).second) {
      complain("%s: item name '%s' already taken by %s", src.path.c_str(), src.name.c_str(),
               by_name[src.name].c_str());
      ok = false;
      continue;
    }
    bundle_item item{src.name, ""};
    if (int err = zor_read_file(src.path.c_str(), item.data)) {
      complain("%s: %s", src.path.c_str(), strerror(err));
      ok = false;
      continue;
    }
    if (bundle_is_script_name(src.name.c_str())) {
      std::string module = bundle_module_name(src.name.c_str()), compiled, error;
      // "@path" makes Lua report the source file and line of a syntax error.
      if (chunk_compile_check(item.data, "@" + src.path, error) != 0) {
        complain("%s", error.c_str());
        ok = false;
        continue;
      }
      // Compiled under the module name, as the launcher names source chunks.
      if (opt.precompile && opt.strip)
        chunk_compile_to_stripped_bytecode(item.data, module, compiled, error);
      else if (opt.precompile)
        chunk_compile_to_bytecode(item.data, module, compiled, error);
      if (opt.precompile) item.data = compiled;
      auto previous = by_module.find(module);
      if (previous != by_module.end())
        fprintf(stderr, "zor_pack: warning: %s and %s both give module '%s'; the later one wins\n",
                previous->second.c_str(), src.path.c_str(), module.c_str());
      by_module[module] = src.path;
    }
    items.push_back(std::move(item));
  }
  if (!ok) return 1;
  if (!opt.no_entry && by_module.count(kZorEntryModule) == 0) {
    complain("no item gives the entry module '%s' (name one %s.lua, or pass --no-entry)", kZorEntryModule,
             kZorEntryModule);
    return 1;
  }
  bool replacing = is_path_existed(opt.output.c_str());
  std::vector<uint8_t> image;
  if (bundle_build(items, image) != BUNDLE_OK) {
    complain("%s", bundle_check_text(BUNDLE_TOO_LARGE));
    return 1;
  }
  if (int err = zor_write_file_atomic(opt.output.c_str(), image.data(), image.size(),
                                        opt.force ? kReplaceExisting : kKeepExisting, 0666)) {
    complain("%s: %s", opt.output.c_str(), err == EEXIST ? "exists (use --force to replace it)" : strerror(err));
    return 1;
  }
  printf("%s: %zu items, %zu bytes\n", opt.output.c_str(), items.size(), image.size());
  // The user's signature file is theirs to replace: flag it, never delete it.
  std::string sig_path = opt.output + ".minisig";
  if (replacing && is_path_existed(sig_path.c_str()))
    fprintf(stderr, "zor_pack: warning: %s signs the bundle this one replaced: sign %s again\n", sig_path.c_str(),
            opt.output.c_str());
  return 0;
}

// Prints one line per problem of a bundle; false when there are any.
bool report(const std::string& path, const std::vector<std::string>& problems) {
  for (const auto& p : problems) complain("%s: %s", path.c_str(), p.c_str());
  return problems.empty();
}

// Reads a whole file; false (after a message) when it cannot be read.
bool read_input(const std::string& path, std::string& raw) {
  if (int err = zor_read_file(path.c_str(), raw)) {
    complain("%s: %s", path.c_str(), strerror(err));
    return false;
  }
  return true;
}

// Opens the bundle bytes `raw` read from `path`; false (problems printed)
// unless it is sound.
bool open_image(const std::string& path, const std::string& raw, std::vector<uint8_t>& image,
                std::vector<bundle_entry>& entries) {
  image.assign(raw.begin(), raw.end());
  std::vector<std::string> problems;
  bundle_open(image, entries, problems);
  return report(path, problems);
}

// Reads and opens a bundle; false (problems printed) unless it is sound.
bool open_bundle(const std::string& path, std::vector<uint8_t>& image, std::vector<bundle_entry>& entries) {
  std::string raw;
  return read_input(path, raw) && open_image(path, raw, image, entries);
}

// The keys a signature is checked against: the given public key files, or
// in a signing build without them the build's own trusted keys. False
// (after a message) when a file is no minisign public key.
bool trusted_keys(const std::vector<std::string>& files, std::vector<sig_public_key>& keys) {
#if ZOR_SIGNING
  if (files.empty()) keys.assign(kTrustedSigningKeys, kTrustedSigningKeys + kTrustedSigningKeyCount);
#endif
  for (const auto& file : files) {
    std::string text;
    sig_public_key key;
    if (!read_input(file, text)) return false;
    if (int32_t check = sig_parse_public_key(text, &key)) {
      complain("%s: not a minisign public key file (%s)", file.c_str(), sig_check_text(check));
      return false;
    }
    keys.push_back(key);
  }
  return true;
}

// Checks <path>.minisig over the bundle bytes as the launcher of a signing
// build does. SIG_OK with `found` filled, or the code with its problem line.
int32_t check_signature(const std::string& path, const std::string& raw, const std::vector<sig_public_key>& keys,
                        sig_verified& found, std::string& problem) {
  std::string sig_path = path + ".minisig", text;
  int32_t check = sig_read_file(sig_path.c_str(), text);
  if (check == SIG_OK)
    check = sig_verify(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), text, keys.data(), keys.size(),
                       &found);
  if (check == SIG_UNTRUSTED)
    std_string_format(problem, "signature %s: untrusted key id %016llX", sig_path.c_str(),
                      static_cast<unsigned long long>(found.key_id));
  else if (check != SIG_OK)
    std_string_format(problem, "signature %s: %s", sig_path.c_str(), sig_check_text(check));
  return check;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7e) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int cmd_list(const std::string& path, bool json) {
  std::vector<uint8_t> image;
  std::vector<bundle_entry> entries;
  if (!open_bundle(path, image, entries)) return 1;
  if (!json)
    printf("%-5s  %-6s  %-31s  %-31s  %10s  %10s  %s\n", "index", "kind", "name", "module", "size", "offset", "crc");
  else
    printf("{\"items\": [");
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    std::string module = e.script ? bundle_module_name(e.name) : "";
    uint32_t crc = calc_buf_crc(image.data() + e.offset, static_cast<uint32_t>(e.size));
    if (json)
      printf("%s\n  {\"index\": %zu, \"kind\": \"%s\", \"name\": %s, \"module\": %s, \"size\": %d, "
             "\"offset\": %u, \"crc\": \"0x%08x\"}",
             i ? "," : "", i, e.script ? "script" : "file", json_string(e.name).c_str(),
             e.script ? json_string(module).c_str() : "null", e.size, e.offset, crc);
    else
      printf("%-5zu  %-6s  %-31s  %-31s  %10d  %10u  0x%08x\n", i, e.script ? "script" : "file",
             bundle_escaped_name(e.name).c_str(), e.script ? bundle_escaped_name(module.c_str()).c_str() : "-",
             e.size, e.offset, crc);
  }
  if (json) printf("%s]}\n", entries.empty() ? "" : "\n");
  return 0;
}

int cmd_verify(const std::string& path, const std::vector<std::string>& pubkeys) {
  std::vector<sig_public_key> keys;
  std::string raw;
  if (!trusted_keys(pubkeys, keys) || !read_input(path, raw)) return 1;
  // The signature covers the file as it is, before anything is decrypted.
  std::vector<std::string> problems;
  sig_verified found;
  std::string problem;
  bool check_sig = !keys.empty();
  if (check_sig && check_signature(path, raw, keys, found, problem) != SIG_OK) problems.push_back(problem);
  std::vector<uint8_t> image;
  std::vector<bundle_entry> entries;
  if (!open_image(path, raw, image, entries)) {
    report(path, problems);
    return 1;
  }
  bundle_check_names(entries, kFileItemsWritten, problems);
  bundle_check_launch(image, entries, problems);
  bundle_check_scripts(image, entries, problems);
  if (!report(path, problems)) return 1;
  if (check_sig)
    printf("%s: signature ok, key %016llX: %s\n", path.c_str(), static_cast<unsigned long long>(found.key_id),
           found.trusted_comment.c_str());
  int precompiled = 0;
  for (const auto& e : entries)
    if (e.script && e.size > 0 && image[e.offset] == LUA_SIGNATURE[0]) ++precompiled;
  if (precompiled == 0) {
    printf("%s: sound, %zu items\n", path.c_str(), entries.size());
  } else {
    // Lua has no bytecode verifier: a chunk that passes the structure check
    // is loadable, not proven safe to run.
    printf("%s: %zu items; layout, CRC, names and sources sound; %d precompiled chunks: structure checked only\n",
           path.c_str(), entries.size(), precompiled);
  }
  return 0;
}

int cmd_extract(const std::string& path, const std::string& dir) {
  std::vector<uint8_t> image;
  std::vector<bundle_entry> entries;
  if (!open_bundle(path, image, entries)) return 1;
  // Every item becomes a file: a duplicate name would lose one of them.
  std::vector<std::string> problems;
  bundle_check_names(entries, kAllItemsWritten, problems);
  if (!report(path, problems)) return 1;
  if (is_dir(dir.c_str())) {
    DIR* d = opendir(dir.c_str());
    int count = 0;
    while (d != nullptr && readdir(d) != nullptr) ++count;
    if (d != nullptr) closedir(d);
    if (count > 2) {
      complain("%s: directory is not empty", dir.c_str());
      return 1;
    }
  } else if (mkdir(dir.c_str(), 0777) != 0) {
    complain("%s: %s", dir.c_str(), strerror(errno));
    return 1;
  }
  for (const auto& e : entries) {
    std::string out = dir + "/" + e.name;
    if (int err = zor_write_file_atomic(out.c_str(), image.data() + e.offset, static_cast<size_t>(e.size),
                                        kKeepExisting, 0666)) {
      complain("%s: %s", out.c_str(), strerror(err));
      return 1;
    }
  }
  printf("%s: %zu items extracted into %s\n", path.c_str(), entries.size(), dir.c_str());
  return 0;
}

// Ends the program on SIGINT, SIGTERM or SIGHUP without leaving a
// temporary output behind: the signal is re-raised, so the exit status is
// the signal's.
void on_ending_signal(int sig) {
  zor_write_file_atomic_abandon();
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_signal_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_ending_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // Past the file-size limit a write then fails with EFBIG, which is
  // reported and cleaned up like any other write error, instead of killing
  // the program halfway.
  signal(SIGXFSZ, SIG_IGN);
}

int run(int argc, char** argv) {
  CLI::App app{"zor_pack: makes, lists, verifies and extracts update bundles (nuvex.zor)"};
  app.require_subcommand(1);

  pack_options opt;
  CLI::App* pack = app.add_subcommand("pack", "Pack files into a bundle");
  pack->add_option("-o,--output", opt.output, "Bundle to write")->required();
  pack->add_option("items", opt.inputs, "FILE, NAME=PATH, or DIRECTORY (its regular files)")->required();
  pack->add_flag("--force", opt.force, "Replace an existing output");
  pack->add_flag("--no-entry", opt.no_entry, "Allow a bundle without the entry module");
  CLI::Option* pre = pack->add_flag("--precompile", opt.precompile, "Store Lua bytecode instead of source");
  pack->add_flag("--strip", opt.strip, "Drop debug information from bytecode")->needs(pre);

  std::string bundle, dir;
  bool json = false;
  CLI::App* list = app.add_subcommand("list", "List the items of a bundle");
  list->add_option("bundle", bundle, "Bundle file")->required();
  list->add_flag("--json", json, "Print JSON");
  std::vector<std::string> pubkeys;
  CLI::App* verify = app.add_subcommand("verify", "Check a bundle thoroughly");
  verify->add_option("bundle", bundle, "Bundle file")->required();
  verify->add_option("--pubkey", pubkeys, "Also check BUNDLE.minisig against this minisign public key (repeatable)");
  CLI::App* extract = app.add_subcommand("extract", "Write every item's plain bytes into a new directory");
  extract->add_option("bundle", bundle, "Bundle file")->required();
  extract->add_option("dir", dir, "Directory to create (or an empty one)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (pack->parsed()) return cmd_pack(opt);
  if (list->parsed()) return cmd_list(bundle, json);
  if (verify->parsed()) return cmd_verify(bundle, pubkeys);
  return cmd_extract(bundle, dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (zor_open_std_descriptors() != 0) return 1;
  install_signal_handlers();
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    complain("out of memory");
    return 1;
  }
}

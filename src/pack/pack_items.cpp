#include "pack_items.h"

#include <dirent.h>
#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "bundle_pack.h"
#include "chunk_compile.h"
#include "files.h"
#include "text.h"

namespace {

// An item to pack: its name and the file it comes from.
struct pack_source {
  std::string name;
  std::string path;
};

std::string base_name(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path;
  size_t slash = path.rfind('/', end);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end - start + 1);
}

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Why a directory entry is left out, or null.
const char* skip_reason(const std::string& name, const std::vector<std::string>& excludes) {
  if (name[0] == '.') return "a dotfile";
  if (ends_with(name, "~") || ends_with(name, ".swp") || (name.size() > 1 && name[0] == '#' && ends_with(name, "#")))
    return "an editor leftover";
  for (const auto& glob : excludes)
    if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) return "excluded";
  return nullptr;
}

bool collect_directory(const std::string& dir, const std::vector<std::string>& excludes,
                       std::vector<pack_source>& out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    complain("%s: cannot open directory: %s", dir.c_str(), strerror(errno));
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    std::string path = dir + "/" + name;
    if (is_dir(path.c_str())) {
      warn("skipping %s/: subdirectories are not packed", path.c_str());
    } else if (!is_regular_file(path.c_str())) {
      warn("skipping %s: not a regular file", path.c_str());
    } else if (const char* why = skip_reason(name, excludes)) {
      warn("skipping %s: %s", path.c_str(), why);
    } else {
      out.push_back({name, path});
    }
  }
  return true;
}

// Expands the ITEM arguments. False (after complaining) on an unusable one.
bool collect_sources(const pack_items_options& opt, std::vector<pack_source>& out) {
  for (const auto& arg : opt.inputs) {
    size_t eq = arg.find('=');
    if (is_dir(arg.c_str())) {
      if (!collect_directory(arg, opt.excludes, out)) return false;
    } else if (is_regular_file(arg.c_str())) {
      out.push_back({base_name(arg), arg});
    } else if (eq != std::string::npos) {
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

// The spans of the script's pcall(...) calls, from "pcall" to the matching
// parenthesis (string literals skipped over, a best effort).
std::vector<std::pair<size_t, size_t>> pcall_spans(const std::string& source) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t at = source.find("pcall"); at != std::string::npos; at = source.find("pcall", at + 1)) {
    if (at > 0 && (isalnum(static_cast<unsigned char>(source[at - 1])) || source[at - 1] == '_')) continue;
    size_t i = at + 5;
    while (i < source.size() && isspace(static_cast<unsigned char>(source[i]))) ++i;
    if (i >= source.size() || source[i] != '(') continue;
    int depth = 0;
    for (; i < source.size(); ++i) {
      char c = source[i];
      if (c == '"' || c == '\'') {
        for (++i; i < source.size() && source[i] != c; ++i)
          if (source[i] == '\\') ++i;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        break;
      }
    }
    spans.emplace_back(at, i);
  }
  return spans;
}

// A module a script asks for, and whether it copes without it.
struct required_module {
  std::string name;
  bool optional;
};

// Module names a script asks for with require("name"), require 'name' or
// pcall(require, "name"): literal names only, a best effort. A require
// inside a pcall(...) is optional, and so is every require of a name that
// one optional require asks for (the `if pcall(require, "x")` guard).
std::vector<required_module> required_modules(const std::string& source) {
  std::vector<required_module> found;
  std::vector<std::pair<size_t, size_t>> spans = pcall_spans(source);
  for (size_t at = source.find("require"); at != std::string::npos; at = source.find("require", at + 1)) {
    if (at > 0 && (isalnum(static_cast<unsigned char>(source[at - 1])) || source[at - 1] == '_')) continue;
    bool in_pcall = false;
    for (const auto& span : spans) in_pcall = in_pcall || (at > span.first && at < span.second);
    size_t i = at + 7;
    while (i < source.size() && (source[i] == ' ' || source[i] == '\t' || source[i] == '(' || (in_pcall && source[i] == ',')))
      ++i;
    if (i >= source.size() || (source[i] != '"' && source[i] != '\'')) continue;
    size_t end = source.find(source[i], i + 1);
    if (end != std::string::npos) found.push_back({source.substr(i + 1, end - i - 1), in_pcall});
  }
  std::set<std::string> optional;
  for (const auto& m : found)
    if (m.optional) optional.insert(m.name);
  for (auto& m : found) m.optional = optional.count(m.name) > 0;
  return found;
}

const std::set<std::string> kStandardLibraries = {"_G",  "coroutine", "debug", "io",   "math",
                                                   "os", "package",   "string", "table", "utf8"};

// Name rules and duplicates: keeps in `named` the sources whose names pass.
bool check_names(const std::vector<pack_source>& sources, std::vector<pack_source>& named) {
  bool ok = true;
  std::map<std::string, std::string> by_name;
  for (const auto& src : sources) {
    if (const char* why = bundle_item_name_problem(src.name)) {
      complain("%s: bad item name '%s': %s", src.path.c_str(), zor_escaped(src.name).c_str(), why);
      ok = false;
    } else if (!by_name.emplace(src.name, src.path).second) {
      complain("%s: item name '%s' already taken by %s", src.path.c_str(), zor_escaped(src.name).c_str(),
               by_name[src.name].c_str());
      ok = false;
    } else {
      named.push_back(src);
    }
  }
  return ok;
}

// Reads every source into an item; compiles each script (a syntax error is
// reported with its file and line), notes its literal require() names and,
// with --precompile, stores its bytecode instead.
bool read_and_compile(const pack_items_options& opt, const std::vector<pack_source>& sources,
                      std::vector<bundle_item>& items, std::vector<std::vector<required_module>>& requires_of,
                      progress* p) {
  bool all_ok = true;
  for (const auto& src : sources) {
    bundle_item item{src.name, ""};
    bool script = bundle_is_script_name(src.name.c_str());
    std::string error;
    bool ok = true;
    bundle_progress hook = progress_hook(p);
    if (int err = zor_read_file(src.path.c_str(), item.data, &hook)) {
      complain("%s: %s", src.path.c_str(), strerror(err));
      ok = false;
    } else if (script && chunk_compile_check(item.data, "@" + src.path, error) != 0) {
      complain("%s", error.c_str());  // "@path": Lua names the source file and line
      ok = false;
    }
    requires_of.push_back(script ? required_modules(item.data) : std::vector<required_module>());
    if (ok && script && opt.precompile) {
      // Compiled under the module name, as the launcher names source chunks.
      std::string module = bundle_module_name(src.name.c_str()), compiled;
      if (opt.strip)
        chunk_compile_to_stripped_bytecode(item.data, module, compiled, error);
      else
        chunk_compile_to_bytecode(item.data, module, compiled, error);
      item.data = compiled;
    }
    items.push_back(std::move(item));
    all_ok = all_ok && ok;
  }
  return all_ok;
}

// Warns, over the laid-out table, of scripts that give one module (the
// later one wins) and of literal require() names no item provides.
void warn_cross_items(const std::vector<pack_source>& sources, const std::vector<bundle_entry>& entries,
                      const std::vector<std::vector<required_module>>& requires_of,
                      const std::vector<std::string>& provided) {
  std::set<std::string> modules(provided.begin(), provided.end());
  for (const bundle_module_clash& clash : bundle_module_clashes(entries))
    for (size_t i = 1; i < clash.items.size(); ++i)
      warn("%s and %s both give module '%s'; the later one wins", sources[clash.items[i - 1]].path.c_str(),
           sources[clash.items[i]].path.c_str(), zor_escaped(clash.module).c_str());
  for (const bundle_entry& e : entries)
    if (e.script) modules.insert(bundle_module_name(e.name));
  for (size_t i = 0; i < sources.size(); ++i)
    for (const auto& m : requires_of[i])
      if (!m.optional && modules.count(m.name) == 0 && kStandardLibraries.count(m.name) == 0)
        warn("%s requires '%s', which no item or declared module provides (a module of the device: --provided %s)",
             sources[i].path.c_str(), zor_escaped(m.name).c_str(), zor_escaped(m.name).c_str());
}

uint64_t total_size(const std::vector<pack_source>& sources) {
  uint64_t total = 0;
  for (const auto& src : sources) total += static_cast<uint64_t>(get_filesize(src.path.c_str()));
  return total;
}

}  // namespace

bool pack_items(const pack_items_options& opt, std::vector<uint8_t>& image, size_t* count, progress* p) {
  std::vector<pack_source> sources, named;
  if (!collect_sources(opt, sources)) return false;
  progress_start(p, 3 * total_size(sources));  // reading, then the CRC and the encryption of the image
  std::vector<bundle_item> items;
  std::vector<std::vector<required_module>> requires_of;
  bool ok = check_names(sources, named);
  if (!read_and_compile(opt, named, items, requires_of, p) || !ok) return false;
  for (const auto& g : opt.generated) {
    for (const auto& src : named)
      if (bundle_is_script_name(src.name.c_str()) && bundle_module_name(src.name.c_str()) == bundle_module_name(g.name.c_str())) {
        complain("%s: module '%s' is zor_pack's own here (the payload manifest)", src.path.c_str(),
                 bundle_module_name(g.name.c_str()).c_str());
        return false;
      }
    items.push_back(g);
    requires_of.emplace_back();
  }
  if (bundle_lay_out(items, image) != BUNDLE_OK) {
    complain("%s", bundle_check_text(BUNDLE_TOO_LARGE));
    return false;
  }
  std::vector<bundle_entry> entries;
  bundle_read_table(image.data(), static_cast<int32_t>(image.size()), entries);
  if (!opt.no_entry && !bundle_has_entry_module(entries)) {
    complain("no item gives the entry module '%s' (name one %s.lua, or pass --no-entry)", kZorEntryModule,
             kZorEntryModule);
    return false;
  }
  warn_cross_items(named, entries, requires_of, opt.provided);
  bundle_progress seal = progress_hook(p);
  bundle_seal(image.data(), static_cast<int32_t>(image.size()), &seal);
  progress_finish(p);
  *count = items.size();
  return true;
}

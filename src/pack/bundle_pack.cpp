#include "bundle_pack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "chunk_compile.h"
#include "chunk_gate.h"
#include "log.h"
#include "text.h"

const char kBundleTableUncheckable[] =
    "the item table cannot be checked: the image does not decrypt to what its CRC says (a different key or a damaged image)";

const char* bundle_item_name_problem(const std::string& name) {
  // Names are stored in a 32-byte field and, for file items, become file
  // names in the unpack directory.
  if (name.empty() || name.size() >= static_cast<size_t>(kBundleNameField)) return "names are 1 to 31 bytes long";
  for (unsigned char c : name)
    if (c < 0x20 || c > 0x7e) return "names are printable ASCII";
  if (!bundle_file_name_is_safe(name.c_str())) return "'/', '.' and '..' would place a file outside the unpack directory";
  if (bundle_is_script_name(name.c_str()) && bundle_module_name(name.c_str()).empty())
    return "a script needs a module name before its extension";
  return nullptr;
}

int32_t bundle_lay_out(const std::vector<bundle_item>& items, std::vector<uint8_t>& image) {
  int64_t total = kBundleHeaderSize + static_cast<int64_t>(items.size()) * kBundleEntrySize;
  for (const auto& item : items) total += static_cast<int64_t>(item.data.size());
  int64_t padded = kBundleHeaderSize + (total - kBundleHeaderSize + kBundleBlock - 1) / kBundleBlock * kBundleBlock;
  if (padded > INT32_MAX) return BUNDLE_TOO_LARGE;
  image.assign(static_cast<size_t>(padded), 0);

  memcpy(image.data() + kBundleMagicAt, kBundleMagic, sizeof kBundleMagic);
  zor_store_le32(image.data() + kBundleSizeAt, static_cast<uint32_t>(padded));
  zor_store_le32(image.data() + kBundleCountAt, static_cast<uint32_t>(items.size()));
  uint32_t offset = static_cast<uint32_t>(kBundleHeaderSize + items.size() * kBundleEntrySize);
  for (size_t i = 0; i < items.size(); ++i) {
    uint8_t* entry = image.data() + kBundleHeaderSize + i * kBundleEntrySize;
    const auto& item = items[i];
    zor_store_le32(entry + kEntrySizeAt, static_cast<uint32_t>(item.data.size()));
    zor_store_le32(entry + kEntryOffsetAt, offset);
    memcpy(entry + kEntryNameAt, item.name.data(), std::min<size_t>(item.name.size(), kBundleNameField - 1));
    if (!item.data.empty()) memcpy(image.data() + offset, item.data.data(), item.data.size());
    offset += static_cast<uint32_t>(item.data.size());
  }
  return BUNDLE_OK;
}

int32_t bundle_build(const std::vector<bundle_item>& items, std::vector<uint8_t>& image,
                     const bundle_progress* progress) {
  int32_t rc = bundle_lay_out(items, image);
  if (rc == BUNDLE_OK) bundle_seal(image.data(), static_cast<int32_t>(image.size()), progress);
  return rc;
}

// The code word of a header or table check.
static const char* check_code(int32_t code) {
  switch (code) {
    case BUNDLE_SHORT_BUFFER: return "short_file";
    case BUNDLE_BAD_MAGIC: return "bad_magic";
    case BUNDLE_SIZE_BEYOND: return "size_beyond_file";
    case BUNDLE_TOO_SMALL: return "size_below_header";
    case BUNDLE_NOT_BLOCKS: return "size_not_blocks";
    case BUNDLE_NEGATIVE_SIZE: return "negative_size";
    case BUNDLE_DATA_BEYOND: return "data_beyond_image";
    case BUNDLE_NAME_UNTERMINATED: return "name_unterminated";
  }
  return "layout";
}

static void add(std::vector<bundle_problem>& problems, const char* code, const std::string& message,
                int64_t item = -1) {
  problems.push_back(bundle_problem{code, message, item});
}

// The problem line for a header code; img_size is known from _SIZE_BEYOND on.
static std::string header_problem(int32_t code, int32_t img_size, size_t file_size) {
  std::string line;
  switch (code) {
    case BUNDLE_SHORT_BUFFER:
      return std_string_format(line, "file of %zu bytes is too short to hold a bundle header", file_size);
    case BUNDLE_BAD_MAGIC:
      return "bad magic: bytes 8..15 are not \"ZOR_RES!\"";
    case BUNDLE_SIZE_BEYOND:
      return std_string_format(line, "image size %d is larger than the file (%zu bytes)", img_size, file_size);
    default:
      return std_string_format(line, "image size %d: %s", img_size, bundle_check_text(code));
  }
}

int32_t bundle_describe(const bundle_loaded& loaded, size_t size, std::vector<bundle_entry>& entries,
                        std::vector<bundle_problem>& problems, bundle_seal_values* seal) {
  entries.clear();
  if (seal != nullptr) *seal = bundle_seal_values{loaded.img_size, loaded.stored_crc, loaded.computed_crc};
  if (loaded.step == BUNDLE_STEP_HEADER) {
    add(problems, check_code(loaded.check), header_problem(loaded.check, loaded.img_size, size));
    return loaded.check;
  }
  std::string line;
  if (loaded.step == BUNDLE_STEP_SEAL) {
    add(problems, "crc_mismatch",
        std_string_format(line, "CRC mismatch: stored 0x%08x, computed 0x%08x (damaged, or packed under another key)",
                          loaded.stored_crc, loaded.computed_crc));
    // The table did not decrypt to what the CRC vouches for: its entries
    // would be noise, so none is read.
    add(problems, "table_unchecked", kBundleTableUncheckable);
    return loaded.check;
  }
  const uint8_t* image = loaded.image;
  for (size_t i = 0; i < loaded.table.size(); ++i) {
    const bundle_entry& e = loaded.table[i];
    if (e.check == BUNDLE_OK)
      entries.push_back(e);
    else if (e.check == BUNDLE_TABLE_BEYOND)
      add(problems, "table_beyond_image",
          std_string_format(line, "item table of %d entries runs beyond the image (%d bytes)",
                            static_cast<int32_t>(zor_load_le32(image + kBundleCountAt)), loaded.img_size));
    else
      add(problems, check_code(e.check),
          std_string_format(line, "item %zu (%s): %s", i, zor_escaped(e.name).c_str(), bundle_check_text(e.check)),
          static_cast<int64_t>(i));
  }
  return loaded.check;
}

int32_t bundle_open(uint8_t* image, size_t size, std::vector<bundle_entry>& entries,
                    std::vector<bundle_problem>& problems, bundle_seal_values* seal, const bundle_progress* progress) {
  bundle_loaded loaded;
  loaded.image = image;
  bundle_load_image(image, static_cast<int64_t>(size), &loaded, progress);
  return bundle_describe(loaded, size, entries, problems, seal);
}

int32_t bundle_check_names(const std::vector<bundle_entry>& entries, bundle_written_items written,
                           std::vector<bundle_problem>& problems) {
  int32_t found = 0;
  std::set<std::string> names;
  std::string line;
  for (size_t i = 0; i < entries.size(); ++i) {
    const bundle_entry& e = entries[i];
    std::string shown = zor_escaped(e.name);
    if (!names.insert(e.name).second) {
      add(problems, "duplicate_name", std_string_format(line, "item %zu (%s): duplicate item name", i, shown.c_str()),
          static_cast<int64_t>(i));
      ++found;
    }
    bool is_written = written == kAllItemsWritten || !e.script;
    if (is_written && !bundle_file_name_is_safe(e.name)) {
      add(problems, "unsafe_name",
          std_string_format(line, "item %zu (%s): %s", i, shown.c_str(), bundle_check_text(BUNDLE_UNSAFE_NAME)),
          static_cast<int64_t>(i));
      ++found;
    }
  }
  return found;
}

std::vector<bundle_module_clash> bundle_module_clashes(const std::vector<bundle_entry>& entries) {
  std::vector<bundle_module_clash> all;
  std::map<std::string, size_t> by_module;  // module -> its place in `all`
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].script) continue;
    std::string module = bundle_module_name(entries[i].name);
    auto found = by_module.emplace(module, all.size());
    if (found.second) all.push_back({module, {}});
    all[found.first->second].items.push_back(i);
  }
  std::vector<bundle_module_clash> clashes;
  for (auto& m : all)
    if (m.items.size() > 1) clashes.push_back(std::move(m));
  return clashes;
}

int32_t bundle_check_scripts(const uint8_t* image, const std::vector<bundle_entry>& entries,
                             std::vector<bundle_problem>& problems) {
  int32_t found = 0;
  std::string line;
  for (size_t i = 0; i < entries.size(); ++i) {
    const bundle_entry& e = entries[i];
    if (!e.script) continue;
    std::string chunk(reinterpret_cast<const char*>(image) + e.offset, static_cast<size_t>(e.size));
    std::string error;
    // A bundle under inspection vouches for nothing: its chunks compile
    // within a cap, and hitting the cap is said to be the check's limit.
    int status = chunk_compile_check_within(chunk, bundle_module_name(e.name), kChunkMemoryCap, error);
    if (status == LUA_ERRMEM) {
      add(problems, "check_limit",
          std_string_format(line, "item %zu (%s): not checked: %s", i, zor_escaped(e.name).c_str(), error.c_str()),
          static_cast<int64_t>(i));
      ++found;
    } else if (status != 0) {
      add(problems, "does_not_compile",
          std_string_format(line, "item %zu (%s): does not compile: %s", i, zor_escaped(e.name).c_str(),
                            error.c_str()),
          static_cast<int64_t>(i));
      ++found;
    }
  }
  return found;
}

// Items may share bytes, so a small image can unpack to far more than its
// size: a line when they do, with what the launcher would write.
static int32_t check_shared_data(size_t image_size, const std::vector<bundle_entry>& entries,
                                 std::vector<bundle_problem>& problems) {
  std::vector<const bundle_entry*> by_offset;
  int64_t written = 0;
  for (const bundle_entry& e : entries) {
    if (e.size > 0) by_offset.push_back(&e);
    if (!e.script) written += e.size;
  }
  std::sort(by_offset.begin(), by_offset.end(),
            [](const bundle_entry* a, const bundle_entry* b) { return a->offset < b->offset; });
  int64_t covered_to = 0;
  int32_t sharing = 0;
  for (const bundle_entry* e : by_offset) {
    if (e->offset < covered_to) ++sharing;
    covered_to = std::max(covered_to, static_cast<int64_t>(e->offset) + e->size);
  }
  if (sharing == 0) return 0;
  std::string line;
  add(problems, "shared_data",
      std_string_format(
          line, "%d items share bytes with an earlier one: the launcher would write %lld bytes from an image of %zu",
          sharing, static_cast<long long>(written), image_size));
  return 1;
}

// A line per module that two or more scripts give: only the last one runs.
static int32_t check_module_clashes(const std::vector<bundle_entry>& entries, std::vector<bundle_problem>& problems) {
  std::vector<bundle_module_clash> clashes = bundle_module_clashes(entries);
  for (const bundle_module_clash& clash : clashes) {
    std::string line = "items", item;
    for (size_t n = 0; n < clash.items.size(); ++n) {
      size_t i = clash.items[n];
      const char* joint = n == 0 ? " " : n + 1 == clash.items.size() ? " and " : ", ";
      line += std_string_format(item, "%s%zu (%s)", joint, i, zor_escaped(entries[i].name).c_str());
    }
    size_t runs = clash.items.back();
    line += std_string_format(item, " give module '%s': the launcher runs item %zu (%s)",
                              zor_escaped(clash.module.c_str()).c_str(), runs,
                              zor_escaped(entries[runs].name).c_str());
    add(problems, "module_clash", line, static_cast<int64_t>(runs));
  }
  return static_cast<int32_t>(clashes.size());
}

int32_t bundle_check_launch(size_t image_size, const std::vector<bundle_entry>& entries,
                            std::vector<bundle_problem>& problems) {
  int32_t found = 0;
  std::string line;
  for (size_t i = 0; i < entries.size(); ++i) {
    const bundle_entry& e = entries[i];
    // Unsafe file names are bundle_check_names' problem; report the others.
    if (e.script || bundle_file_name_is_safe(e.name))
      if (const char* why = bundle_item_name_problem(e.name)) {
        add(problems, "name_refused",
            std_string_format(line, "item %zu (%s): a name zor_pack refuses: %s", i, zor_escaped(e.name).c_str(), why),
            static_cast<int64_t>(i));
        ++found;
      }
  }
  if (!bundle_has_entry_module(entries)) {
    add(problems, "no_entry_module",
        std_string_format(line, "no item gives the entry module '%s': the launcher would exit %d", kZorEntryModule,
                          kZorExitEntryFailed));
    ++found;
  }
  found += check_module_clashes(entries, problems);
  return found + check_shared_data(image_size, entries, problems);
}

// zor_pack: makes, inspects, verifies, extracts and runs update bundles, and
// stamps firmware images with their CRC.
// Exit status: 0 done, 1 failed (one line per problem on stderr), 2 usage;
// `run` exits as the launcher would (0, 1 or 207).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bundle_pack.h"
#include "bundle_sig.h"
#include "chunk_gate.h"
#include "crc32.h"
#include "pack_items.h"
#include "pack_run.h"
#include "tool_identity.h"
#include "tool_output.h"
#include "util.h"
#if ZOR_SIGNING
#include "signing_keys.h"
#endif

namespace {

using json = nlohmann::json;

// Bytes (a name, a comment) as a JSON string: every byte one code point, so
// hostile bytes still give valid JSON and nothing is lost.
json json_bytes(const std::string& bytes) {
  std::string utf8;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | c >> 6);
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return json(utf8);
}

std::string hex32(uint32_t value) {
  std::string text;
  return std_string_format(text, "0x%08x", value);
}

// Prints one line per problem of a bundle; false when there are any.
bool report(const std::string& path, const std::vector<std::string>& problems) {
  for (const auto& p : problems) complain("%s: %s", path.c_str(), p.c_str());
  return problems.empty();
}

// Reads a whole file; false (after a message with the path and the reason)
// when it cannot be read.
bool read_input(const std::string& path, std::string& raw, progress* p = nullptr) {
  if (int err = read_file_with_progress(path, raw, p)) {
    complain("%s: %s", path.c_str(), strerror(err));
    return false;
  }
  return true;
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

// A bundle file in one buffer: its bytes as read, then (once opened)
// decrypted in place, with its sound entries and the problems found.
struct opened_bundle {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  std::vector<bundle_entry> entries;
  std::vector<std::string> problems;
  bundle_seal_values seal;
  progress p;  // over the reading, the decryption and the CRC
};

// Reads the file into the one buffer of the reader (zor_new_file_buffer);
// 0 or the errno of the failure.
int32_t read_whole_file(const std::string& path, opened_bundle& b) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int32_t err = fstat(fd, &st) == 0 ? 0 : errno;
  b.size = err == 0 ? static_cast<size_t>(st.st_size) : 0;
  b.bytes.reset(zor_new_file_buffer(b.size));
  if (err == 0 && !b.bytes) err = ENOMEM;
  progress_start(&b.p, 3 * static_cast<uint64_t>(b.size));
  size_t got = 0;
  while (err == 0 && got < b.size) {
    ssize_t n = read(fd, b.bytes.get() + got, std::min<size_t>(b.size - got, size_t{8} << 20));  // steps for the progress line
    if (n == 0) break;
    if (n < 0 && errno != EINTR) err = errno;
    if (n < 0) continue;
    got += static_cast<size_t>(n);
    progress_advance(&b.p, static_cast<uint64_t>(n));
  }
  close(fd);
  b.size = got;  // a file that shrank meanwhile is what was read
  return err;
}

// Reads a bundle file; false (after a message with the path and the reason)
// when it cannot be read.
bool read_bundle(const std::string& path, opened_bundle& b) {
  if (int32_t err = read_whole_file(path, b)) {
    progress_finish(&b.p);
    complain("%s: %s", path.c_str(), strerror(err));
    return false;
  }
  return true;
}

// Opens a bundle read by read_bundle: checks it, decrypts it in place.
void open_read_bundle(opened_bundle& b) {
  bundle_progress bp = progress_hook(&b.p);
  bundle_open(b.bytes.get(), b.size, b.entries, b.problems, &b.seal, &bp);
  progress_finish(&b.p);
}

bool open_bundle(const std::string& path, opened_bundle& b) {
  if (!read_bundle(path, b)) return false;
  open_read_bundle(b);
  return true;
}

// True when this build's launcher runs what key `id` signed: a signing
// build's trusts only its own keys, a default build's checks nothing.
bool launcher_trusts(uint64_t id) {
#if ZOR_SIGNING
  for (size_t i = 0; i < kTrustedSigningKeyCount; ++i)
    if (sig_key_id(kTrustedSigningKeys[i].id) == id) return true;
  return false;
#else
  (void)id;
  return true;
#endif
}

// Checks <path>.minisig over the bundle bytes as the launcher of a signing
// build does. SIG_OK with `found` filled, or the code with its problem line;
// a valid signature by a key this build's launcher does not trust is
// SIG_UNTRUSTED.
int32_t check_signature(const std::string& path, const opened_bundle& b, const std::vector<sig_public_key>& keys,
                        sig_verified& found, std::string& problem) {
  std::string sig_path = path + ".minisig";
  int32_t check = sig_verify_file(sig_path.c_str(), b.bytes.get(), b.size, keys.data(), keys.size(), &found);
  if (check == SIG_OK && !launcher_trusts(found.key_id)) {
    std_string_format(problem, "signature ok by %016llX, which this build's launcher does not trust",
                      static_cast<unsigned long long>(found.key_id));
    return SIG_UNTRUSTED;
  }
  if (check == SIG_UNTRUSTED)
    std_string_format(problem, "signature %s: untrusted key id %016llX", sig_path.c_str(),
                      static_cast<unsigned long long>(found.key_id));
  else if (check != SIG_OK)
    std_string_format(problem, "signature %s: %s", sig_path.c_str(), sig_check_text(check));
  return check;
}


int cmd_pack(const pack_items_options& items_opt, const std::string& output, bool force) {
  if (!force && is_path_existed(output.c_str())) {
    complain("%s exists (use --force to replace it)", output.c_str());
    return 1;
  }
  std::vector<uint8_t> image;
  size_t count = 0;
  progress p;
  if (!pack_items(items_opt, image, &count, &p)) return 1;
  bool replacing = is_path_existed(output.c_str());
  if (int err = zor_write_file_atomic(output.c_str(), image.data(), image.size(),
                                        force ? kReplaceExisting : kKeepExisting, 0666)) {
    complain("%s: %s", output.c_str(), err == EEXIST ? "exists (use --force to replace it)" : strerror(err));
    return 1;
  }
  printf("%s: %zu items, %zu bytes\n", output.c_str(), count, image.size());
  // The user's signature file is theirs to replace: flag it, never delete it.
  std::string sig_path = output + ".minisig";
  if (replacing && is_path_existed(sig_path.c_str()))
    warn("%s signs the bundle this one replaced: sign %s again", sig_path.c_str(), output.c_str());
  return 0;
}

json item_json(size_t index, const bundle_entry& e, const uint8_t* image) {
  std::string module = e.script ? bundle_module_name(e.name) : "";
  return json{{"index", index},
              {"kind", e.script ? "script" : "file"},
              {"name", json_bytes(e.name)},
              {"module", e.script ? json_bytes(module) : json(nullptr)},
              {"size", e.size},
              {"offset", e.offset},
              {"crc", hex32(calc_buf_crc(image + e.offset, static_cast<uint32_t>(e.size)))}};
}

int cmd_list(const std::string& path, bool as_json) {
  opened_bundle b;
  if (!open_bundle(path, b) || !report(path, b.problems)) return 1;
  if (as_json) {
    json items = json::array();
    for (size_t i = 0; i < b.entries.size(); ++i) items.push_back(item_json(i, b.entries[i], b.bytes.get()));
    printf("%s\n", json{{"items", items}}.dump(2).c_str());
    return 0;
  }
  printf("%-5s  %-6s  %-31s  %-31s  %10s  %10s  %s\n", "index", "kind", "name", "module", "size", "offset", "crc");
  for (size_t i = 0; i < b.entries.size(); ++i) {
    const bundle_entry& e = b.entries[i];
    std::string module = e.script ? zor_escaped(bundle_module_name(e.name).c_str()) : "-";
    printf("%-5zu  %-6s  %-31s  %-31s  %10d  %10u  %s\n", i, e.script ? "script" : "file",
           zor_escaped(e.name).c_str(), module.c_str(), e.size, e.offset,
           hex32(calc_buf_crc(b.bytes.get() + e.offset, static_cast<uint32_t>(e.size))).c_str());
  }
  return 0;
}

int cmd_verify(const std::string& path, const std::vector<std::string>& pubkeys, bool as_json) {
  std::vector<sig_public_key> keys;
  opened_bundle b;
  if (!trusted_keys(pubkeys, keys) || !read_bundle(path, b)) return 1;
  // The signature covers the file as it is, before anything is decrypted.
  std::vector<std::string> problems;
  sig_verified found;
  std::string problem;
  bool check_sig = !keys.empty();
  bool sig_ok = check_sig && check_signature(path, b, keys, found, problem) == SIG_OK;
  if (check_sig && !sig_ok) problems.push_back(problem);
  open_read_bundle(b);
  problems.insert(problems.end(), b.problems.begin(), b.problems.end());
  if (b.problems.empty()) {  // the item checks need a sound layout
    bundle_check_names(b.entries, kFileItemsWritten, problems);
    bundle_check_launch(b.size, b.entries, problems);
    bundle_check_scripts(b.bytes.get(), b.entries, problems);
  }
  int precompiled = 0;
  for (const auto& e : b.entries)
    if (e.script && chunk_is_precompiled(reinterpret_cast<const char*>(b.bytes.get()) + e.offset,
                                         static_cast<size_t>(e.size)))
      ++precompiled;
  if (as_json) {
    json out{{"bundle", path}, {"sound", problems.empty()}, {"problems", problems}, {"items", b.entries.size()},
             {"precompiled_structure_checked_only", precompiled}};
    std::string key_id;
    if (sig_ok)
      out["signature"] = {{"key_id", std_string_format(key_id, "%016llX", static_cast<unsigned long long>(found.key_id))},
                          {"trusted_comment", json_bytes(found.trusted_comment)}};
    printf("%s\n", out.dump(2, ' ', true, json::error_handler_t::replace).c_str());
    return problems.empty() ? 0 : 1;
  }
  if (!report(path, problems)) return 1;
  if (sig_ok)
    printf("%s: signature ok, key %016llX: %s\n", path.c_str(), static_cast<unsigned long long>(found.key_id),
           zor_escaped(found.trusted_comment).c_str());
  if (precompiled == 0) {
    printf("%s: sound, %zu items\n", path.c_str(), b.entries.size());
  } else {
    // Lua has no bytecode verifier: a chunk that passes the structure check
    // is loadable, not proven safe to run.
    printf("%s: %zu items; layout, CRC, names and sources sound; %d precompiled chunks: structure checked only\n",
           path.c_str(), b.entries.size(), precompiled);
  }
  return 0;
}

int cmd_info(const std::string& path, const std::vector<std::string>& pubkeys, bool as_json) {
  std::vector<sig_public_key> keys;
  opened_bundle b;
  if (!trusted_keys(pubkeys, keys) || !read_bundle(path, b)) return 1;
  // The signature, over the file as read: checked when there are keys, else
  // only said to be there.
  std::string signature = "none";
  sig_verified found;
  std::string problem;
  if (is_path_existed((path + ".minisig").c_str())) {
    if (keys.empty())
      signature = "present, not checked (no trusted keys: pass --pubkey)";
    else if (check_signature(path, b, keys, found, problem) == SIG_OK)
      std_string_format(signature, "ok, key %016llX: %s", static_cast<unsigned long long>(found.key_id),
                        zor_escaped(found.trusted_comment).c_str());
    else
      signature = problem;
  }
  open_read_bundle(b);
  int32_t img_size = b.seal.img_size;
  uint32_t stored = b.seal.stored_crc, computed = b.seal.computed_crc;
  bool entry = bundle_has_entry_module(b.entries);
  if (as_json) {
    json items = json::array();
    for (size_t i = 0; i < b.entries.size(); ++i) items.push_back(item_json(i, b.entries[i], b.bytes.get()));
    json out{{"bundle", path},         {"file_size", b.size},     {"image_size", img_size},
             {"crc_stored", hex32(stored)}, {"crc_computed", hex32(computed)}, {"item_count", b.entries.size()},
             {"entry_module", entry},  {"key_fingerprint", bundle_key_fingerprint()},
             {"signature", signature}, {"problems", b.problems},        {"items", items}};
    printf("%s\n", out.dump(2, ' ', true, json::error_handler_t::replace).c_str());
    return b.problems.empty() ? 0 : 1;
  }
  printf("bundle           %s\n", path.c_str());
  printf("image size       %d bytes (file %zu)\n", img_size, b.size);
  printf("CRC              stored %s, computed %s (%s)\n", hex32(stored).c_str(), hex32(computed).c_str(),
         stored == computed ? "match" : "MISMATCH");
  printf("bundle key       fingerprint %s (the key this build decrypts with)\n", bundle_key_fingerprint().c_str());
  printf("items            %zu, entry module %s\n", b.entries.size(), entry ? "present" : "MISSING");
  printf("signature        %s\n", signature.c_str());
  for (size_t i = 0; i < b.entries.size(); ++i) {
    const bundle_entry& e = b.entries[i];
    printf("  %-5zu  %-6s  %-31s  %10d bytes at %u\n", i, e.script ? "script" : "file",
           zor_escaped(e.name).c_str(), e.size, e.offset);
  }
  return report(path, b.problems) ? 0 : 1;
}

int cmd_extract(const std::string& path, const std::string& dir) {
  opened_bundle b;
  if (!open_bundle(path, b) || !report(path, b.problems)) return 1;
  // Every item becomes a file: a duplicate name would lose one of them.
  std::vector<std::string> problems;
  bundle_check_names(b.entries, kAllItemsWritten, problems);
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
  uint64_t total = 0;
  for (const auto& e : b.entries) total += static_cast<uint64_t>(e.size);
  progress p;
  progress_start(&p, total);
  for (const auto& e : b.entries) {
    std::string out = dir + "/" + e.name;
    if (int err = zor_write_file_atomic(out.c_str(), b.bytes.get() + e.offset, static_cast<size_t>(e.size),
                                        kKeepExisting, 0666)) {
      complain("%s: %s", out.c_str(), strerror(err));
      return 1;
    }
    progress_advance(&p, static_cast<uint64_t>(e.size));
  }
  progress_finish(&p);
  printf("%s: %zu items extracted into %s\n", path.c_str(), b.entries.size(), dir.c_str());
  return 0;
}

// Opens an image to stamp (or only to check) and checks it is a regular
// file; -1 after a message otherwise. Stamping goes through no symbolic link,
// and a FIFO in the image's place cannot block the open.
int open_image(const std::string& path, bool check_only, struct stat* st) {
  int fd = open(path.c_str(), (check_only ? O_RDONLY : O_RDWR | O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    complain("%s: %s", path.c_str(), errno == ELOOP ? "a symbolic link: stamp the file it names" : strerror(errno));
    return -1;
  }
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    complain("%s: not a regular file", path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// The CRC of bytes 4 to `size` of the open image, read in steps that `p`
// hears of; the errno of a failed read, or 0.
int32_t image_crc(int fd, uint64_t size, uint32_t* crc, progress* p) {
  std::vector<uint8_t> buf(1 << 20);
  *crc = kCrc32Initial;
  for (uint64_t at = 4; at < size;) {
    ssize_t n = pread(fd, buf.data(), std::min<uint64_t>(buf.size(), size - at), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    *crc = crc32(*crc, buf.data(), static_cast<uint32_t>(n));
    at += static_cast<uint64_t>(n);
    progress_advance(p, static_cast<uint64_t>(n));
  }
  return 0;
}

// The convention update scripts check: bytes 0..3 of an image hold, little-
// endian, the CRC of bytes 4 to the end, which calc_img_crc(path) computes.
// The file is stamped in place: owner, group, mode, inode and links stay.
int cmd_stamp(const std::string& path, bool check_only) {
  struct stat st;
  int fd = open_image(path, check_only, &st);
  if (fd < 0) return 1;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  uint8_t field[4];
  uint32_t crc = 0;
  progress p;
  progress_start(&p, size);
  int32_t err = 0;
  if (size < 4 || size - 4 > UINT32_MAX)
    err = -1;
  else if (pread(fd, field, 4, 0) != 4)
    err = EIO;
  else
    err = image_crc(fd, size, &crc, &p);
  progress_finish(&p);
  if (err != 0) {
    if (err < 0)
      complain("%s: %llu bytes; an image holds its 4-byte CRC field and at most 4 GiB after it", path.c_str(),
               static_cast<unsigned long long>(size));
    else
      complain("%s: %s", path.c_str(), strerror(err));
    close(fd);
    return 1;
  }
  uint32_t stored = zor_load_le32(field);
  if (check_only) {
    close(fd);
    if (stored == crc) {
      printf("%s: CRC %s matches\n", path.c_str(), hex32(crc).c_str());
      return 0;
    }
    complain("%s: stored CRC %s, computed %s: mismatch", path.c_str(), hex32(stored).c_str(), hex32(crc).c_str());
    return 1;
  }
  zor_store_le32(field, crc);
  bool written = pwrite(fd, field, 4, 0) == 4 && fsync(fd) == 0;
  err = errno;
  // Writing as the owner drops setuid and setgid: put the mode back as it was.
  struct stat now;
  if (written && fstat(fd, &now) == 0 && (now.st_mode & 07777) != (st.st_mode & 07777)) fchmod(fd, st.st_mode & 07777);
  close(fd);
  if (!written) {
    complain("%s: %s", path.c_str(), strerror(err));
    return 1;
  }
  printf("%s: stamped CRC %s (was %s)\n", path.c_str(), hex32(crc).c_str(), hex32(stored).c_str());
  return 0;
}

// True when `path` is a bundle file (its magic in place) rather than an item.
bool looks_like_bundle(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char header[kBundleMagicAt + sizeof kBundleMagic];
  bool bundle = fread(header, sizeof header, 1, f) == 1 && memcmp(header + kBundleMagicAt, kBundleMagic,
                                                                  sizeof kBundleMagic) == 0;
  fclose(f);
  return bundle;
}

int cmd_run(const pack_items_options& items_opt, const pack_run_options& run_opt) {
  const std::vector<std::string>& inputs = items_opt.inputs;
  if (inputs.size() == 1 && is_regular_file(inputs[0].c_str()) && looks_like_bundle(inputs[0]))
    return pack_run_file(inputs[0], run_opt);
  std::vector<uint8_t> image;
  size_t count = 0;
  progress p;
  if (!pack_items(items_opt, image, &count, &p)) return 1;
  size_t eq = inputs[0].find('=');  // NAME=PATH: the path
  return pack_run_image(image, eq == std::string::npos ? inputs[0] : inputs[0].substr(eq + 1), run_opt);
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

// What the command line says, filled in by CLI11.
struct command_line {
  pack_items_options items;  // pack
  std::string output;
  bool force = false;
  std::string bundle, dir;  // list, verify, info, extract, stamp
  bool as_json = false, check_only = false;
  std::vector<std::string> pubkeys;
  pack_items_options run_items;  // run
  pack_run_options run_opt;
};

CLI::App* add_pack(CLI::App& app, command_line& c) {
  CLI::App* pack = app.add_subcommand("pack", "Pack files into a bundle");
  pack->add_option("-o,--output", c.output, "Bundle to write")->required();
  pack->add_option("items", c.items.inputs, "FILE, NAME=PATH, or DIRECTORY (its regular files)")->required();
  pack->add_flag("--force", c.force, "Replace an existing output");
  pack->add_flag("--no-entry", c.items.no_entry, "Allow a bundle without the entry module");
  pack->add_option("--exclude", c.items.excludes, "Leave out names in directories that match this glob (repeatable)");
  CLI::Option* pre = pack->add_flag("--precompile", c.items.precompile, "Store Lua bytecode instead of source");
  pack->add_flag("--strip", c.items.strip, "Drop debug information from bytecode")->needs(pre);
  return pack;
}

// A command over one bundle file, with --json when `json` is given.
CLI::App* add_bundle_command(CLI::App& app, command_line& c, const char* name, const char* what, const char* json) {
  CLI::App* cmd = app.add_subcommand(name, what);
  cmd->add_option("bundle", c.bundle, "Bundle file")->required();
  if (json != nullptr) cmd->add_flag("--json", c.as_json, json);
  return cmd;
}

CLI::App* add_run(CLI::App& app, command_line& c) {
  CLI::App* run_cmd = app.add_subcommand(
      "run", "Run an update procedure here as the launcher would: BUNDLE | DIR | ITEM... [-- ARGS...]");
  run_cmd->add_option("inputs", c.run_items.inputs, "A bundle file, or what `pack` takes (packed in memory)")
      ->required();
  run_cmd->add_flag("--keep", c.run_opt.keep, "Keep the unpack directory");
  run_cmd->add_option("--exclude", c.run_items.excludes, "As for pack");
  return run_cmd;
}

// Everything after the "--" of `run` belongs to the procedure: returns the
// argument count CLI11 should parse.
int split_procedure_args(int argc, char** argv, command_line& c) {
  if (argc < 2 || strcmp(argv[1], "run") != 0) return argc;
  for (int i = 2; i < argc; ++i)
    if (strcmp(argv[i], "--") == 0) {
      c.run_opt.args.assign(argv + i + 1, argv + argc);
      return i;
    }
  return argc;
}

int run(int argc, char** argv) {
  CLI::App app{"zor_pack: makes, inspects, verifies, extracts and runs update bundles (nuvex.zor)"};
  app.require_subcommand(0, 1);  // one; checked after parsing, so --version works alone
  app.set_version_flag("--version", tool_identity("zor_pack"));
  app.failure_message(CLI::FailureMessage::help);
  command_line c;
  CLI::App* pack = add_pack(app, c);
  CLI::App* list = add_bundle_command(app, c, "list", "List the items of a bundle", "Print JSON");
  CLI::App* verify = add_bundle_command(app, c, "verify", "Check a bundle thoroughly",
                                        "Print the result and the problems as JSON");
  verify->add_option("--pubkey", c.pubkeys, "Also check BUNDLE.minisig against this minisign public key (repeatable)");
  CLI::App* info = add_bundle_command(app, c, "info", "Show what a bundle holds and how it is sealed and signed",
                                      "Print JSON");
  info->add_option("--pubkey", c.pubkeys, "Check BUNDLE.minisig against this minisign public key (repeatable)");
  CLI::App* extract = add_bundle_command(app, c, "extract", "Write every item's plain bytes into a new directory",
                                         nullptr);
  extract->add_option("dir", c.dir, "Directory to create (or an empty one)")->required();
  CLI::App* stamp = app.add_subcommand("stamp", "Write the CRC of bytes 4.. of a firmware image into its bytes 0..3");
  stamp->add_option("image", c.bundle, "Firmware image")->required();
  stamp->add_flag("--check", c.check_only, "Only compare the stored CRC with the computed one");
  CLI::App* run_cmd = add_run(app, c);
  try {
    app.parse(split_procedure_args(argc, argv, c), argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (app.get_subcommands().empty()) return app.exit(CLI::RequiredError("A subcommand")) == 0 ? 0 : 2;
  if (pack->parsed()) return cmd_pack(c.items, c.output, c.force);
  if (list->parsed()) return cmd_list(c.bundle, c.as_json);
  if (verify->parsed()) return cmd_verify(c.bundle, c.pubkeys, c.as_json);
  if (info->parsed()) return cmd_info(c.bundle, c.pubkeys, c.as_json);
  if (stamp->parsed()) return cmd_stamp(c.bundle, c.check_only);
  if (run_cmd->parsed()) return cmd_run(c.run_items, c.run_opt);
  return cmd_extract(c.bundle, c.dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (zor_open_std_descriptors() != 0) return 1;
  tool_set_name("zor_pack");
  install_signal_handlers();
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    complain("out of memory");
    return 1;
  }
}

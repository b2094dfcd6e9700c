// zor_pack: makes, inspects, verifies, extracts and runs update bundles, and
// stamps firmware images with their CRC.
// Exit status: 0 done, 1 failed (one line per problem on stderr), 2 usage;
// `run` exits as the launcher would (0, 1 or 207).
#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "files.h"
#include "pack_commands.h"
#include "pack_items.h"
#include "pack_payloads.h"
#include "pack_run.h"
#include "tool_identity.h"

namespace {

// Payloads go beside the output first (the manifest pins what was
// written); a failure after that takes them back.
int cmd_pack(pack_items_options items_opt, const std::string& output, bool force,
             const std::vector<std::string>& payload_args, const std::string& compress) {
  if (!force && is_path_existed(output.c_str())) {
    complain("%s exists (use --force to replace it)", output.c_str());
    return 1;
  }
  std::vector<payload_entry> payloads;
  if (!payload_args.empty()) {
    bundle_item manifest;
    if (!payloads_write(payload_args, compress, output, force, payloads, &manifest)) return 1;
    items_opt.generated.push_back(manifest);
  } else if (!compress.empty()) {
    complain("--compress applies to payloads: give --payload NAME=FILE");
    return 1;
  }
  std::string dir = payload_folder(output);
  auto take_back = [&]() {
    for (const auto& pl : payloads) unlink((dir + pl.file).c_str());
    return 1;
  };
  std::vector<uint8_t> image;
  size_t count = 0;
  progress p;
  if (!pack_items(items_opt, image, &count, &p)) return take_back();
  // The user's signature file is theirs to replace: flag it, never delete
  // it. Known before the write, so nothing after it can fail.
  std::string sig_path = output + ".minisig";
  bool stale_signature = is_path_existed(output.c_str()) && is_path_existed(sig_path.c_str());
  if (int err = zor_write_file_atomic(output.c_str(), image.data(), image.size(),
                                        force ? kReplaceExisting : kKeepExisting, 0666)) {
    complain("%s: %s", output.c_str(), err == EEXIST ? "exists (use --force to replace it)" : strerror(err));
    return take_back();
  }
  printf("%s: %zu items, %zu bytes\n", output.c_str(), count, image.size());
  for (const auto& pl : payloads)
    printf("%s%s: payload %s, %llu bytes%s, sha256 %s\n", dir.c_str(), pl.file.c_str(), pl.name.c_str(),
           static_cast<unsigned long long>(pl.size), pl.compression.empty() ? "" : " (zstd)", pl.sha256.c_str());
  if (stale_signature) warn("%s signs the bundle this one replaced: sign %s again", sig_path.c_str(), output.c_str());
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

// Warns of each payload a bundle file's manifest names that is not beside
// it with its pinned size: the procedure will not find it there.
void warn_of_payloads(const std::string& path) {
  opened_bundle b;
  std::vector<payload_entry> payloads;
  std::string why;
  if (!open_bundle(path, b) || !b.problems.empty() || !payloads_read_manifest(b.data(), b.entries, payloads, why))
    return;  // the run itself reports what is wrong with the bundle
  std::string dir = payload_folder(path);
  for (const auto& p : payloads) {
    const char* state = payload_state(dir, p, false);
    if (strcmp(state, "present") != 0)
      warn("payload %s: %s%s is %s (the bundle pins %llu bytes)", p.name.c_str(), dir.c_str(), p.file.c_str(), state,
           static_cast<unsigned long long>(p.size));
  }
}

int cmd_run(const pack_items_options& items_opt, const pack_run_options& run_opt) {
  const std::vector<std::string>& inputs = items_opt.inputs;
  if (inputs.size() == 1 && is_regular_file(inputs[0].c_str()) && looks_like_bundle(inputs[0])) {
    warn_of_payloads(inputs[0]);
    return pack_run_file(inputs[0], run_opt);
  }
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
  payloads_abandon();
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
  std::vector<std::string> payloads;
  std::string compress;
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
  pack->add_option("--provided", c.items.provided, "A module the device provides: require of it is fine (repeatable)");
  pack->add_option("--payload", c.payloads,
                   "Write FILE beside the bundle as payload NAME, pinned by the bundle (NAME=FILE, repeatable)")
      ->allow_extra_args(false);
  pack->add_option("--compress", c.compress, "Store the payloads compressed (zstd)");
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
  run_cmd->add_option("--sig-comment", c.run_opt.sig_comment,
                      "Hand the procedure this sigComment, as a signing launcher would (verifies nothing)")
      ->each([&c](const std::string&) { c.run_opt.has_sig_comment = true; });
  run_cmd->add_option("--exclude", c.run_items.excludes, "As for pack");
  run_cmd->add_option("--provided", c.run_items.provided, "As for pack");
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
  if (pack->parsed()) return cmd_pack(c.items, c.output, c.force, c.payloads, c.compress);
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

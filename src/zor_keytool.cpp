// zor_keytool: generates random keys and converts hex key text to binary.
// Exit status: 0 done, 1 the operation failed (its own messages), 2 usage.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "ZorFwAicGen.h"
#include "tool_identity.h"
#include "util.h"

namespace {

const int32_t kMaxKeyBytes = 4096;

// Large enough for any length the generator accepts: 3 * len + 3 bytes.
std::vector<uint8_t> work_buffer(int32_t len) { return std::vector<uint8_t>(3 * static_cast<size_t>(len) + 8); }

// True when both paths name one file: the same text, or the same inode.
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return a == b || (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
                    sa.st_ino == sb.st_ino);
}

// False (after a message naming it) when a key file would be overwritten
// without --force.
bool may_write(const std::string& path, bool force) {
  if (force || !is_path_existed(path.c_str())) return true;
  fprintf(stderr, "zor_keytool: %s exists; a key file is replaced only with --force\n", path.c_str());
  return false;
}

int cmd_gen(const std::string& name, int32_t len, const std::vector<std::string>& files, bool force) {
  std::vector<uint8_t> work = work_buffer(len);
  if (files.empty()) {
    std::string line;
    if (zor_ramdom_key_gen(name.c_str(), len, work.data(), line) != 0) return 1;
    fputs(line.c_str(), stdout);
    return 0;
  }
  if (!may_write(files[0], force) || !may_write(files[1], force)) return 1;
  return zor_ramdom_key_gen(files[0].c_str(), files[1].c_str(), name.c_str(), len, work.data()) == 0 ? 0 : 1;
}

int cmd_hex2bin(const std::string& text_file, const std::string& bin_file, int32_t len, bool buffer_form,
                bool force) {
  if (!buffer_form) {
    if (!may_write(bin_file, force)) return 1;
    return zor_hexstr_key_to_int_buf(text_file.c_str(), bin_file.c_str()) == 0 ? 0 : 1;
  }
  std::vector<uint8_t> key(static_cast<size_t>(len));
  std::string line;
  if (zor_hexstr_key_to_int_buf(text_file.c_str(), key.data(), len, line) != 0) return 1;
  for (uint8_t b : key) printf("%02x", b);
  printf("\n");
  return 0;
}

int usage_error(const char* message) {
  fprintf(stderr, "%s\nRun with --help for more information.\n", message);
  return 2;
}

int run(int argc, char** argv) {
  CLI::App app{"zor_keytool: random key generation and hex key conversion"};
  app.require_subcommand(0, 1);  // one; checked after parsing, so --version works alone
  app.set_version_flag("--version", tool_identity("zor_keytool"));
  app.failure_message(CLI::FailureMessage::help);

  std::string name;
  int32_t len = 0;
  bool force = false;
  std::vector<std::string> files;
  CLI::App* gen = app.add_subcommand("gen", "Make a random key: NAME LEN [BINFILE TEXTFILE]");
  gen->add_option("name", name, "Key name (at most 12 bytes)")->required();
  gen->add_option("len", len, "Key length in bytes: a multiple of 4 from 4 to 4096")
      ->required()
      ->check(CLI::Range(4, kMaxKeyBytes));
  gen->add_option("files", files, "Binary key file and text key file; without them the key line is printed")
      ->expected(2);
  gen->add_flag("--force", force, "Replace existing key files");

  std::string text_file, bin_file;
  int32_t nbytes = 0;
  CLI::App* hex = app.add_subcommand("hex2bin", "Convert the hex key text of a text key file to binary");
  hex->add_option("textfile", text_file, "Text key file (its first line is used)")->required();
  CLI::Option* bin_opt = hex->add_option("binfile", bin_file, "Binary key file to write");
  CLI::Option* len_opt = hex->add_option("--len", nbytes, "Expected key length (1 to 4096); prints the bytes as hex")
                             ->check(CLI::Range(1, kMaxKeyBytes));
  bin_opt->excludes(len_opt);
  hex->add_flag("--force", force, "Replace an existing binary key file");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (app.get_subcommands().empty()) return app.exit(CLI::RequiredError("A subcommand")) == 0 ? 0 : 2;
  if (gen->parsed()) {
    if (len % 4 != 0) return usage_error("len: a key is whole 32-bit words, a multiple of 4 bytes");
    if (!files.empty() && same_file(files[0], files[1]))
      return usage_error("files: BINFILE and TEXTFILE must be two different files");
    return cmd_gen(name, len, files, force);
  }
  if (bin_opt->count() == 0 && len_opt->count() == 0) return usage_error("hex2bin needs BINFILE or --len N");
  return cmd_hex2bin(text_file, bin_file, nbytes, len_opt->count() > 0, force);
}

}  // namespace

int main(int argc, char** argv) {
  if (zor_open_std_descriptors() != 0) return 1;
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    fputs("zor_keytool: out of memory\n", stderr);
    return 1;
  }
}

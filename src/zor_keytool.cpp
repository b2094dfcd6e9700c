// zor_keytool: generates random keys and converts hex key text to binary.
// Exit status: 0 done, 1 the operation failed (its own messages), 2 usage.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "ZorFwAicGen.h"

namespace {

// Large enough for any length the generator accepts: 3 * len + 3 bytes.
std::vector<uint8_t> work_buffer(int32_t len) {
  return std::vector<uint8_t>(len > 0 ? 3 * static_cast<size_t>(len) + 8 : 8);
}

int cmd_gen(const std::string& name, int32_t len, const std::vector<std::string>& files) {
  std::vector<uint8_t> work = work_buffer(len);
  if (files.empty()) {
    std::string line;
    if (zor_ramdom_key_gen(name.c_str(), len, work.data(), line) != 0) return 1;
    fputs(line.c_str(), stdout);
    return 0;
  }
  return zor_ramdom_key_gen(files[0].c_str(), files[1].c_str(), name.c_str(), len, work.data()) == 0 ? 0 : 1;
}

int cmd_hex2bin(const std::string& text_file, const std::string& bin_file, int32_t len, bool buffer_form) {
  if (!buffer_form) return zor_hexstr_key_to_int_buf(text_file.c_str(), bin_file.c_str()) == 0 ? 0 : 1;
  std::vector<uint8_t> key(len > 0 ? static_cast<size_t>(len) : 0);
  std::string line;
  if (zor_hexstr_key_to_int_buf(text_file.c_str(), key.data(), len, line) != 0) return 1;
  for (uint8_t b : key) printf("%02x", b);
  printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zor_keytool: random key generation and hex key conversion"};
  app.require_subcommand(1);

  std::string name;
  int32_t len = 0;
  std::vector<std::string> files;
  CLI::App* gen = app.add_subcommand("gen", "Make a random key: NAME LEN [BINFILE TEXTFILE]");
  gen->add_option("name", name, "Key name (at most 12 bytes)")->required();
  gen->add_option("len", len, "Key length in bytes")->required();
  gen->add_option("files", files, "Binary key file and text key file; without them the key line is printed")
      ->expected(2);

  std::string text_file, bin_file;
  int32_t nbytes = 0;
  CLI::App* hex = app.add_subcommand("hex2bin", "Convert the hex key text of a text key file to binary");
  hex->add_option("textfile", text_file, "Text key file (its first line is used)")->required();
  CLI::Option* bin_opt = hex->add_option("binfile", bin_file, "Binary key file to write");
  CLI::Option* len_opt = hex->add_option("--len", nbytes, "Expected key length; prints the bytes as hex");
  bin_opt->excludes(len_opt);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (hex->parsed() && bin_opt->count() == 0 && len_opt->count() == 0) {
    fprintf(stderr, "hex2bin needs BINFILE or --len N\nRun with --help for more information.\n");
    return 2;
  }
  if (gen->parsed()) return cmd_gen(name, len, files);
  return cmd_hex2bin(text_file, bin_file, nbytes, len_opt->count() > 0);
}

// zor_keytool: generates random keys and converts hex key text to binary.
// Exit status: 0 done, 1 the operation failed (its own messages), 2 usage.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "ZorFwAicGen.h"
#include "key_fingerprint.h"
#include "tool_identity.h"
#include "files.h"
#include "text.h"

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

// False (after a message naming it) when a key file may not go to `path`:
// a symbolic link (dangling or not), anything but a regular file, another
// user's file or one with other names is never written to or replaced, and
// an existing key file is replaced only with --force.
bool may_write(const std::string& path, bool force) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  const char* why = nullptr;
  std::string text;
  if (S_ISLNK(st.st_mode))
    why = "is a symbolic link; a key file is never written through one";
  else if (!S_ISREG(st.st_mode))
    why = "is not a regular file";
  else if (st.st_uid != geteuid())
    why = std_string_format(text, "belongs to another user (uid %u); a key file is never written into it",
                            static_cast<unsigned>(st.st_uid)).c_str();
  else if (st.st_nlink > 1)
    why = "has other names (hard links), which would receive the key too";
  else if (!force)
    why = "exists; a key file is replaced only with --force";
  if (why == nullptr) return true;
  fprintf(stderr, "zor_keytool: %s %s\n", path.c_str(), why);
  return false;
}

// A key file on its way: written under a fresh name beside its target
// (mkstemp: created exclusively, 0600, no link followed), then synced and
// renamed over the target, so the key reaches only the name meant.
struct pending_key_file {
  std::string target;
  std::string tmp;
};

// Creates the temporary file; false after a message with the target and
// the system's reason.
bool start_key_file(pending_key_file& f, const std::string& target) {
  f.target = target;
  size_t slash = target.rfind('/');
  f.tmp = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".zor_keytool.XXXXXX";
  int fd = mkstemp(&f.tmp[0]);
  if (fd < 0) {
    fprintf(stderr, "zor_keytool: %s: %s\n", target.c_str(), strerror(errno));
    f.tmp.clear();
    return false;
  }
  close(fd);
  return true;
}

// Syncs the temporary file and renames it over the target, then syncs the
// folder; false after a message.
bool finish_key_file(pending_key_file& f) {
  int fd = open(f.tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  bool ok = fd >= 0 && fsync(fd) == 0 && rename(f.tmp.c_str(), f.target.c_str()) == 0;
  int err = errno;
  if (fd >= 0) close(fd);
  if (!ok) {
    fprintf(stderr, "zor_keytool: %s: %s\n", f.target.c_str(), strerror(err));
    return false;
  }
  f.tmp.clear();
  size_t slash = f.target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : f.target.substr(0, slash);
  if ((fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0) {
    fsync(fd);
    close(fd);
  }
  return true;
}

// Removes a temporary file that was not renamed into place.
void drop_key_file(pending_key_file& f) {
  if (!f.tmp.empty()) unlink(f.tmp.c_str());
  f.tmp.clear();
}

// Adds the line the library leaves out when it cannot open `path`: the path
// and the system's reason, found without creating anything.
void explain_open_failure(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
  int err = errno;
  if (fd >= 0) {
    close(fd);
    return;
  }
  if (err == ENOENT && (flags & O_ACCMODE) != O_RDONLY) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK) != 0) err = errno;
  }
  fprintf(stderr, "zor_keytool: %s: %s\n", path.c_str(), strerror(err));
}

// Runs the library's file form with its standard output held in memory: the
// lines that show the key ("Parsing key:", "ok in gen key[...]") never reach
// a terminal or a log; any other line (a failure) goes to stderr.
int32_t gen_files_quietly(const std::vector<std::string>& files, const std::string& name, int32_t len,
                          uint8_t* work) {
  std::cout.flush();
  fflush(stdout);
  int held = memfd_create("zor_keytool", MFD_CLOEXEC);
  int saved = held < 0 ? -1 : dup(STDOUT_FILENO);
  if (saved < 0 || dup2(held, STDOUT_FILENO) < 0) {
    fprintf(stderr, "zor_keytool: cannot hold the key's output in memory: %s\n", strerror(errno));
    if (held >= 0) close(held);
    if (saved >= 0) close(saved);
    return -1;
  }
  int32_t rc = zor_ramdom_key_gen(files[0].c_str(), files[1].c_str(), name.c_str(), len, work);
  std::cout.flush();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out(static_cast<size_t>(lseek(held, 0, SEEK_END)), '\0');
  if (pread(held, &out[0], out.size(), 0) < 0) out.clear();
  close(held);
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    if (line.rfind("Parsing key:", 0) != 0 && line.rfind("ok in gen key[", 0) != 0)
      fprintf(stderr, "%s\n", line.c_str());
    std::fill(line.begin(), line.end(), '\0');
  }
  std::fill(out.begin(), out.end(), '\0');
  return rc;
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
  pending_key_file bin, text;
  if (!start_key_file(bin, files[0])) return 1;
  if (!start_key_file(text, files[1])) {
    drop_key_file(bin);
    return 1;
  }
  int32_t rc = gen_files_quietly({bin.tmp, text.tmp}, name, len, work.data());
  bool ok = rc == 0 && finish_key_file(bin) && finish_key_file(text);
  drop_key_file(bin);
  drop_key_file(text);
  if (ok)
    printf("wrote %s (%d bytes) and %s; key fingerprint %s\n", files[0].c_str(), len, files[1].c_str(),
           key_fingerprint(work.data(), static_cast<size_t>(len)).c_str());
  std::fill(work.begin(), work.end(), 0);
  return ok ? 0 : 1;
}

int cmd_hex2bin(const std::string& text_file, const std::string& bin_file, int32_t len, bool buffer_form,
                bool force) {
  if (!buffer_form) {
    if (!may_write(bin_file, force)) return 1;
    pending_key_file bin;
    if (!start_key_file(bin, bin_file)) return 1;
    int32_t rc = zor_hexstr_key_to_int_buf(text_file.c_str(), bin.tmp.c_str());
    if (rc == kKeyHexOpenIn) explain_open_failure(text_file, O_RDONLY);
    bool ok = rc == 0 && finish_key_file(bin);
    drop_key_file(bin);
    return ok ? 0 : 1;
  }
  std::vector<uint8_t> key(static_cast<size_t>(len));
  std::string line;
  int32_t rc = zor_hexstr_key_to_int_buf(text_file.c_str(), key.data(), len, line);
  if (rc == kKeyBufOpenIn) explain_open_failure(text_file, O_RDONLY);
  if (rc != 0) return 1;
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
  // Before any key material is read or made: no core dump may hold it.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  if (zor_open_std_descriptors() != 0) return 1;
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    fputs("zor_keytool: out of memory\n", stderr);
    return 1;
  }
}

#include "util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>

namespace {

// Line numbers of the "ERR[TLS]f(util)L<n>:" prefixes. They are an external
// contract (field logs and support tools match on them): fixed per call site,
// never __LINE__. A site fails through zor_fail, so its code is -(line + 1).
enum util_log_line : int32_t {
  kLineReadlink = 45,
  kLineMkdtemp = 61,
  kLineOpendir = 100,
  kLineRuntimePath = 307,
  kLineDelimiter = 312,
  kLineModulePath = 318,
  kLineParseNum = 467,
  kLineDukAlloc = 543,
  kLineDukOpen = 549,
  kLineDukSeek = 553,
  kLineDukWrite = 555,
  kLineDukFlush = 557,
  kLineDukClose = 559,
};

const char kSource[] = "util";
const size_t kLineSize = 352;    // 351 bytes of text + NUL
const size_t kPrefixMax = 96;
const size_t kPathBuf = 4096;
const char kConfigDirName[] = "zor_update_whole_package_config/";
const char kTempTemplate[] = "/tmp/tmpdir.XXXXXX";
const long kDukOffset = 10240;
const size_t kDukSize = 2080;

int32_t log_vout(const char* prefix, const char* fmt, va_list ap) {
  char line[kLineSize];
  size_t plen = prefix ? strnlen(prefix, kPrefixMax) : 0;
  if (plen > 0) memcpy(line, prefix, plen);
  line[plen] = '\0';
  vsnprintf(line + plen, kLineSize - plen, fmt, ap);
  _OutputDebugString(line);
  return 0;
}

}  // namespace

int32_t zor_log_out(const char* prefix, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_vout(prefix, fmt, ap);
  va_end(ap);
  return 0;
}

void zor_err_prefix(char* buf, size_t size, const char* source, int32_t line) {
  snprintf(buf, size, "ERR[TLS]f(%s)L%d:", source, line);
}

static void log_err_vout(const char* source, int32_t line, const char* fmt, va_list ap) {
  char prefix[128];
  zor_err_prefix(prefix, sizeof prefix, source, line);
  log_vout(prefix, fmt, ap);
}

int32_t zor_log_err(const char* source, int32_t line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_err_vout(source, line, fmt, ap);
  va_end(ap);
  return 0;
}

int32_t zor_fail(const char* source, int32_t line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_err_vout(source, line, fmt, ap);
  va_end(ap);
  return -(line + 1);
}

void die(const char* fmt, ...) {
  fputs("error: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  exit(kZorExitFatal);
}

void _OutputDebugString(const char* text) { fputs(text, stderr); }

int32_t _get_path_of_executable(std::string& out) {
  char link[kPathBuf];
  char target[kPathBuf];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(getpid()));
  ssize_t n = readlink(link, target, sizeof target);
  if (n < 0) return zor_fail(kSource, kLineReadlink, "Fail readlink path(%s), err(%d)\n", link, errno);
  out.assign(target, static_cast<size_t>(n));  // readlink does not NUL-terminate
  return 0;
}

int32_t get_path_of_executable(std::string& out) {
  if (_get_path_of_executable(out) != 0) return zor_fail(kSource, kLineRuntimePath, "Fail in get runtime path\n");
  size_t slash = out.rfind('/');
  if (slash == std::string::npos) return zor_fail(kSource, kLineDelimiter, "Fail find path delimeter\n");
  out.resize(slash + 1);
  if (out.empty() || out.back() != '/') return zor_fail(kSource, kLineModulePath, "err module path %s\n", out.c_str());
  out += kConfigDirName;
  return 0;
}

int32_t create_temp_unique_dir(std::string& out) {
  char tmpl[sizeof kTempTemplate];
  memcpy(tmpl, kTempTemplate, sizeof tmpl);
  if (mkdtemp(tmpl) == nullptr) return zor_fail(kSource, kLineMkdtemp, "Fail create temp dir %s\n", tmpl);
  out = tmpl;
  out += '/';
  return 0;
}

int32_t remove_directory(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return zor_fail(kSource, kLineOpendir, "Fail open dir %s\n", path);
  int32_t result = 0;
  struct dirent* entry;
  while (result == 0 && (entry = readdir(dir)) != nullptr) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    size_t len = strlen(path) + strlen(entry->d_name) + 2;
    char* child = new (std::nothrow) char[len];
    if (child == nullptr) {
      result = -1;
      break;
    }
    snprintf(child, len, "%s/%s", path, entry->d_name);
    struct stat st;
    // lstat, not stat: a link to a directory elsewhere is removed as a link,
    // so nothing outside the tree can ever be reached.
    if (lstat(child, &st) != 0)
      result = -1;
    else if (S_ISDIR(st.st_mode))
      result = remove_directory(child);
    else
      result = unlink(child);
    delete[] child;
  }
  closedir(dir);
  if (result != 0) return result;
  return rmdir(path);
}

bool is_path_existed(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

bool is_regular_file(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool is_dir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t get_filesize(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    fprintf(stderr, "Can't stat %s : %s\n", path, strerror(errno));
    return 0;
  }
  return st.st_size;
}

int32_t _save_stream_as_file(int32_t size, const char* path, const void* data) {
  if (size < 0) {
    std::cerr << "fail in write" << path << std::endl;
    return 364;
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file.is_open()) {
    std::cerr << "fail in open" << path << std::endl;
    return 363;
  }
  file.write(static_cast<const char*>(data), size);
  // A full disk often shows only when the buffer is flushed by close().
  file.close();
  if (file.fail()) {
    std::cerr << "fail in write" << path << std::endl;
    return 364;
  }
  return 0;
}

std::string zor_escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c <= 0x7e) {
      out += static_cast<char>(c);
    } else {
      char esc[5];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  return out;
}

std::string& std_string_format(std::string& out, const char* fmt, ...) {
  va_list ap, copy;
  va_start(ap, fmt);
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);  // measure first
  va_end(ap);
  if (n < 0) {
    out.clear();
  } else {
    char* buf = new char[static_cast<size_t>(n) + 1]();
    vsnprintf(buf, static_cast<size_t>(n) + 1, fmt, copy);
    out.assign(buf);
    delete[] buf;
  }
  va_end(copy);
  return out;
}

const zor_cpu_features& zor_cpu() {
  static const zor_cpu_features features = [] {
    zor_cpu_features f{};
#if defined(__x86_64__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    bool sse41 = c & bit_SSE4_1;
    f.aes = sse41 && (c & bit_AES);
    f.pclmul = sse41 && (c & bit_PCLMUL);
    // The 512-bit registers count only when the OS saves them (XCR0: SSE,
    // AVX, opmask and both halves of the ZMM state).
    bool os_saves_zmm = false;
    if (c & bit_OSXSAVE) {
      unsigned lo, hi;
      __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      os_saves_zmm = (lo & 0xE6) == 0xE6;
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
      f.avx512 = os_saves_zmm && (b & bit_AVX512F);
      f.vaes = f.avx512 && f.aes && (c & bit_VAES);
      f.vpclmulqdq = f.avx512 && f.pclmul && (c & bit_VPCLMULQDQ);
    }
#endif
    return f;
  }();
  return features;
}

// The whole pages inside [buf, buf + size): their start and length.
static size_t interior_pages(uint8_t* buf, size_t size, uint8_t** start) {
  const uintptr_t page = 4096;
  uintptr_t from = (reinterpret_cast<uintptr_t>(buf) + page - 1) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(buf) + size) & ~(page - 1);
  *start = reinterpret_cast<uint8_t*>(from);
  return to > from ? to - from : 0;
}

uint8_t* zor_new_file_buffer(size_t size) {
  uint8_t* buf = new (std::nothrow) uint8_t[size];
  uint8_t* start;
  size_t length = buf != nullptr ? interior_pages(buf, size, &start) : 0;
  // Where huge pages are off, or the kernel refuses, this is only advice.
  if (length > 0) madvise(start, length, MADV_HUGEPAGE);
  return buf;
}

void zor_free_file_buffer(uint8_t* buf, size_t size) {
  if (buf == nullptr) return;
  uint8_t* start;
  size_t length = interior_pages(buf, size, &start);
  if (length == 0 || madvise(start, length, MADV_DONTNEED) != 0) {
    memset(buf, 0, size);
  } else {
    memset(buf, 0, static_cast<size_t>(start - buf));
    memset(start + length, 0, size - static_cast<size_t>(start - buf) - length);
  }
  delete[] buf;
}

int32_t zor_read_file(const char* path, std::string& out) {
  out.clear();
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return errno;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  int32_t err = ferror(f) ? (errno ? errno : EIO) : 0;
  fclose(f);
  return err;
}

namespace {

// The temporary file a zor_write_file_atomic is writing, for
// zor_write_file_atomic_abandon; a plain buffer, so a signal handler can read it.
char pending_tmp[kPathBuf];
volatile sig_atomic_t pending = 0;

// Blocks the signals that end a program with a handler, so a temporary file
// is never created without being registered. Returns the previous mask.
sigset_t block_ending_signals() {
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, &old);
  return old;
}

}  // namespace

void zor_write_file_atomic_abandon() {
  if (pending) unlink(pending_tmp);
}

int32_t zor_write_file_atomic(const char* path, const void* data, size_t size, zor_existing_file existing,
                              mode_t mode) {
  bool replace = existing == kReplaceExisting;
  if (!replace && is_path_existed(path)) return EEXIST;
  std::string tmp = std::string(path) + ".tmp.XXXXXX";
  if (tmp.size() >= sizeof pending_tmp) return ENAMETOOLONG;
  sigset_t old = block_ending_signals();
  int fd = mkstemp(&tmp[0]);
  int32_t err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    memcpy(pending_tmp, tmp.c_str(), tmp.size() + 1);
    pending = 1;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) return err;
  mode_t mask = umask(0);  // mkstemp makes 0600; give the file the mode asked for
  umask(mask);
  const char* p = static_cast<const char*>(data);
  for (size_t done = 0; done < size && err == 0;) {
    ssize_t n = write(fd, p + done, size - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (err == 0 && fchmod(fd, mode & ~mask) != 0) err = errno;
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  // link() refuses an existing target, so "keep existing" holds even if the
  // path appeared after the check above.
  if (err == 0 && (replace ? rename(tmp.c_str(), path) : link(tmp.c_str(), path)) != 0) err = errno;
  if (err != 0 || !replace) unlink(tmp.c_str());
  pending = 0;
  return err;
}

int32_t zor_open_std_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: the ones below it are open.
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return -1;
    if (opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  return 0;
}

int64_t parse_num(const char* text, const char** end) {
  char* stop = nullptr;
  unsigned long long value = strtoull(text, &stop, 0);
  if (stop == text) return -1;
  // Limits are ULLONG_MAX >> 10, >> 20 and >> 30, minus one; with decimal
  // factors the product then always fits 64 unsigned bits.
  switch (*stop) {
    case 'k':
    case 'K':
      if (value > 0x3FFFFFFFFFFFFEull) return -1;
      value *= 1000ull;
      ++stop;
      break;
    case 'm':
    case 'M':
      if (value > 0xFFFFFFFFFFEull) return -1;
      value *= 1000000ull;
      ++stop;
      break;
    case 'g':
    case 'G':
      if (value > 0x3FFFFFFFEull) return -1;
      value *= 1000000000ull;
      ++stop;
      break;
    default:
      break;
  }
  if (value > static_cast<unsigned long long>(INT64_MAX)) {  // a sign, an overflow, or >= 2^63
    zor_log_err(kSource, kLineParseNum, "fail in pase_num, out of range\n");
    return -1;
  }
  if (end != nullptr) *end = stop;
  return static_cast<int64_t>(value);
}

// Additive checksum of little-endian 32-bit words (any alignment); a 1- to
// 3-byte tail is added as one little-endian number. File-local and unused
// here; tests/test_util_word_sum.cpp compiles this file to reach it.
[[maybe_unused]] static uint32_t add_sum(const void* data, uint32_t length, uint32_t sum) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t words = length / 4;
  for (uint32_t i = 0; i < words; ++i, p += 4) sum += zor_load_le32(p);
  uint32_t tail = 0;
  for (uint32_t i = 0; i < length % 4; ++i) tail |= static_cast<uint32_t>(p[i]) << (8 * i);
  return sum + tail;
}

// Unlike the launcher's codes, this operation's are positive: line + 1, the
// negated zor_fail code.
int32_t zor_hdcp22_fwle_clr_dukArea(const char* path) {
  uint8_t* buf = new (std::nothrow) uint8_t[kDukSize];
  if (buf == nullptr) return -zor_fail(kSource, kLineDukAlloc, "Exception: fail to alloc buuffer\n");
  FILE* f = fopen(path, "rb+");
  if (f == nullptr) {
    delete[] buf;
    // Key material that could not be wiped must not look wiped: not 0.
    return -zor_fail(kSource, kLineDukOpen, "Fail in open fwle %s\n", path);
  }
  memset(buf, 0, kDukSize);
  int32_t line = 0;
  if (fseek(f, kDukOffset, SEEK_SET) != 0)
    line = kLineDukSeek;
  else if (fwrite(buf, 1, kDukSize, f) != kDukSize)
    line = kLineDukWrite;
  else if (fflush(f) != 0)
    line = kLineDukFlush;
  if (fclose(f) != 0 && line == 0) line = kLineDukClose;
  delete[] buf;
  if (line != 0) return -zor_fail(kSource, line, "Fail in clear duk area of fwle %s: %s\n", path, strerror(errno));
  return 0;
}

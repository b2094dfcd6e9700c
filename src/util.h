// Support library: log lines, the fatal stop, paths and files, numeric and
// firmware-file helpers.
//
// Result codes: a failure logged at "ERR[TLS]f(util)L<n>:" returns -(n + 1);
// the file-writing helper returns 363/364 and the DUK-area clear line + 1
// (positive); zor_read_file and zor_write_file_atomic return an errno.
#ifndef ZOR_UTIL_H_
#define ZOR_UTIL_H_

#include <cstdarg>
#include <sys/types.h>

#include <cstdint>
#include <string>

#define ZOR_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Writes one log line to stderr: at most 96 bytes of `prefix`, then the
// formatted body, 351 bytes in all (longer bodies are cut). Always returns 0.
// Text that comes from outside the program is passed as ("%s", text).
int32_t zor_log_out(const char* prefix, const char* fmt, ...) ZOR_PRINTF(2, 3);

// The message prefix of progress lines and of errors that come out of Lua.
inline constexpr char kZorMsgPrefix[] = "MSG[TLS]";

// zor_log_out with the error-location prefix "ERR[TLS]f(<source>)L<line>:".
// Always returns 0.
int32_t zor_log_err(const char* source, int32_t line, const char* fmt, ...) ZOR_PRINTF(3, 4);

// A failure site in one statement: logs like zor_log_err and returns
// -(line + 1), the site's result code, so the line logged and the code
// returned can never disagree.
int32_t zor_fail(const char* source, int32_t line, const char* fmt, ...) ZOR_PRINTF(3, 4);

// Builds the error-location prefix into `buf` (128 bytes are always enough).
void zor_err_prefix(char* buf, size_t size, const char* source, int32_t line);

// The launcher's exit statuses; zor_pack run and the packer's checks speak
// of the same outcomes.
enum zor_exit_status : int {
  kZorExitOk = 0,             // the entry module returned a true first value
  kZorExitFatal = 1,          // die(): start-up failed or the bundle could not be loaded
  kZorExitEntryFailed = 207,  // the entry module failed: the low byte of main's code -49
};

// Writes "error: ", the formatted message and "\n" to stderr, exits with
// kZorExitFatal.
[[noreturn]] void die(const char* fmt, ...) ZOR_PRINTF(1, 2);

// Writes a finished line to stderr unchanged (no newline added).
void _OutputDebugString(const char* text);

// out = full path of the running executable (from /proc/<pid>/exe).
// 0, or -46 when the link cannot be read (logged at util L45).
int32_t _get_path_of_executable(std::string& out);

// out = directory of the executable + "zor_update_whole_package_config/".
// 0; -308 executable path unknown (L307, after the L45 line); -313 no '/' in
// it (L312); -319 folder does not end in '/' (L318).
int32_t get_path_of_executable(std::string& out);

// Creates a fresh 0700 directory "/tmp/tmpdir.XXXXXX"; out = its path + "/".
// 0, or -62 (logged at util L61) with `out` unchanged.
int32_t create_temp_unique_dir(std::string& out);

// Removes a directory tree depth-first. Symbolic links are removed as links,
// never followed. 0; -101 directory cannot be opened (L100); -1 when an entry
// or the directory itself cannot be removed (the rest stays in place).
int32_t remove_directory(const char* path);

// True when stat() on the path succeeds (links followed).
bool is_path_existed(const char* path);
// True when the path (links followed) is a regular file.
bool is_regular_file(const char* path);
// True when the path (links followed) is a directory.
bool is_dir(const char* path);

// Size in bytes, or 0 when stat() fails ("Can't stat %s : %s\n" on stderr).
int64_t get_filesize(const char* path);

// Writes `size` bytes of `data` to `path` (created or truncated). 0;
// 363 cannot open ("fail in open<path>" on stderr); 364 the write, flush or
// close failed or size is negative ("fail in write<path>").
int32_t _save_stream_as_file(int32_t size, const char* path, const void* data);

// What this CPU can run beyond plain x86-64, from CPUID and, for the wide
// registers, what the operating system saves (XGETBV); all false elsewhere.
struct zor_cpu_features {
  bool aes;         // AES-NI and SSE4.1
  bool pclmul;      // PCLMULQDQ and SSE4.1
  bool avx512;      // AVX-512 F, its registers saved by the operating system
  bool vaes;        // AES-NI on 512-bit registers (with avx512)
  bool vpclmulqdq;  // PCLMULQDQ on 512-bit registers (with avx512)
};
const zor_cpu_features& zor_cpu();

// The implementations of an operation: the portable one first, then those
// `hardware` finds this CPU can run, best last.
template <typename Path>
struct zor_paths {
  Path list[4];
  size_t count;
};
template <typename Path>
zor_paths<Path> zor_gather_paths(const Path& portable, size_t (*hardware)(Path* out, size_t max)) {
  zor_paths<Path> paths{};
  paths.list[0] = portable;
  paths.count = 1 + hardware(paths.list + 1, 3);
  return paths;
}

// A buffer for a whole file of `size` bytes (array new, not initialised),
// its page-aligned interior marked for transparent huge pages before
// anything touches it: a large file read into it then costs a page fault
// per 2 MiB instead of per 4 KiB. Null when memory runs out; release with
// zor_free_file_buffer (or delete[] where nothing needs wiping).
uint8_t* zor_new_file_buffer(size_t size);

// Wipes and releases a zor_new_file_buffer: the partial pages at its ends
// are zeroed, its whole pages discarded (MADV_DONTNEED: they read as zeros
// from then on, at no cost per byte), then delete[]. Null does nothing.
void zor_free_file_buffer(uint8_t* buf, size_t size);

// Reads a whole file into `out`. 0, or the errno of the failure.
int32_t zor_read_file(const char* path, std::string& out);

// What zor_write_file_atomic does with a file already at its path.
enum zor_existing_file { kKeepExisting, kReplaceExisting };

// Writes `size` bytes to `path` through a temporary file in the same
// directory ("<path>.tmp.XXXXXX"), synced and renamed into place, so readers
// never see a partial file. The file gets `mode` less the umask. 0, or the
// errno of the failure (EEXIST when `path` exists and kKeepExisting); nothing
// is left behind on failure.
int32_t zor_write_file_atomic(const char* path, const void* data, size_t size, zor_existing_file existing,
                              mode_t mode);

// Removes the temporary file of a zor_write_file_atomic in progress, if
// any. Async-signal-safe: for a handler of a signal that ends the program.
void zor_write_file_atomic_abandon();

// Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so no
// file opened later can receive the program's messages. 0, or -1 when
// /dev/null cannot be opened.
int32_t zor_open_std_descriptors();

// The bytes as text for a terminal or a log: printable ASCII as it is, any
// other byte (a control byte, NUL, 0x80 and above) as \xNN.
std::string zor_escaped(const std::string& bytes);

// Replaces `out` with the printf-formatted text and returns it; `out`
// becomes empty when the format cannot be rendered.
std::string& std_string_format(std::string& out, const char* fmt, ...) ZOR_PRINTF(2, 3);

// The 32-bit little-endian value at p (any alignment), and its inverse: the
// one byte-order pair of the bundle layout, the AES state and the word sum.
inline uint32_t zor_load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void zor_store_le32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

// Parses an unsigned number in base 0 with an optional decimal k/M/G suffix
// (x1000, x1000000, x1000000000). Returns the value, or -1: nothing
// converted, value above the suffix's limit, or a result of 2^63 or more
// (only this last is logged, at util L467). *end, when given, is set only on
// success, just past the number and its suffix.
int64_t parse_num(const char* text, const char** end);

// Zeroes the 2080-byte DUK area at offset 10240 of a firmware file (a shorter
// file grows to 12320 bytes). 0 cleared; 544 no buffer (L543); 550 the file
// cannot be opened (L549); 554 seek (L553), 556 write (L555), 558 flush
// (L557) or 560 close (L559) failed.
int32_t zor_hdcp22_fwle_clr_dukArea(const char* path);

#endif  // ZOR_UTIL_H_

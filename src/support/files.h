// Paths and files: the executable's path, the unpack directory, whole-file
// reading and atomic writing, directory removal, and the standard
// descriptors.
//
// Result codes: a failure logged at "ERR[TLS]f(util)L<n>:" returns -(n + 1);
// _save_stream_as_file returns 363/364 (positive); zor_read_file and
// zor_write_file_atomic return an errno.
#ifndef ZOR_FILES_H_
#define ZOR_FILES_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

// Told of the bytes done by a long operation, for a progress line.
struct zor_progress {
  void (*advance)(void* context, uint64_t bytes);
  void* context;
};

// out = full path of the running executable (from /proc/<pid>/exe).
// 0, or -46 when the link cannot be read (logged at util L45).
int32_t _get_path_of_executable(std::string& out);

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

// Reads the whole file at `path` into `out` (replaced), in steps that
// `progress` (may be null) hears of; a file that shrinks meanwhile is what
// was read. 0, or the errno of the failure.
int32_t zor_read_file(const char* path, std::string& out, const zor_progress* progress = nullptr);

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

#endif  // ZOR_FILES_H_

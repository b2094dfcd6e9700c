#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>

#include "log.h"

namespace {

// Line numbers of the "ERR[TLS]f(util)L<n>:" prefixes. They are an external
// contract (field logs and support tools match on them): fixed per call site,
// never __LINE__. A site fails through zor_fail, so its code is -(line + 1).
enum files_log_line : int32_t {
  kLineReadlink = 45,
  kLineMkdtemp = 61,
  kLineOpendir = 100,
};

const char kSource[] = "util";
const size_t kPathBuf = 4096;
const char kTempTemplate[] = "/tmp/tmpdir.XXXXXX";
const size_t kReadStep = size_t{8} << 20;  // steps of a whole-file read, for a progress line
const size_t kReadProbe = 4096;

}  // namespace

int32_t _get_path_of_executable(std::string& out) {
  char link[kPathBuf];
  char target[kPathBuf];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(getpid()));
  ssize_t n = readlink(link, target, sizeof target);
  if (n < 0) return zor_fail(kSource, kLineReadlink, "Fail readlink path(%s), err(%d)\n", link, errno);
  out.assign(target, static_cast<size_t>(n));  // readlink does not NUL-terminate
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

int32_t zor_read_file(const char* path, std::string& out, const zor_progress* progress) {
  out.clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int32_t err = fstat(fd, &st) == 0 ? 0 : errno;
  size_t known = err == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  size_t got = 0;
  while (err == 0) {
    // What the size promises in one step (a small file in one read), then a
    // small probe for the end or for bytes appended meanwhile.
    size_t step = known > got ? std::min(known - got, kReadStep) : kReadProbe;
    if (out.size() < got + step) out.resize(got + step);
    ssize_t n = read(fd, &out[got], step);
    if (n == 0) break;
    if (n < 0 && errno != EINTR) err = errno;
    if (n <= 0) continue;
    got += static_cast<size_t>(n);
    if (progress != nullptr) progress->advance(progress->context, static_cast<uint64_t>(n));
  }
  close(fd);
  out.resize(err == 0 ? got : 0);
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

#include "slot_stream.h"

#include "crc32.h"
#include "sha256.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

const size_t kDirectAlign = 4096;

// A block buffer O_DIRECT accepts; freed by free().
unsigned char* block_buffer() { return static_cast<unsigned char*>(aligned_alloc(kDirectAlign, kStreamBlock)); }

// Fills buf with up to `want` bytes of fd (fewer only at its end); the
// count, or -1 with errno.
ssize_t read_full(int fd, unsigned char* buf, size_t want) {
  size_t got = 0;
  while (got < want) {
    ssize_t n = read(fd, buf + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Reads up to `want` bytes at `offset` (fewer only at the file's end).
ssize_t pread_full(int fd, unsigned char* buf, size_t want, uint64_t offset) {
  size_t got = 0;
  while (got < want) {
    ssize_t n = pread(fd, buf + got, want - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

int write_full(int fd, const unsigned char* buf, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, buf + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Opens `path` with O_DIRECT added to `flags` where the file system takes
// it; *direct says which.
int open_direct(const char* path, int flags, bool* direct) {
  int fd = open(path, flags | O_DIRECT | O_CLOEXEC, 0644);
  *direct = fd >= 0;
  if (fd < 0 && errno == EINVAL) fd = open(path, flags | O_CLOEXEC, 0644);
  return fd;
}

// `zstd -dcq -- src` with its output on *out; its pid, or -1.
pid_t start_zstd(const char* src, int* out) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  const char* argv[] = {"zstd", "-dcq", "--", src, nullptr};
  pid_t pid;
  int err = posix_spawnp(&pid, "zstd", &fa, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  if (err != 0) {
    close(p[0]);
    errno = err;
    return -1;
  }
  *out = p[0];
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Two buffers passed between a reader thread and the hasher: the reader
// fills one while the other is hashed.
struct read_ahead {
  std::mutex lock;
  std::condition_variable changed;
  unsigned char* buf[2] = {nullptr, nullptr};
  ssize_t len[2] = {0, 0};
  bool full[2] = {false, false};
  int err = 0;
};

void read_blocks(read_ahead* ra, int fd, uint64_t size) {
  uint64_t offset = 0;
  for (int i = 0;; i ^= 1) {
    {
      std::unique_lock<std::mutex> hold(ra->lock);
      ra->changed.wait(hold, [&] { return !ra->full[i]; });
      if (ra->err != 0) return;
    }
    // Whole aligned blocks: the last one reads past `size`, which a file
    // of exactly `size` bytes answers with a short read.
    size_t want = static_cast<size_t>(std::min<uint64_t>(kStreamBlock, size - offset));
    size_t aligned = (want + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
    ssize_t got = want == 0 ? 0 : pread_full(fd, ra->buf[i], aligned, offset);
    int err = got < 0 ? errno : 0;
    std::lock_guard<std::mutex> hold(ra->lock);
    ra->len[i] = got < 0 ? 0 : std::min<ssize_t>(got, static_cast<ssize_t>(want));
    ra->full[i] = true;
    if (err != 0) ra->err = err;
    ra->changed.notify_all();
    offset += static_cast<uint64_t>(ra->len[i]);
    if (err != 0 || ra->len[i] == 0) return;
  }
}

}  // namespace

int32_t stream_write(const char* src, stream_source how, const char* dest, uint64_t size, uint32_t* crc) {
  bool zstd = how == kStreamZstd;
  *crc = kCrc32Initial;
  bool direct = false;
  int out = open_direct(dest, O_WRONLY | O_CREAT, &direct);
  if (out < 0) return fprintf(stderr, "zor_stream: %s: %s\n", dest, strerror(errno)), 1;
  int in = -1;
  pid_t child = zstd ? start_zstd(src, &in) : -1;
  if (!zstd) in = open(src, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    fprintf(stderr, "zor_stream: %s: %s\n", zstd ? "zstd" : src, strerror(errno));
    close(out);
    return 1;
  }
  unsigned char* buf = block_buffer();
  uint64_t done = 0;
  char why[256] = "";
  while (buf != nullptr && done < size && why[0] == '\0') {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kStreamBlock, size - done));
    ssize_t got = read_full(in, buf, want);
    if (got < 0) {
      snprintf(why, sizeof why, "%s: %s", src, strerror(errno));
    } else if (static_cast<size_t>(got) < want) {
      snprintf(why, sizeof why, "%s ends after %llu bytes, not %llu", src,
               static_cast<unsigned long long>(done + static_cast<uint64_t>(got)), static_cast<unsigned long long>(size));
    } else {
      // A last block of odd length goes through the page cache: O_DIRECT
      // takes whole blocks only.
      if (direct && got % static_cast<ssize_t>(kDirectAlign) != 0) {
        fcntl(out, F_SETFL, fcntl(out, F_GETFL) & ~O_DIRECT);
        direct = false;
      }
      if (int err = write_full(out, buf, static_cast<size_t>(got)))
        snprintf(why, sizeof why, "%s: %s", dest, strerror(err));
      *crc = crc32(*crc, buf, static_cast<uint32_t>(got));
      done += static_cast<uint64_t>(got);
    }
  }
  if (buf == nullptr) snprintf(why, sizeof why, "no memory for a %zu-byte block", kStreamBlock);
  unsigned char extra;
  if (why[0] == '\0' && how != kStreamPrefix && read_full(in, &extra, 1) == 1)
    snprintf(why, sizeof why, "%s holds more than %llu bytes", src, static_cast<unsigned long long>(size));
  close(in);  // a zstd still writing ends on the closed pipe
  if (child > 0) {
    int status = wait_status(child);
    if (why[0] == '\0' && status != 0) snprintf(why, sizeof why, "zstd -d of %s failed (status %d)", src, status);
  }
  free(buf);
  if (why[0] == '\0' && fsync(out) != 0) snprintf(why, sizeof why, "%s: %s", dest, strerror(errno));
  if (why[0] == '\0') posix_fadvise(out, 0, static_cast<off_t>(size), POSIX_FADV_DONTNEED);
  if (close(out) != 0 && why[0] == '\0') snprintf(why, sizeof why, "%s: %s", dest, strerror(errno));
  if (why[0] != '\0') return fprintf(stderr, "zor_stream: %s\n", why), 1;
  return 0;
}

int32_t medium_sha256(const char* path, uint64_t size, std::string* hex) {
  bool direct = false;
  int fd = open_direct(path, O_RDONLY, &direct);
  if (fd < 0) return fprintf(stderr, "zor_stream: %s: %s\n", path, strerror(errno)), 1;
  if (!direct) {
    // Clean pages only are dropped: synced first.
    fsync(fd);
    posix_fadvise(fd, 0, static_cast<off_t>(size), POSIX_FADV_DONTNEED);
  }
  read_ahead ra;
  ra.buf[0] = block_buffer();
  ra.buf[1] = block_buffer();
  if (ra.buf[0] == nullptr || ra.buf[1] == nullptr) {
    free(ra.buf[0]), free(ra.buf[1]), close(fd);
    return fprintf(stderr, "zor_stream: no memory for two %zu-byte blocks\n", kStreamBlock), 1;
  }
  sha256_ctx st;
  sha256_init(&st);
  std::thread reader(read_blocks, &ra, fd, size);
  uint64_t done = 0;
  int err = 0;
  for (int i = 0;; i ^= 1) {
    std::unique_lock<std::mutex> hold(ra.lock);
    ra.changed.wait(hold, [&] { return ra.full[i]; });
    ssize_t len = ra.len[i];
    err = ra.err;
    hold.unlock();
    if (err != 0 || len == 0) break;
    sha256_update(&st, ra.buf[i], static_cast<size_t>(len));
    done += static_cast<uint64_t>(len);
    hold.lock();
    ra.full[i] = false;
    ra.changed.notify_all();
    if (done == size) {
      ra.err = -1;  // the reader stops at its next block
      break;
    }
  }
  reader.join();
  free(ra.buf[0]), free(ra.buf[1]), close(fd);
  if (err > 0) return fprintf(stderr, "zor_stream: %s: %s\n", path, strerror(err)), 1;
  if (done < size)
    return fprintf(stderr, "zor_stream: %s holds %llu bytes, not %llu\n", path, static_cast<unsigned long long>(done),
                   static_cast<unsigned long long>(size)),
           1;
  uint8_t digest[kSha256Bytes];
  sha256_final(&st, digest);
  hex->clear();
  for (unsigned char b : digest) {
    static const char digits[] = "0123456789abcdef";
    *hex += digits[b >> 4];
    *hex += digits[b & 15];
  }
  return 0;
}

// zor_pack extract and stamp: a bundle's items written out as files, and a
// firmware image stamped with its CRC.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "crc32.h"
#include "files.h"
#include "pack_commands.h"
#include "text.h"

namespace {

// Writes one item as a new file of `dir` (never through a link, never over
// anything) and leaves it open in *fd for its sync; the errno of the
// failure, or 0. It is made durable later, with the others.
int32_t write_item(int dirfd, const bundle_entry& e, const uint8_t* data, int* fd) {
  *fd = openat(dirfd, e.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (*fd < 0) return errno;
  for (size_t done = 0, size = static_cast<size_t>(e.size); done < size;) {
    ssize_t n = write(*fd, data + done, size - done);
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return 0;
}

// Room for `count` descriptors open at once beside the program's own: the
// soft limit raised towards the hard one when needed. False when there is
// not (the files are then synced by name).
bool room_for_descriptors(size_t count) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  rlim_t want = static_cast<rlim_t>(count) + 64;
  if (limit.rlim_cur >= want) return true;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < want) return false;
  limit.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Makes what write_item wrote durable in one pass: the file system's
// writeback of all of it at once (one journal commit instead of one per
// file; syncfs reports a writeback error of any file since Linux 5.8),
// then the folder. Only when that fails is each file synced, to name the
// one that failed. fds[i] is entry i's open file, or -1 when it was closed
// after writing (it is opened again by name).
int32_t sync_items(int dirfd, const std::vector<bundle_entry>& entries, std::vector<int>& fds, std::string& failed) {
  int32_t err = syncfs(dirfd) == 0 ? 0 : errno;
  bool find_failed = err != 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    int fd = fds[i];
    if (find_failed && fd < 0) fd = openat(dirfd, entries[i].name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (find_failed && (fd < 0 || fsync(fd) != 0)) {
      err = errno;
      failed = entries[i].name;
      find_failed = false;
    }
    if (fd >= 0) close(fd);
    fds[i] = -1;
  }
  if (err == 0 && fsync(dirfd) != 0) err = errno;
  return err;
}

// The folder to extract into, new or empty, opened; -1 after a message.
int open_empty_folder(const std::string& dir, bool* made) {
  *made = false;
  if (is_dir(dir.c_str())) {
    DIR* d = opendir(dir.c_str());
    int count = 0;
    while (d != nullptr && readdir(d) != nullptr) ++count;
    if (d != nullptr) closedir(d);
    if (count > 2) {
      complain("%s: directory is not empty", dir.c_str());
      return -1;
    }
  } else if (mkdir(dir.c_str(), 0777) != 0) {
    complain("%s: %s", dir.c_str(), strerror(errno));
    return -1;
  } else {
    *made = true;
  }
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) complain("%s: %s", dir.c_str(), strerror(errno));
  return fd;
}

// Takes back a failed extraction: the files it wrote (and the folder, when
// it made it).
void undo_extract(int dirfd, const std::string& dir, const std::vector<bundle_entry>& entries, size_t written,
                  bool made_dir) {
  for (size_t i = 0; i < written; ++i) unlinkat(dirfd, entries[i].name, 0);
  if (made_dir) rmdir(dir.c_str());
}

}  // namespace

int cmd_extract(const std::string& path, const std::string& dir) {
  opened_bundle b;
  if (!open_bundle(path, b) || !report(path, b.problems)) return 1;
  // Every item becomes a file: a duplicate name would lose one of them.
  std::vector<bundle_problem> problems;
  bundle_check_names(b.entries, kAllItemsWritten, problems);
  if (!report(path, problems)) return 1;
  bool made_dir = false;
  int dirfd = open_empty_folder(dir, &made_dir);
  if (dirfd < 0) return 1;
  uint64_t total = 0;
  for (const auto& e : b.entries) total += static_cast<uint64_t>(e.size);
  progress p;
  progress_start(&p, total);
  size_t written = 0;
  int32_t err = 0;
  std::string failed;
  std::vector<int> fds(b.entries.size(), -1);
  bool keep_open = room_for_descriptors(b.entries.size());
  for (; written < b.entries.size() && err == 0; ++written) {
    const bundle_entry& e = b.entries[written];
    if ((err = write_item(dirfd, e, b.data() + e.offset, &fds[written])) != 0) failed = e.name;
    if (!keep_open && fds[written] >= 0 && close(fds[written]) != 0 && err == 0) {
      err = errno;
      failed = e.name;
    }
    if (!keep_open) fds[written] = -1;
    progress_advance(&p, static_cast<uint64_t>(e.size));
  }
  if (err == 0) {
    err = sync_items(dirfd, b.entries, fds, failed);
  } else {
    for (int& fd : fds)
      if (fd >= 0) close(fd), fd = -1;
  }
  progress_finish(&p);
  if (err != 0) {
    complain("%s: %s", failed.empty() ? dir.c_str() : (dir + "/" + failed).c_str(), strerror(err));
    undo_extract(dirfd, dir, b.entries, written, made_dir);
    close(dirfd);
    return 1;
  }
  close(dirfd);
  printf("%s: %zu items extracted into %s\n", path.c_str(), b.entries.size(), dir.c_str());
  return 0;
}

namespace {

// Opens an image to stamp (or only to check) for reading and checks it is a
// regular file; -1 after a message otherwise. Stamping goes through no
// symbolic link, and a FIFO or device in the image's place is neither
// blocked on nor ever opened for writing.
int open_image(const std::string& path, bool check_only, struct stat* st) {
  int fd = open(path.c_str(), O_RDONLY | (check_only ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
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

// The same regular file opened again for writing, through the descriptor
// already open (never by its name, which may name something else by now).
// -1 after a message.
int reopen_for_writing(const std::string& path, int fd, const struct stat& st) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  int rw = open(self.c_str(), O_RDWR | O_CLOEXEC);
  struct stat now;
  if (rw >= 0 && (fstat(rw, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
    close(rw);
    errno = ESTALE;
    rw = -1;
  }
  if (rw < 0) complain("%s: %s", path.c_str(), strerror(errno));
  return rw;
}

// True when the file is as it was when opened: neither its size nor its
// modification time changed meanwhile.
bool unchanged(int fd, const struct stat& st) {
  struct stat now;
  return fstat(fd, &now) == 0 && now.st_size == st.st_size && now.st_mtim.tv_sec == st.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == st.st_mtim.tv_nsec;
}

// The CRC of bytes 4 to `size` of the open image, read through a stream of
// its own on a copy of the descriptor, in steps that `p` hears of; the
// errno of a failed read, or 0.
int32_t crc_of_image(int fd, uint64_t size, uint32_t* crc, progress* p) {
  *crc = kCrc32Initial;
  int copy = dup(fd);
  FILE* stream = copy < 0 ? nullptr : fdopen(copy, "rb");
  if (stream == nullptr) {
    int32_t err = errno;
    if (copy >= 0) close(copy);
    return err;
  }
  bundle_progress hook = progress_hook(p);
  bool ok = fseeko(stream, 4, SEEK_SET) == 0 && crc32_stream(stream, static_cast<uint32_t>(size - 4), crc, &hook);
  int32_t err = ok ? 0 : ferror(stream) && errno != 0 ? errno : EIO;
  fclose(stream);
  return err;
}

// Writes the stamped field through a descriptor opened again for writing,
// only when the file is as it was when its CRC was computed, and puts the
// mode back; false after a message. Closes `fd`.
bool stamp_field(const std::string& path, int fd, const struct stat& st, const uint8_t* field) {
  // Writing drops setuid and setgid, which only the owner (or root) can
  // put back: such a file is not stamped by anyone else.
  if ((st.st_mode & 06000) != 0 && geteuid() != 0 && geteuid() != st.st_uid) {
    complain("%s: mode %04o: writing would drop its setuid/setgid bits, which only its owner can put back: "
             "not stamped", path.c_str(), static_cast<unsigned>(st.st_mode & 07777));
    close(fd);
    return false;
  }
  int rw = reopen_for_writing(path, fd, st);
  close(fd);
  if (rw < 0) return false;
  if (!unchanged(rw, st)) {
    complain("%s: changed while its CRC was computed (size or modification time): not stamped", path.c_str());
    close(rw);
    return false;
  }
  bool written = pwrite(rw, field, 4, 0) == 4 && fsync(rw) == 0;
  int err = errno;
  struct stat now;
  bool same_size = fstat(rw, &now) == 0 && now.st_size == st.st_size;
  // Writing as the owner drops setuid and setgid: put the mode back as it was.
  if (written && same_size && (now.st_mode & 07777) != (st.st_mode & 07777) && fchmod(rw, st.st_mode & 07777) != 0)
    err = errno;
  bool mode_kept = fstat(rw, &now) == 0 && (now.st_mode & 07777) == (st.st_mode & 07777);
  close(rw);
  if (!written) {
    complain("%s: %s", path.c_str(), strerror(err));
    return false;
  }
  if (!same_size) {
    complain("%s: changed while being stamped (its size): the CRC written may not cover it", path.c_str());
    return false;
  }
  if (!mode_kept) {
    complain("%s: stamped, but its mode %04o could not be put back (now %04o): %s", path.c_str(),
             static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(now.st_mode & 07777), strerror(err));
    return false;
  }
  return true;
}

}  // namespace

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
    err = crc_of_image(fd, size, &crc, &p);
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
  if (!stamp_field(path, fd, st, field)) return 1;
  printf("%s: stamped CRC %s (was %s)\n", path.c_str(), hex32(crc).c_str(), hex32(stored).c_str());
  return 0;
}

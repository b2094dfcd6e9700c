#include "bundle_load.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#if ZOR_SIGNING
#include "signing_keys.h"
#endif

namespace {

// With a progress listener the file is read in steps it can hear of;
// without one, in one read call.
const size_t kProgressStep = 8u << 20;

// The whole pages inside [buf, buf + size): their start and length.
size_t interior_pages(uint8_t* buf, size_t size, uint8_t** start) {
  const uintptr_t page = 4096;
  uintptr_t from = (reinterpret_cast<uintptr_t>(buf) + page - 1) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(buf) + size) & ~(page - 1);
  *start = reinterpret_cast<uint8_t*>(from);
  return to > from ? to - from : 0;
}

// A buffer for a whole file of `size` bytes (array new, not initialised),
// its page-aligned interior marked for transparent huge pages before
// anything touches it: a large file read into it then costs a page fault
// per 2 MiB instead of per 4 KiB. Null when memory runs out.
uint8_t* new_file_buffer(size_t size) {
  uint8_t* buf = new (std::nothrow) uint8_t[size];
  uint8_t* start;
  size_t length = buf != nullptr ? interior_pages(buf, size, &start) : 0;
  // Where huge pages are off, or the kernel refuses, this is only advice.
  if (length > 0) madvise(start, length, MADV_HUGEPAGE);
  return buf;
}

// Wipes and releases a new_file_buffer: the partial pages at its ends
// are zeroed, its whole pages discarded (MADV_DONTNEED: they read as zeros
// from then on, at no cost per byte), then delete[]. Null does nothing.
void free_file_buffer(uint8_t* buf, size_t size) {
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

// Sets the read step's failure and returns the step.
int32_t read_failed(bundle_loaded* out, int32_t check, int err) {
  out->step = BUNDLE_STEP_READ;
  out->check = check;
  out->err = err;
  return BUNDLE_STEP_READ;
}

// Reads the whole file into a new buffer that `out` owns.
int32_t read_file(const char* path, bundle_loaded* out, const bundle_progress* progress) {
  struct stat st;
  if (stat(path, &st) != 0) return read_failed(out, BUNDLE_READ_NO_FILE, errno);
  out->file_size = st.st_size;
  if (st.st_size > INT32_MAX) return read_failed(out, BUNDLE_READ_TOO_LARGE, 0);
  int32_t size = static_cast<int32_t>(st.st_size);
  if (size <= 0) return read_failed(out, BUNDLE_READ_EMPTY, 0);
  uint8_t* buf = new_file_buffer(static_cast<size_t>(size));
  if (buf == nullptr) return read_failed(out, BUNDLE_READ_NO_MEMORY, ENOMEM);
  // Opened without blocking, so a FIFO swapped in for the bundle cannot
  // hold the reader; then it must still be a regular file. One read call
  // into the one buffer; more only if the kernel returns less.
  int err = 0;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) err = errno;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    err = S_ISDIR(st.st_mode) ? EISDIR : 0;
    close(fd);
    fd = -1;
  }
  size_t step = progress != nullptr ? kProgressStep : static_cast<size_t>(size);
  int32_t got = 0;
  while (fd >= 0 && got < size) {
    ssize_t n = read(fd, buf + got, std::min(step, static_cast<size_t>(size - got)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : 0;
      break;
    }
    got += static_cast<int32_t>(n);
    if (progress != nullptr) progress->advance(progress->context, static_cast<uint64_t>(n));
  }
  if (fd >= 0) close(fd);
  if (got != size) {
    free_file_buffer(buf, static_cast<size_t>(size));
    return read_failed(out, BUNDLE_READ_FAILED, err);
  }
  out->image = buf;
  out->size = size;
  out->owns_image = true;
  return BUNDLE_LOADED;
}

int32_t stop(bundle_loaded* out, int32_t step, int32_t check) {
  out->step = step;
  out->check = check;
  return step;
}

}  // namespace

int32_t bundle_load_image(uint8_t* image, int64_t size, bundle_loaded* out, const bundle_progress* progress) {
  int32_t check = bundle_check_header(image, size, &out->img_size);
  if (check != BUNDLE_OK) return stop(out, BUNDLE_STEP_HEADER, check);
  if (bundle_unseal(image, out->img_size, &out->stored_crc, &out->computed_crc, progress) != BUNDLE_OK)
    return stop(out, BUNDLE_STEP_SEAL, BUNDLE_CRC_MISMATCH);
  // Every slot is checked before any item is used, so a malformed table
  // leaves nothing half-loaded; the first bad slot is the one to name.
  check = bundle_read_table(image, out->img_size, out->table);
  if (check == BUNDLE_OK) return stop(out, BUNDLE_LOADED, BUNDLE_OK);
  for (size_t i = 0; i < out->table.size() && out->bad_slot < 0; ++i)
    if (out->table[i].check != BUNDLE_OK) out->bad_slot = static_cast<int32_t>(i);
  return stop(out, BUNDLE_STEP_TABLE, check);
}

int32_t bundle_load_read(const char* path, int32_t flags, bundle_loaded* out, const bundle_progress* progress) {
#if ZOR_SIGNING
  // The signature is read and checked before the bundle: a missing or
  // malformed one, or one by a key this build does not trust, costs no read
  // of the bundle.
  std::string sig_path = std::string(path) + ".minisig";
  if (flags & BUNDLE_LOAD_SIGNED) {
    int32_t check = sig_prepare_file(sig_path.c_str(), kTrustedSigningKeys, kTrustedSigningKeyCount, &out->prepared);
    if (check != SIG_OK) return stop(out, BUNDLE_STEP_SIGNATURE_FILE, check);
  }
#else
  (void)flags;
#endif
  if (read_file(path, out, progress) != BUNDLE_LOADED) return out->step;
#if ZOR_SIGNING
  if (flags & BUNDLE_LOAD_SIGNED) {
    // Over the bytes as read, before anything of them is trusted.
    int32_t check = sig_verify_prepared(out->prepared, out->image, static_cast<size_t>(out->size), &out->signer);
    if (check != SIG_OK) return stop(out, BUNDLE_STEP_SIGNATURE, check);
  }
#endif
  return BUNDLE_LOADED;
}

int32_t bundle_load_file(const char* path, int32_t flags, bundle_loaded* out, const bundle_progress* progress) {
  if (bundle_load_read(path, flags, out, progress) != BUNDLE_LOADED) return out->step;
  return bundle_load_image(out->image, out->size, out, progress);
}

void bundle_load_release(bundle_loaded* loaded) {
  if (loaded->owns_image) free_file_buffer(loaded->image, static_cast<size_t>(loaded->size));
  loaded->image = nullptr;
  loaded->size = 0;
  loaded->owns_image = false;
}

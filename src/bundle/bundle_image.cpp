#include "bundle_image.h"

#include <cstring>

#include "aes.h"
#include "bundle_key.h"
#include "crc32.h"
#include "text.h"

const char kBundleMagic[8] = {'Z', 'O', 'R', '_', 'R', 'E', 'S', '!'};

bool bundle_is_script_name(const char* name) {
  const char* dot = strrchr(name, '.');
  return dot != nullptr && (strcmp(dot, ".lua") == 0 || strcmp(dot, ".zor") == 0);
}

// Cuts `s` before the last occurrence of `what`, when there is one.
static void cut_before_last(std::string& s, const char* what) {
  size_t at = s.rfind(what);
  if (at != std::string::npos) s.resize(at);
}

std::string bundle_module_name(const char* name) {
  std::string module = name;
  cut_before_last(module, ".zor");
  cut_before_last(module, ".lua");
  return module;
}

bool bundle_has_entry_module(const std::vector<bundle_entry>& entries) {
  for (const bundle_entry& e : entries)
    if (e.script && bundle_module_name(e.name) == kZorEntryModule) return true;
  return false;
}

bool bundle_file_name_is_safe(const char* name) {
  return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strchr(name, '/') == nullptr;
}

int32_t bundle_check_header(const uint8_t* image, int64_t buf_size, int32_t* img_size) {
  // A short buffer gets the same checks as any other as far as it reaches
  // (a cut-off download fails at the size check); only a field that lies
  // beyond it is refused as short.
  if (image == nullptr || buf_size < kBundleMagicAt + static_cast<int64_t>(sizeof kBundleMagic))
    return BUNDLE_SHORT_BUFFER;
  if (memcmp(image + kBundleMagicAt, kBundleMagic, sizeof kBundleMagic) != 0) return BUNDLE_BAD_MAGIC;
  if (buf_size < kBundleSizeAt + 4) return BUNDLE_SHORT_BUFFER;
  *img_size = static_cast<int32_t>(zor_load_le32(image + kBundleSizeAt));
  if (*img_size > buf_size) return BUNDLE_SIZE_BEYOND;
  if (*img_size < kBundleHeaderSize) return BUNDLE_TOO_SMALL;
  // Whole blocks only: AES_CBC_decrypt_buffer must never see a partial one.
  if ((*img_size - kBundleHeaderSize) % kBundleBlock != 0) return BUNDLE_NOT_BLOCKS;
  return BUNDLE_OK;
}

// The bundle cipher: a fresh context from the built-in key and IV, so every
// image is one CBC stream that starts from the same IV.
static void bundle_cipher(AES_ctx* ctx) { AES_init_ctx_iv(ctx, keyCbc, iv); }

// Long work goes in steps of this size, so a progress line can follow it.
const uint32_t kStep = 1u << 20;  // a whole number of AES blocks

static void advance(const bundle_progress* progress, uint64_t bytes) {
  if (progress != nullptr) progress->advance(progress->context, bytes);
}

// One CBC stream over `length` bytes in place, in steps `progress` hears of;
// the chaining block carries on from step to step.
static void cbc_in_steps(void (*cbc)(AES_ctx*, uint8_t*, uint32_t), uint8_t* data, uint32_t length,
                         const bundle_progress* progress) {
  AES_ctx ctx;
  bundle_cipher(&ctx);
  for (uint32_t done = 0; done < length; done += kStep) {
    uint32_t n = length - done < kStep ? length - done : kStep;
    cbc(&ctx, data + done, n);
    advance(progress, n);
  }
}

static void _encrypt_cbc(uint8_t* data, uint32_t length, const bundle_progress* progress) {
  cbc_in_steps(AES_CBC_encrypt_buffer, data, length, progress);
}

uint32_t bundle_region_crc(const uint8_t* data, uint32_t length, const bundle_progress* progress) {
  uint32_t crc = kCrc32Initial;  // calc_buf_crc, step by step
  for (uint32_t done = 0; done < length; done += kStep) {
    uint32_t n = length - done < kStep ? length - done : kStep;
    crc = crc32(crc, data + done, n);
    advance(progress, n);
  }
  return crc;
}

static uint32_t image_crc(const uint8_t* image, int32_t img_size, const bundle_progress* progress) {
  return bundle_region_crc(image + kBundleCrcFrom, static_cast<uint32_t>(img_size - kBundleCrcFrom), progress);
}

// Steps of the decryption that the CRC reads while they are still in the
// cache: one pass over a large image instead of two.
const uint32_t kCacheStep = 256u << 10;  // a whole number of AES blocks

// The bundle cipher over bytes 64.. in place, and the CRC of bytes 4.. of
// the plaintext, step by step.
static uint32_t _decrypt_cbc_and_crc(uint8_t* image, int32_t img_size, const bundle_progress* progress) {
  AES_ctx ctx;
  bundle_cipher(&ctx);
  uint32_t crc = crc32(kCrc32Initial, image + kBundleCrcFrom, kBundleHeaderSize - kBundleCrcFrom);
  uint8_t* data = image + kBundleHeaderSize;
  uint32_t length = static_cast<uint32_t>(img_size - kBundleHeaderSize);
  for (uint32_t done = 0; done < length; done += kCacheStep) {
    uint32_t n = length - done < kCacheStep ? length - done : kCacheStep;
    AES_CBC_decrypt_buffer(&ctx, data + done, n);
    crc = crc32(crc, data + done, n);
    advance(progress, 2 * uint64_t{n});
  }
  return crc;
}

int32_t bundle_unseal(uint8_t* image, int32_t img_size, uint32_t* stored, uint32_t* computed,
                      const bundle_progress* progress) {
  *computed = _decrypt_cbc_and_crc(image, img_size, progress);
  *stored = zor_load_le32(image + kBundleCrcAt);
  return *stored == *computed ? BUNDLE_OK : BUNDLE_CRC_MISMATCH;
}

void bundle_seal(uint8_t* image, int32_t img_size, const bundle_progress* progress) {
  zor_store_le32(image + kBundleCrcAt, image_crc(image, img_size, progress));
  _encrypt_cbc(image + kBundleHeaderSize, static_cast<uint32_t>(img_size - kBundleHeaderSize), progress);
}

// Fills the fields of `out` from table slot `index` and returns the slot's
// check.
static int32_t read_entry(const uint8_t* image, int32_t img_size, int32_t index, bundle_entry* out) {
  // 64-bit throughout: index * 64 and offset + size must not wrap.
  int64_t at = kBundleHeaderSize + static_cast<int64_t>(index) * kBundleEntrySize;
  if (at + kBundleEntrySize > img_size) return BUNDLE_TABLE_BEYOND;
  const uint8_t* slot = image + at;
  out->size = static_cast<int32_t>(zor_load_le32(slot + kEntrySizeAt));
  out->offset = zor_load_le32(slot + kEntryOffsetAt);
  const void* nul = memchr(slot + kEntryNameAt, '\0', kBundleNameField);
  if (nul == nullptr) return BUNDLE_NAME_UNTERMINATED;
  memcpy(out->name, slot + kEntryNameAt, static_cast<size_t>(static_cast<const uint8_t*>(nul) - (slot + kEntryNameAt)));
  out->script = bundle_is_script_name(out->name);
  if (out->size < 0) return BUNDLE_NEGATIVE_SIZE;
  if (static_cast<int64_t>(out->offset) + out->size > img_size) return BUNDLE_DATA_BEYOND;
  return BUNDLE_OK;
}

int32_t bundle_read_table(const uint8_t* image, int32_t img_size, std::vector<bundle_entry>& entries) {
  entries.clear();
  int32_t count = static_cast<int32_t>(zor_load_le32(image + kBundleCountAt));
  int32_t first = BUNDLE_OK;
  for (int32_t i = 0; i < count; ++i) {
    bundle_entry e{};
    int32_t check = read_entry(image, img_size, i, &e);
    e.check = check;
    entries.push_back(e);
    if (first == BUNDLE_OK) first = e.check;
    if (e.check == BUNDLE_TABLE_BEYOND) break;
  }
  return first;
}

const char* bundle_check_text(int32_t code) {
  switch (code) {
    case BUNDLE_OK: return "sound";
    case BUNDLE_SHORT_BUFFER: return "too short to hold the header's magic and size";
    case BUNDLE_BAD_MAGIC: return "bad magic";
    case BUNDLE_SIZE_BEYOND: return "image size larger than the file";
    case BUNDLE_TOO_SMALL: return "image size below the 64-byte header";
    case BUNDLE_NOT_BLOCKS: return "encrypted part is not a whole number of 16-byte blocks";
    case BUNDLE_CRC_MISMATCH: return "CRC mismatch";
    case BUNDLE_TABLE_BEYOND: return "entry lies beyond the image";
    case BUNDLE_NEGATIVE_SIZE: return "negative size";
    case BUNDLE_DATA_BEYOND: return "data lies beyond the image";
    case BUNDLE_NAME_UNTERMINATED: return "name is not terminated within its 32 bytes";
    case BUNDLE_UNSAFE_NAME: return "file name would be written outside the unpack directory";
    case BUNDLE_TOO_LARGE: return "image would exceed 2 GiB";
  }
  return "unknown problem";
}

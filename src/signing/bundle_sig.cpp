#include "bundle_sig.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";

const size_t kAlgBytes = 2;
const size_t kKeyIdBytes = 8;
const size_t kSignatureBytes = crypto_sign_BYTES;  // 64
const size_t kPublicKeyBytes = crypto_sign_PUBLICKEYBYTES;  // 32
const size_t kHashBytes = crypto_generichash_BYTES_MAX;  // 64: BLAKE2b-512

// The value of a base64 symbol, or -1.
int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes padded base64 of exactly `size` bytes. Strict: the text must be
// exactly as long as that encoding, use only the alphabet (so no byte of
// 0x80 or above), carry exactly the padding it needs and no stray bits in
// its last symbol.
bool base64_decode_exact(const std::string& text, uint8_t* out, size_t size) {
  size_t groups = (size + 2) / 3;
  if (text.size() != 4 * groups) return false;
  size_t padding = 3 * groups - size;
  uint32_t acc = 0;
  size_t bits = 0, written = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (i >= text.size() - padding) {
      if (c != '=') return false;
      continue;
    }
    int v = base64_value(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[written++] = static_cast<uint8_t>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  return written == size && acc == 0;
}

// One line of a key or signature file: its text without the line end ("\n"
// and one "\r" before it), and its length with the line end.
struct file_line {
  std::string text;
  size_t with_end;
};

// Splits text into lines. A final newline does not make another line.
std::vector<file_line> split_lines(const std::string& text) {
  std::vector<file_line> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back({line, next - at});
    at = next;
  }
  return lines;
}

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// A comment line as minisign reads it: its prefix, and the whole line with
// its end inside minisign's buffer (a longer one minisign refuses).
bool is_comment_line(const file_line& line, const char* prefix, size_t max) {
  return line.with_end <= max && starts_with(line.text, prefix);
}

}  // namespace

const char* sig_check_text(int32_t code) {
  switch (code) {
    case SIG_OK: return "signature ok";
    case SIG_MISSING: return "missing";
    case SIG_MALFORMED: return "malformed";
    case SIG_UNSUPPORTED: return "unsupported algorithm";
    case SIG_LEGACY: return "legacy algorithm refused";
    case SIG_UNTRUSTED: return "untrusted key id";
    case SIG_BAD: return "bad signature";
    case SIG_BAD_GLOBAL: return "bad trusted comment signature";
  }
  return "unknown problem";
}

uint64_t sig_key_id(const uint8_t id[8]) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | id[i];
  return value;
}

int32_t sig_read_file(const char* path, std::string& text) {
  text.clear();
  // Non-blocking, so a FIFO in its place cannot stall the reader; the checks
  // are made on what was opened.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0) return errno == ENOENT && lstat(path, &st) != 0 ? SIG_MISSING : SIG_MALFORMED;
  char buf[kSigFileMax + 1];  // one byte more tells a file that is too long
  size_t got = 0;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (ok && got < sizeof buf) {
    ssize_t n = read(fd, buf + got, sizeof buf - got);
    if (n == 0) break;
    if (n < 0 && errno != EINTR) ok = false;
    if (n > 0) got += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok || got > kSigFileMax) return SIG_MALFORMED;
  text.assign(buf, got);
  return SIG_OK;
}

int32_t sig_parse_public_key(const std::string& text, sig_public_key* out) {
  std::vector<file_line> lines = split_lines(text);
  uint8_t raw[kAlgBytes + kKeyIdBytes + kPublicKeyBytes];
  if (lines.size() != 2 || !is_comment_line(lines[0], kUntrustedPrefix, kSigUntrustedLineMax) ||
      !base64_decode_exact(lines[1].text, raw, sizeof raw))
    return SIG_MALFORMED;
  if (memcmp(raw, "Ed", kAlgBytes) != 0) return SIG_UNSUPPORTED;
  memcpy(out->id, raw + kAlgBytes, kKeyIdBytes);
  memcpy(out->key, raw + kAlgBytes + kKeyIdBytes, kPublicKeyBytes);
  return SIG_OK;
}

int32_t sig_prepare(const std::string& text, const sig_public_key* keys, size_t key_count, sig_prepared* out) {
  std::vector<file_line> lines = split_lines(text);
  uint8_t sig[kAlgBytes + kKeyIdBytes + kSignatureBytes];
  // The trusted comment's line must end in a newline, as minisign's does.
  if (lines.size() != 4 || !is_comment_line(lines[0], kUntrustedPrefix, kSigUntrustedLineMax) ||
      !base64_decode_exact(lines[1].text, sig, sizeof sig) ||
      !is_comment_line(lines[2], kTrustedPrefix, kSigTrustedLineMax) || lines[2].text.size() >= lines[2].with_end ||
      !base64_decode_exact(lines[3].text, out->global, sizeof out->global))
    return SIG_MALFORMED;
  const uint8_t* key_id = sig + kAlgBytes;
  out->key_id = sig_key_id(key_id);
  memcpy(out->signature, key_id + kKeyIdBytes, kSignatureBytes);
  out->trusted_comment = lines[2].text.substr(strlen(kTrustedPrefix));
  if (memcmp(sig, "Ed", kAlgBytes) == 0) return SIG_LEGACY;
  if (memcmp(sig, "ED", kAlgBytes) != 0) return SIG_UNSUPPORTED;
  out->key = nullptr;
  for (size_t i = 0; i < key_count && out->key == nullptr; ++i)
    if (memcmp(keys[i].id, key_id, kKeyIdBytes) == 0) out->key = &keys[i];
  return out->key == nullptr ? SIG_UNTRUSTED : SIG_OK;
}

int32_t sig_prepare_file(const char* path, const sig_public_key* keys, size_t key_count, sig_prepared* out) {
  std::string text;
  int32_t check = sig_read_file(path, text);
  return check == SIG_OK ? sig_prepare(text, keys, key_count, out) : check;
}

int32_t sig_verify_prepared(const sig_prepared& sig, const uint8_t* data, size_t size, sig_verified* out) {
  out->key_id = sig.key_id;
  if (sodium_init() < 0) return SIG_BAD;
  uint8_t hash[kHashBytes];
  crypto_generichash(hash, sizeof hash, data, size, nullptr, 0);
  if (crypto_sign_verify_detached(sig.signature, hash, sizeof hash, sig.key->key) != 0) return SIG_BAD;
  // The global signature covers the signature and the trusted comment, so
  // the comment (a version, say) cannot be swapped between signatures.
  std::string signed_part(reinterpret_cast<const char*>(sig.signature), kSignatureBytes);
  signed_part += sig.trusted_comment;
  if (crypto_sign_verify_detached(sig.global, reinterpret_cast<const uint8_t*>(signed_part.data()),
                                  signed_part.size(), sig.key->key) != 0)
    return SIG_BAD_GLOBAL;
  out->trusted_comment = sig.trusted_comment;
  return SIG_OK;
}

int32_t sig_verify(const uint8_t* data, size_t size, const std::string& text, const sig_public_key* keys,
                   size_t key_count, sig_verified* out) {
  sig_prepared sig;
  int32_t check = sig_prepare(text, keys, key_count, &sig);
  out->key_id = sig.key_id;
  return check == SIG_OK ? sig_verify_prepared(sig, data, size, out) : check;
}

int32_t sig_verify_file(const char* sig_path, const uint8_t* data, size_t size, const sig_public_key* keys,
                        size_t key_count, sig_verified* out) {
  std::string text;
  int32_t check = sig_read_file(sig_path, text);
  return check == SIG_OK ? sig_verify(data, size, text, keys, key_count, out) : check;
}

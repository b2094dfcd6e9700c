#include "ZorFwAicGen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

const char kRandomDevice[] = "/dev/urandom";
const size_t kNameWidth = 12;

// Inner codes: never returned by the public operations.
enum key_inner_code : int32_t {
  kRandOpen = -53,
  kRandRead = -58,
  kWriteBin = 105,
  kWriteText = 110,
};

// Creates or truncates `path` with mode 0600 (whatever the umask, and also
// when it existed with another mode), then opens the stream on it.
bool open_private(std::ofstream& stream, const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || fchmod(fd, 0600) == 0);  // never chmod a device
  close(fd);
  if (ok) stream.open(path, std::ios::binary | std::ios::trunc);
  return ok && stream.is_open();
}

}  // namespace

int32_t zor_ramdom_key_init() { return 0; }
int32_t zor_ramdom_key_exit() { return 0; }

// Reads one 32-bit word from the random device, in host byte order.
static int32_t rand_s(uint32_t* word) {
  int fd = open(kRandomDevice, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cout << "Fail in open DEVURANDOM(" << kRandomDevice << ")" << std::endl;
    return kRandOpen;
  }
  uint8_t bytes[4];
  ssize_t n = read(fd, bytes, sizeof bytes);
  int32_t result = 0;
  if (n != 4) {  // a short read is not retried
    std::cout << "Fail in create rnd in size 4, ret=" << n << std::endl;
    result = kRandRead;
  } else {
    memcpy(word, bytes, sizeof bytes);
  }
  close(fd);
  return result;
}

// Fills len / 4 key words at `words` and their key text at `text`; the last
// len % 4 bytes of the key come from the random device as well.
static int32_t produce_CRand_int_num_2_buf(uint8_t* words, uint32_t len, char* text) {
  memcpy(text, "0x", 3);
  uint32_t count = len / 4;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t w;
    if (rand_s(&w) != 0) return -1;
    memcpy(words + 4 * i, &w, 4);
    snprintf(text + 2 + 8 * i, 9, "%08x", w);
  }
  if (len % 4 != 0) {
    uint32_t w;
    if (rand_s(&w) != 0) return -1;
    memcpy(words + 4 * count, &w, len % 4);
  }
  return 0;
}

// Key creation into two streams. Each stream is flushed right after its
// write, so data that cannot be stored is a failed write, not a late surprise.
static int32_t create_a_rnd_key(uint32_t len, std::string& line, std::ofstream& bin, std::ofstream& text,
                                uint8_t* work) {
  char* key_text = reinterpret_cast<char*>(work + len);
  if (produce_CRand_int_num_2_buf(work, len, key_text) != 0) return 1;
  line += key_text;
  bin.write(reinterpret_cast<const char*>(work), len);
  bin.flush();
  if (!bin) {
    std::cout << "Fail in write keybuf to rawbinfile" << std::endl;
    return kWriteBin;
  }
  text << line << "\n";
  text.flush();
  if (!text) {
    std::cout << "Fail in write str to strKeyFile" << std::endl;
    return kWriteText;
  }
  std::cout << "ok in gen key[" << line << "]" << std::endl;
  return 0;
}

static int32_t create_a_rnd_key(uint32_t len, std::string& line, uint8_t* work) {
  char* key_text = reinterpret_cast<char*>(work + len);
  if (produce_CRand_int_num_2_buf(work, len, key_text) != 0) return 1;
  line += key_text;
  return 0;
}

// "name" blank-filled to 12 bytes, then " = ".
static void start_key_line(std::string& line) {
  line.append(kNameWidth - line.size(), ' ');
  line += " = ";
}

int32_t zor_ramdom_key_gen(const char* binKeyPath, const char* textKeyPath, const char* keyName, int32_t len,
                           uint8_t* workBuf) {
  if (len < 0) {
    std::cerr << "key length " << len << " is negative" << std::endl;
    return kKeyGenNegativeLen;
  }
  std::ofstream bin, text;
  if (!open_private(bin, binKeyPath)) {
    std::cerr << "fail to open file " << binKeyPath << "for write" << std::endl;
    return kKeyGenOpenBin;
  }
  if (!open_private(text, textKeyPath)) {
    std::cerr << "fail to open file " << textKeyPath << "for write" << std::endl;
    return kKeyGenOpenText;
  }
  std::string line = keyName;
  if (line.size() > kNameWidth) {
    std::cerr << "key len too big" << std::endl;
    return kKeyGenNameTooLong;
  }
  start_key_line(line);
  std::cout << "Parsing key:" << keyName << std::endl;
  if (create_a_rnd_key(static_cast<uint32_t>(len), line, bin, text, workBuf) != 0) {
    std::cerr << "fail in create_a_rnd_key " << std::endl;
    return kKeyGenCreateFailed;
  }
  bin.close();
  if (bin.fail()) {
    std::cerr << "fail to store key file " << binKeyPath << std::endl;
    return kKeyGenStoreBin;
  }
  text.close();
  if (text.fail()) {
    std::cerr << "fail to store key file " << textKeyPath << std::endl;
    return kKeyGenStoreText;
  }
  return 0;
}

int32_t zor_ramdom_key_gen(const char* keyName, int32_t len, uint8_t* workBuf, std::string& line) {
  if (len < 0) {
    std::cerr << "key length " << len << " is negative" << std::endl;
    return kKeyStrNegativeLen;
  }
  line = keyName;
  if (line.size() > kNameWidth) {
    std::cerr << "key len too big" << std::endl;
    return kKeyStrNameTooLong;
  }
  start_key_line(line);
  if (create_a_rnd_key(static_cast<uint32_t>(len), line, workBuf) != 0) {
    std::cerr << "fail in create_a_rnd_key " << std::endl;
    return kKeyStrCreateFailed;
  }
  line += "\n";
  return 0;
}

// Key word i from the 8 characters of group i, as strtoul converts them in
// base 16 (stops at the first non-digit, no error), low 32 bits.
static void convert_groups(const std::string& digits, uint8_t* out) {
  for (size_t i = 0; i < digits.size() / 8; ++i) {
    char group[9];
    memcpy(group, digits.data() + 8 * i, 8);
    group[8] = '\0';
    uint32_t word = static_cast<uint32_t>(strtoul(group, nullptr, 16));
    memcpy(out + 4 * i, &word, 4);  // host byte order
  }
}

static bool read_first_line(const char* path, std::string& line) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  std::getline(in, line);
  return true;
}

static bool key_len_ok(const std::string& key) {
  size_t digits = key.size() - 2;
  return digits >= 8 && digits % 8 == 0;
}

static void report_bad_len(const std::string& key) {
  std::cerr << "illegal len (" << key.size() << ") of str <" << key << ">" << std::endl;
}

int32_t zor_hexstr_key_to_int_buf(const char* inPath, const char* outPath) {
  std::string line;
  if (!read_first_line(inPath, line)) {
    std::cerr << "fail to open file " << inPath << " for read " << std::endl;
    return kKeyHexOpenIn;
  }
  std::ofstream out;
  if (!open_private(out, outPath)) {
    std::cerr << "fail in open file " << outPath << "for write " << std::endl;
    return kKeyHexOpenOut;
  }
  size_t at = line.find("0x");
  if (at == std::string::npos) {
    std::cerr << inPath << ": no key text (\"0x...\") in the first line" << std::endl;
    return kKeyHexNoKey;
  }
  std::string key = line.substr(at);
  if (!key_len_ok(key)) {
    report_bad_len(key);
    return kKeyHexBadLen;
  }
  std::vector<uint8_t> bytes((key.size() - 2) / 2);
  convert_groups(key.substr(2), bytes.data());
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out.fail()) {
    std::cerr << "fail to write key file " << outPath << std::endl;
    return kKeyHexStore;
  }
  return 0;
}

int32_t zor_hexstr_key_to_int_buf(const char* inPath, uint8_t* buf, int32_t nbytes, std::string& line) {
  std::string first;
  if (!read_first_line(inPath, first)) {
    std::cerr << "fail to open file " << inPath << " for read " << std::endl;
    return kKeyBufOpenIn;
  }
  if (!first.empty() && first.back() == '\r') first.pop_back();
  line = first + "\n";
  size_t at = first.find("0x");
  if (at == std::string::npos) {
    std::cerr << inPath << ": no key text (\"0x...\") in the first line" << std::endl;
    return kKeyBufNoKey;
  }
  std::string key = first.substr(at);
  if (!key_len_ok(key)) {
    report_bad_len(key);
    std::cerr << "Fail in convert " << inPath << " to bin" << std::endl;
    return kKeyBufBadLen;
  }
  int64_t digits = static_cast<int64_t>(key.size()) - 2;
  if (digits != 2 * static_cast<int64_t>(nbytes)) {
    std::cerr << inPath << ":want len " << digits << " but nbytes " << nbytes << std::endl;
    return kKeyBufWrongLen;
  }
  convert_groups(key.substr(2), buf);
  return 0;
}

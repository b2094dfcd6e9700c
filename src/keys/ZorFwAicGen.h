// Key material: random keys written as a binary key file and a key text line
// ("<name blank-filled to 12> = 0x<8 lowercase hex digits per 32-bit word>"),
// and hex key text converted back to binary. Key words are stored in host
// (little-endian) order; their digits run most significant first. Messages
// are plain lines on stdout/stderr.
//
// Result codes: the module's own, listed with each operation: mostly
// positive (146 to 297), and -256 for a key of the wrong length.
#ifndef ZOR_FW_AIC_GEN_H_
#define ZOR_FW_AIC_GEN_H_

#include <cstdint>
#include <string>

// Result codes of the operations below (0 is success), part of the
// module's interface.
enum zor_key_code : int32_t {
  kKeyGenNegativeLen = 146,   // file form: negative len, nothing created
  kKeyGenOpenBin = 149,       // file form: the binary key file cannot be created
  kKeyGenOpenText = 154,      // file form: the text key file cannot be created
  kKeyGenNameTooLong = 160,   // file form: name longer than 12 bytes
  kKeyGenCreateFailed = 168,  // file form: random source or a write failed
  kKeyGenStoreBin = 171,      // file form: the binary key file could not be stored when closed
  kKeyGenStoreText = 172,     // file form: the text key file could not be stored when closed
  kKeyStrNegativeLen = 286,   // string form: negative len
  kKeyStrNameTooLong = 289,   // string form: name longer than 12 bytes
  kKeyStrCreateFailed = 297,  // string form: random source failed
  kKeyHexOpenIn = 187,        // hex file form: input cannot be opened
  kKeyHexOpenOut = 202,       // hex file form: output cannot be created
  kKeyHexNoKey = 205,         // hex file form: no "0x" in the line
  kKeyHexBadLen = 209,        // hex file form: digits not a positive multiple of 8
  kKeyHexStore = 215,         // hex file form: the output could not be written
  kKeyBufOpenIn = 237,        // hex buffer form: input cannot be opened
  kKeyBufNoKey = 241,         // hex buffer form: no "0x"
  kKeyBufBadLen = 251,        // hex buffer form: digits not a positive multiple of 8
  kKeyBufWrongLen = -256,     // hex buffer form: the key is not nbytes long
};

// Start and end operations of the generator; both do nothing and return 0.
int32_t zor_ramdom_key_init();
int32_t zor_ramdom_key_exit();

// Makes a random key of `len` bytes from /dev/urandom into `workBuf` (at
// least 3 * len + 3 bytes: the key at 0, its key text at len) and writes the
// binary key file and the text key file (key text line + "\n"), both created
// with mode 0600. 0; 146 negative len (nothing created); 149 binary file
// cannot be created; 154 text file cannot be created; 160 name longer than
// 12 bytes; 168 random source or a write failed; 171 / 172 the binary / text
// file could not be stored when closed.
int32_t zor_ramdom_key_gen(const char* binKeyPath, const char* textKeyPath, const char* keyName, int32_t len,
                           uint8_t* workBuf);

// The same without files: `line` becomes the key text line + "\n". 0; 286
// negative len; 289 name longer than 12 bytes; 297 random source failed.
int32_t zor_ramdom_key_gen(const char* keyName, int32_t len, uint8_t* workBuf, std::string& line);

// Converts the key text ("0x" to the end) of the first line of `inPath` into
// a binary key file at `outPath` (mode 0600). 0; 187 input cannot be opened;
// 202 output cannot be created; 205 no "0x" in the line; 209 the digits are
// not a positive multiple of 8; 215 the output could not be written.
int32_t zor_hexstr_key_to_int_buf(const char* inPath, const char* outPath);

// Converts into `buf`, which must receive exactly `nbytes` bytes; `line`
// becomes the first line (one trailing CR removed) + "\n". 0; 237 input
// cannot be opened; 241 no "0x"; 251 digits not a positive multiple of 8;
// -256 the key is not nbytes long. `buf` is untouched on failure.
int32_t zor_hexstr_key_to_int_buf(const char* inPath, uint8_t* buf, int32_t nbytes, std::string& line);

#endif  // ZOR_FW_AIC_GEN_H_

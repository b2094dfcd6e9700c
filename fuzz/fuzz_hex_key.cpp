// The hex key conversion, both forms, over an arbitrary text key file.
#include <string>

#include "ZorFwAicGen.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in = zor_fuzz::scratch_file("key.txt", data, size);
  std::string out = zor_fuzz::scratch_dir() + "/key.bin";
  zor_hexstr_key_to_int_buf(in.c_str(), out.c_str());
  int32_t nbytes = size > 0 ? data[0] % 72 : 16;
  std::string buf(static_cast<size_t>(nbytes), '\0');
  std::string line;
  zor_hexstr_key_to_int_buf(in.c_str(), reinterpret_cast<uint8_t*>(&buf[0]), nbytes, line);
  return 0;
}

// parse_num over arbitrary text: never a crash, a negative value only as -1,
// and an end position inside the text.
#include <cstring>
#include <string>

#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* end = nullptr;
  int64_t v = parse_num(text.c_str(), &end);
  if (v < -1) abort();
  if (v >= 0 && (end < text.c_str() || end > text.c_str() + strlen(text.c_str()))) abort();
  if (v == -1 && end != nullptr) abort();
  return 0;
}

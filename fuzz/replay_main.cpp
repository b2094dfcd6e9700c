// Runs a fuzz target's entry point once per input file, outside libFuzzer:
// the committed findings are replayed by the normal test suite this way.
//   <target>_replay FILE...
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    FILE* f = fopen(argv[i], "rb");
    if (f == nullptr) {
      perror(argv[i]);
      return 1;
    }
    std::string input;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) input.append(buf, n);
    fclose(f);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    printf("%s: ok\n", argv[i]);
  }
  return 0;
}

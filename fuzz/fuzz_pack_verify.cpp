// What zor_pack list and verify do with a file: open, check every entry,
// name and script. An odd first byte seals the rest first, so both the
// outer checks and the item checks get exercised.
#include <cstring>
#include <string>
#include <vector>

#include "bundle_pack.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return -1;
  std::vector<uint8_t> image(data, data + size);
  if (size > 0 && (data[0] & 1)) image = zor_fuzz::sealed_from(data, size);
  std::vector<bundle_entry> entries;
  std::vector<bundle_problem> problems;
  bundle_open(image.data(), image.size(), entries, problems);
  bundle_check_names(entries, kFileItemsWritten, problems);
  bundle_check_launch(image.size(), entries, problems);
  bundle_check_scripts(image.data(), entries, problems);
  for (const auto& e : entries)
    if (static_cast<int64_t>(e.offset) + e.size > static_cast<int64_t>(image.size())) abort();
  return 0;
}

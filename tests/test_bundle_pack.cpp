// The packer's checks by direct call: what pack refuses and what verify
// reports, one exact line per problem.
#include "bundle_pack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "bundle_helpers.h"

namespace {

const std::string kEntry = std::string(kZorEntryModule) + ".lua";

TEST(BundlePack, NameRulesRefuseWhatWouldMisbehave) {
  struct {
    std::string name;
    const char* problem;  // a part of it, or null
  } cases[] = {
      {"fw.img", nullptr},        {kEntry, nullptr},   {std::string(31, 'n'), nullptr},
      {"", "1 to 31 bytes"},      {std::string(32, 'n'), "1 to 31 bytes"},
      {"caf\xc3\xa9", "printable ASCII"}, {"a\tb", "printable ASCII"},
      {"a/b", "outside the unpack directory"}, {"..", "outside the unpack directory"},
      {".lua", "module name"},    {".zor.lua", "module name"},
  };
  for (const auto& c : cases) {
    const char* got = bundle_item_name_problem(c.name);
    EXPECT_TRUE(c.problem ? got && strstr(got, c.problem) : !got) << c.name << ": " << (got ? got : "accepted");
  }
}

// Everything verify checks beyond the layout, over one table.
TEST(BundlePack, EveryLaunchProblemIsOneExactLine) {
  auto share_data = [](std::vector<uint8_t>& plain) {  // items 2 and 3 over item 1's 4000 bytes
    for (int i : {2, 3}) memcpy(zor_test::entry_at(plain, i) + 8, zor_test::entry_at(plain, 1) + 8, 8);
  };
  struct {
    const char* what;
    std::vector<bundle_item> items;
    std::function<void(std::vector<uint8_t>&)> patch;
    std::vector<std::string> problems;
  } cases[] = {
      {"sound", {{kEntry, "return true"}, {"fw.img", "x"}, {"a.lua", ""}}, {}, {}},
      {"no entry", {{"main.lua", "return true"}}, {},
       {"no item gives the entry module 'zor_update_whole_package': the launcher would exit 207"}},
      {"duplicate", {{kEntry, "return true"}, {"a.bin", "1"}, {"a.bin", "2"}}, {},
       {"item 2 (a.bin): duplicate item name"}},
      {"unsafe file name", {{kEntry, "return true"}, {"../x", "y"}}, {},
       {"item 1 (../x): file name would be written outside the unpack directory"}},
      {"control byte", {{kEntry, "return true"}, {"a\x01.bin", "x"}}, {},
       {"item 1 (a\\x01.bin): a name zor_pack refuses: names are printable ASCII"}},
      {"two entries", {{kEntry, "return true"}, {"zor_update_whole_package.zor", "return false"}}, {},
       {"items 0 (zor_update_whole_package.lua) and 1 (zor_update_whole_package.zor) give module "
        "'zor_update_whole_package': the launcher runs item 1 (zor_update_whole_package.zor)"}},
      {"three of one module", {{kEntry, ""}, {"m.lua", ""}, {"m.zor", ""}, {"m.zor.lua", ""}}, {},
       {"items 1 (m.lua), 2 (m.zor) and 3 (m.zor.lua) give module 'm': the launcher runs item 3 (m.zor.lua)"}},
      {"shared data", {{kEntry, "return true"}, {"a.bin", std::string(4000, 'a')}, {"b.bin", ""}, {"c.bin", ""}},
       share_data, {"2 items share bytes with an earlier one: the launcher would write 12000 bytes from an image of 4336"}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> image = zor_test::plain_image(c.items);
    if (c.patch) c.patch(image);
    std::vector<bundle_entry> entries;
    ASSERT_EQ(bundle_read_table(image.data(), static_cast<int32_t>(image.size()), entries), BUNDLE_OK) << c.what;
    std::vector<bundle_problem> problems;
    bundle_check_names(entries, kFileItemsWritten, problems);
    bundle_check_launch(image.size(), entries, problems);
    std::vector<std::string> messages;
    for (const auto& p : problems) messages.push_back(p.message);
    EXPECT_EQ(messages, c.problems) << c.what;
  }
}

}  // namespace

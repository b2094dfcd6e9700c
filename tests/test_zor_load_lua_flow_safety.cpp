// Whatever a sealed bundle holds, a load never writes outside the unpack
// directory, and every file it writes holds exactly that item's bytes.
#include <dirent.h>

#include <map>
#include <random>

#include "bundle_helpers.h"
#include "chunk_compile.h"
#include "test_support.h"
#include "files.h"
#include "zor_load_lua_flow.h"

using zor_test::read_file;

namespace {

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// What the reader must leave in the unpack directory for a plain image: the
// files written before the load stops, or nothing when the table is bad.
std::map<std::string, std::string> expected_files(const std::vector<uint8_t>& plain) {
  std::map<std::string, std::string> files;
  std::vector<bundle_entry> entries;
  if (bundle_read_table(plain.data(), static_cast<int32_t>(plain.size()), entries) != BUNDLE_OK) return files;
  for (const auto& e : entries) {
    std::string data(reinterpret_cast<const char*>(plain.data()) + e.offset, static_cast<size_t>(e.size));
    if (e.script) {
      std::string error;
      if (chunk_compile_check(data, bundle_module_name(e.name), error) != 0) break;
    } else {
      if (!bundle_file_name_is_safe(e.name)) break;
      files[e.name] = data;
    }
  }
  return files;
}

class BundleSafety : public zor_test::TempDirTest {};

TEST_F(BundleSafety, RandomBundlesStayInsideTheUnpackDirectory) {
  const std::vector<std::string> names = {"fw.img", "a.bin",  "../up.bin", "..",     ".",        "",
                                          "sub/x",  "/tmp/zor_safety_abs", "ok.lua", "b.zor", "x.lua.zor",
                                          "data",   "a.bin",  "..\\x",      "-rf",   "...", "up.bin"};
  std::mt19937 rng(20261208);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  std::string unpack = path("unpack");
  for (int round = 0; round < 400; ++round) {
    std::vector<bundle_item> items;
    for (size_t i = 0, n = pick(6); i < n; ++i) {
      bundle_item item{names[pick(names.size())], ""};
      if (bundle_is_script_name(item.name.c_str()))
        item.data = pick(4) == 0 ? "return = broken" : "return " + std::to_string(round);
      else
        for (size_t b = 0, len = pick(80); b < len; ++b) item.data += static_cast<char>(rng());
      items.push_back(item);
    }
    std::vector<uint8_t> plain = zor_test::plain_image(items);
    if (plain.size() > 64 && pick(3) == 0)  // damage the table or the data, then seal it again
      for (int flips = 0; flips < 3; ++flips) plain[64 + pick(plain.size() - 64)] ^= static_cast<uint8_t>(1 << pick(8));
    std::vector<uint8_t> image = zor_test::seal(plain);

    ASSERT_EQ(mkdir(unpack.c_str(), 0700), 0);
    lua_State* L = nullptr;
    ASSERT_EQ(zor_lua_state_init(&L), 0);
    testing::internal::CaptureStderr();
    lua_item_decrypt_and_load(image.data(), static_cast<int32_t>(image.size()), L, (unpack + "/").c_str());
    testing::internal::GetCapturedStderr();
    zor_lua_state_exit(L);

    ASSERT_EQ(entries_of(dir_), std::vector<std::string>{"unpack"}) << "round " << round;
    ASSERT_FALSE(is_path_existed("/tmp/zor_safety_abs"));
    std::map<std::string, std::string> want = expected_files(plain);
    std::vector<std::string> got = entries_of(unpack);
    ASSERT_EQ(got.size(), want.size()) << "round " << round;
    for (const auto& name : got) {
      ASSERT_TRUE(want.count(name)) << "round " << round << ": unexpected " << name;
      EXPECT_TRUE(is_regular_file((unpack + "/" + name).c_str()));
      EXPECT_EQ(read_file(unpack + "/" + name), want[name]) << "round " << round << ": " << name;
    }
    ASSERT_EQ(remove_directory(unpack.c_str()), 0);
  }
}

}  // namespace

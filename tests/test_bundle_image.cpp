#include "bundle_image.h"

#include <gtest/gtest.h>

namespace {

TEST(BundleNames, KindAndModuleName) {
  struct {
    const char* name;
    bool script;
    const char* module;
  } cases[] = {
      {"update.lua", true, "update"},     {"update.zor", true, "update"}, {"tools.zor.lua", true, "tools"},
      {"a.lua.zor", true, "a"},           {"readme.LUA", false, ""},      {"data", false, ""},
      {"x.lua.txt", false, ""},           {"my.zorro.lua", true, "my"},   {".lua", true, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bundle_is_script_name(c.name), c.script) << c.name;
    if (c.script) {
      EXPECT_EQ(bundle_module_name(c.name), c.module) << c.name;
    }
  }
}

}  // namespace

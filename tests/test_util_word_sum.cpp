// The word sum is file-local to text.cpp; this test compiles text.cpp into
// its own small executable to reach it.
#include "../src/support/text.cpp"

#include <gtest/gtest.h>

namespace {

TEST(WordSum, LittleEndianWordsTailAndWrapAround) {
  struct {
    std::vector<uint8_t> bytes;
    uint32_t initial, want;
  } cases[] = {
      {{}, 0x1234, 0x1234},
      {{1, 2, 3, 4, 5}, 0, 0x04030206},
      {{1, 2, 3, 4, 5, 6, 7}, 0, 0x040A0806},
      {{0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0}, 0, 1},
      {{0x10}, 0xFFFFFFFF, 0x0F},
  };
  for (const auto& c : cases) EXPECT_EQ(add_sum(c.bytes.data(), c.bytes.size(), c.initial), c.want);
  // Any alignment: the same words one byte into a buffer.
  uint8_t shifted[9] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 0xEE};
  EXPECT_EQ(add_sum(shifted + 1, 7, 0), 0x040A0806u);
}

}  // namespace

#include <gtest/gtest.h>

#include <vector>

#include "token/crypto/object_sum.h"

namespace zyp::softtok {
namespace {

TEST(ObjectSum, KnownValues) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t sum;
  } cases[] = {
      {{'a', 'b', 'c'}, 0x1A0D293F},
      {{0xFF}, 0},            // (-1)^11 + 1
      {{}, 0},
      {{0x00}, 1},
      {{0x02}, 0x801},        // 2^11 + 1
      {{0x80}, 1},            // (-128)^11 = -2^77, nothing left below 2^32
      {{0x81}, 0x8B6DBA82},   // (-127)^11 + 1, wrapped
      {{0x7F}, 0x74924580},   // 127^11 + 1, wrapped
      {{0xFF, 0xFF, 0x02}, 0x801},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(object_sum(c.bytes), c.sum) << ::testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace zyp::softtok

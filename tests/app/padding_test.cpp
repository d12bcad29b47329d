#include "app/padding.h"

#include <gtest/gtest.h>

namespace {

TEST(Padding, TargetSides) {
  const unsigned cases[][2] = {{1, 4},    {4, 4},       {5, 8},      {64, 64},
                               {65, 128}, {8191, 8192}, {8192, 8192}};
  for (const auto& c : cases) EXPECT_EQ(paddedSide(c[0]), c[1]) << c[0];
}

}  // namespace

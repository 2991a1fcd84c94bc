// The order behind the encoder's classes, against plain byte comparisons.
#include "archive/key_classes.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

typedef std::vector<u8> Bytes;

// -1, 0 or 1 as the `width` bytes from a and from b compare (zero past the
// end of the block).
int Compare(const Bytes &src, u32 a, u32 b, u32 width) {
  for (u32 k = 0; k < width; k++) {
    int x = a + k < src.size() ? src[a + k] : 0;
    int y = b + k < src.size() ? src[b + k] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

TEST(KeyClassesTest, ClassesCompareAsTheBytesDo) {
  // Few distinct byte values give long groups of equal bytes, the case the
  // refinement rounds exist for; stretches start and end anywhere.
  std::mt19937 rng(11);
  KeyClasses classes;  // built again and again
  for (int round = 0; round < 150; round++) {
    u32 n = 1 + rng() % 2500;
    u32 values = 1 + rng() % 4;
    Bytes src(n);
    for (u8 &b : src) b = static_cast<u8>(rng() % values);
    u32 width = 2 + rng() % 40;
    u32 lo = rng() % n, hi = lo + 1 + rng() % (n - lo);
    SCOPED_TRACE(testing::Message() << "round " << round << " n " << n
                                    << " width " << width << " [" << lo
                                    << ", " << hi << ")");
    ASSERT_TRUE(classes.Build(src.data(), n, lo, hi, width));
    for (u32 a = lo; a < hi; a++) {
      ASSERT_LT(classes.Of(a), classes.Span());
      for (u32 b = lo; b < hi; b++) {
        u32 ca = classes.Of(a), cb = classes.Of(b);
        int order = ca < cb ? -1 : ca > cb ? 1 : 0;
        ASSERT_EQ(order, Compare(src, a, b, width)) << a << " vs " << b;
      }
    }
  }
}

TEST(KeyClassesTest, WidthsOutsideTheRangeAreRefused) {
  Bytes src(100, 1);
  KeyClasses classes;
  EXPECT_FALSE(classes.Build(src.data(), 100, 0, 100, 1));
  EXPECT_FALSE(classes.Build(src.data(), 100, 0, 100, KeyClasses::kMaxWidth + 1));
  EXPECT_TRUE(classes.Build(src.data(), 100, 0, 100, KeyClasses::kMaxWidth));
}

}  // namespace

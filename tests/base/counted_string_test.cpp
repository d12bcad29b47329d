#include "base/counted_string.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/heap.h"

namespace {

// Re-arms the allocation fault injection off at the end of a test, whatever happens.
struct AllocationFaults {
  explicit AllocationFaults(long succeeding) { failAllocationsAfter(succeeding); }
  ~AllocationFaults() { failAllocationsAfter(-1); }
};

TEST(CountedString, FromTextCopiesBytesWithTerminator) {
  const CountedString s = CountedString::fromText("img/photo.png");
  EXPECT_EQ(s.length(), 13);
  EXPECT_STREQ(s.text(), "img/photo.png");
  EXPECT_EQ(s.references(), 1);
  EXPECT_FALSE(s.isSharedEmpty());
}

TEST(CountedString, ConcatOfTwoEmptyStringsHasItsOwnBlock) {
  const CountedString empty1 = CountedString::fromText("");
  const CountedString empty2;
  const CountedString joined = CountedString::concat(empty1, empty2);
  EXPECT_EQ(joined.length(), 0);
  EXPECT_EQ(joined.text()[0], '\0');
  EXPECT_FALSE(joined.isSharedEmpty());
  EXPECT_EQ(joined.references(), 1);
}

TEST(CountedString, ConcatLeavesOperandsUnchanged) {
  const CountedString a = CountedString::fromText("bmp/");
  const CountedString b = CountedString::fromText("a.b.c");
  const CountedString joined = CountedString::concat(a, b);
  EXPECT_STREQ(joined.text(), "bmp/a.b.c");
  EXPECT_STREQ(a.text(), "bmp/");
  EXPECT_STREQ(b.text(), "a.b.c");
}

TEST(CountedString, CopiesShareUntilOneChanges) {
  CountedString original = CountedString::fromText("photo");
  CountedString copy = original;
  EXPECT_EQ(original.references(), 2);
  EXPECT_EQ(original.text(), copy.text());  // one block

  copy.appendText(".bmp");
  EXPECT_STREQ(copy.text(), "photo.bmp");
  EXPECT_STREQ(original.text(), "photo");
  EXPECT_EQ(original.references(), 1);
  EXPECT_EQ(copy.references(), 1);

  CountedString third = original;
  ASSERT_TRUE(third.truncate(2));
  EXPECT_STREQ(third.text(), "ph");
  EXPECT_STREQ(original.text(), "photo");
}

struct TruncateCase {
  std::int32_t pos;
  const char* expected;
};

class CountedStringTruncate : public ::testing::TestWithParam<TruncateCase> {};

TEST_P(CountedStringTruncate, ClampsAndCuts) {
  CountedString s = CountedString::fromText("abcde");
  ASSERT_TRUE(s.truncate(GetParam().pos));
  EXPECT_STREQ(s.text(), GetParam().expected);
  EXPECT_EQ(s.length(), static_cast<std::int32_t>(std::strlen(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(Positions, CountedStringTruncate,
                         ::testing::Values(TruncateCase{4, "abcd"},   // last byte removed
                                           TruncateCase{0, ""},       // empty, length 0
                                           TruncateCase{-3, ""},      // below 0 counts as 0
                                           TruncateCase{5, "abcde"},  // at the length: no change
                                           TruncateCase{99, "abcde"}));

TEST(CountedString, AppendToSharedEmptyMakesPrivateBlock) {
  CountedString s;
  ASSERT_TRUE(s.isSharedEmpty());
  s.appendText("x");
  EXPECT_FALSE(s.isSharedEmpty());
  EXPECT_STREQ(s.text(), "x");
  const CountedString other;
  EXPECT_EQ(other.length(), 0);
}

TEST(CountedString, SharedEmptyIsNeverFreed) {
  const std::int32_t before = CountedString().references();
  {
    CountedString a;
    CountedString b = a;
    a.release();
    b.release();
  }
  EXPECT_EQ(CountedString().references(), before);
  EXPECT_GT(before, 1 << 30);
}

TEST(CountedString, SharedEmptyStartsAtTwoToTheThirtyPlusOne) {
  // Between tests no handle is alive, so the count is the start-up value; the probe adds one.
  EXPECT_EQ(CountedString().references(), (1 << 30) + 1 + 1);
}

TEST(CountedString, AppendingEmptyTextStillMakesTheHandlePrivate) {
  CountedString original = CountedString::fromText("abc");
  CountedString copy = original;
  copy.appendText("");
  EXPECT_EQ(copy.references(), 1);
  EXPECT_EQ(original.references(), 1);
  EXPECT_NE(copy.text(), original.text());
  EXPECT_STREQ(copy.text(), "abc");

  CountedString empty;
  empty.appendText("");
  EXPECT_FALSE(empty.isSharedEmpty());
  EXPECT_EQ(empty.length(), 0);
}

TEST(CountedString, FailedAllocationYieldsSharedEmpty) {
  AllocationFaults faults(0);
  const CountedString s = CountedString::fromText("abc");
  EXPECT_TRUE(s.isSharedEmpty());
  const CountedString joined = CountedString::concat(s, s);
  EXPECT_TRUE(joined.isSharedEmpty());
}

TEST(CountedString, MakeUniqueFailureLeavesEmpty) {
  CountedString original = CountedString::fromText("abc");
  CountedString copy = original;
  AllocationFaults faults(0);
  EXPECT_FALSE(copy.makeUnique());
  EXPECT_TRUE(copy.isSharedEmpty());
  EXPECT_STREQ(original.text(), "abc");
  EXPECT_EQ(original.references(), 1);
}

TEST(CountedString, AppendGrowthFailureKeepsPreviousText) {
  CountedString s = CountedString::fromText("abc");
  AllocationFaults faults(0);
  s.appendText("def");
  EXPECT_STREQ(s.text(), "abc");
  EXPECT_FALSE(s.truncate(1));
  EXPECT_STREQ(s.text(), "abc");
}

TEST(CountedString, AppendToSharedHandleThatCannotBeMadePrivateLeavesEmpty) {
  CountedString original = CountedString::fromText("abc");
  CountedString copy = original;
  AllocationFaults faults(0);
  copy.appendText("def");
  EXPECT_TRUE(copy.isSharedEmpty());
  EXPECT_STREQ(original.text(), "abc");
  EXPECT_EQ(original.references(), 1);
}

TEST(CountedString, TruncateOfSharedHandleFailsOnEitherAllocation) {
  CountedString original = CountedString::fromText("abcde");
  {
    // The private copy cannot be made: the handle becomes the empty string.
    CountedString copy = original;
    AllocationFaults faults(0);
    EXPECT_FALSE(copy.truncate(2));
    EXPECT_TRUE(copy.isSharedEmpty());
  }
  {
    // The private copy is made but cannot shrink: the flag is false, the text is kept.
    CountedString copy = original;
    AllocationFaults faults(1);
    EXPECT_FALSE(copy.truncate(2));
    EXPECT_STREQ(copy.text(), "abcde");
    EXPECT_EQ(copy.references(), 1);
  }
  EXPECT_STREQ(original.text(), "abcde");
  EXPECT_EQ(original.references(), 1);
}

}  // namespace

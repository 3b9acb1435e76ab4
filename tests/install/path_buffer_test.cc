#include "install/path_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvo::install {
namespace {

constexpr int kCap = CPathBuffer::kCapacity;

std::u16string Text(const CPathBuffer& p) { return std::u16string(p.text()); }

// The path holds exactly |expected|, with a matching count and terminator.
void ExpectPath(const CPathBuffer& p, const std::u16string& expected) {
  EXPECT_EQ(Text(p), expected);
  EXPECT_EQ(p.count(), static_cast<int16_t>(expected.size()));
  EXPECT_EQ(p.text()[p.count()], 0);
}

std::u16string Repeat(const std::u16string& s, int times) {
  std::u16string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

// --- Append: the worked examples -------------------------------------------

struct AppendCase {
  const char16_t* base;
  const char16_t* relative;
  bool add_trailing_backslash;
  const char16_t* expected;  // nullptr: the base, unchanged
  bool returns;
};

class AppendExampleTest : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendExampleTest, ResolvesAgainstTheBase) {
  const AppendCase& c = GetParam();
  CPathBuffer p(c.base);
  EXPECT_EQ(p.Append(c.relative, c.add_trailing_backslash), c.returns);
  ExpectPath(p, c.expected != nullptr ? c.expected : c.base);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, AppendExampleTest,
    ::testing::Values(AppendCase{u"C:\\a\\b", u"x", false, u"C:\\a\\x", true},
                      AppendCase{u"C:\\a\\b\\", u"x", false, u"C:\\a\\b\\x", true},
                      AppendCase{u"C:\\a\\b\\", u"..\\x", false, u"C:\\a\\x", true},
                      AppendCase{u"C:\\a\\", u"..\\x", false, u"C:\\x", true},
                      AppendCase{u"C:\\a\\", u"..\\..\\x", false, nullptr, false},
                      AppendCase{u"C:\\a\\", u".\\x", false, u"C:\\a\\x", true},
                      AppendCase{u"C:\\a\\", u"\\x", false, u"C:\\a\\x", true},
                      AppendCase{u"C:\\a\\b", u"", false, u"C:\\a\\", true},
                      AppendCase{u"C:\\a\\", u".name", false, u"C:\\a\\.name", true},
                      AppendCase{u"C:\\a\\", u"b", true, u"C:\\a\\b\\", true},
                      AppendCase{u"C:\\a\\", u"b\\", true, u"C:\\a\\b\\", true},
                      AppendCase{u"C:", u"x", false, nullptr, false},
                      AppendCase{u"", u"x", false, nullptr, false}));

// Steps are only recognised at the start; dots that begin no step are text.
INSTANTIATE_TEST_SUITE_P(
    LeadingSteps, AppendExampleTest,
    ::testing::Values(AppendCase{u"C:\\a\\b\\", u".\\..\\\\.\\x", false, u"C:\\a\\x", true},
                      AppendCase{u"C:\\a\\b\\", u"\\\\\\x", false, u"C:\\a\\b\\x", true},
                      AppendCase{u"C:\\a\\", u"..", false, u"C:\\a\\..", true},
                      AppendCase{u"C:\\a\\", u".", false, u"C:\\a\\.", true},
                      AppendCase{u"C:\\a\\", u"...\\x", false, u"C:\\a\\...\\x", true},
                      AppendCase{u"C:\\a\\", u"..x\\..\\y", false, u"C:\\a\\..x\\..\\y", true},
                      AppendCase{u"C:\\a\\b\\", u"x\\..\\y", false, u"C:\\a\\b\\x\\..\\y", true},
                      AppendCase{u"C:\\a\\b\\", u"..\\", true, u"C:\\a\\", true},
                      AppendCase{u"C:\\a\\", u"..\\", false, u"C:\\", true},
                      AppendCase{u"\\", u"x", false, u"\\x", true},
                      AppendCase{u"\\", u"..\\x", false, nullptr, false}));

// A slash is an ordinary character, in the base and in the relative path.
INSTANTIATE_TEST_SUITE_P(
    Slashes, AppendExampleTest,
    ::testing::Values(AppendCase{u"C:/a/b", u"x", false, nullptr, false},
                      AppendCase{u"C:\\a/b", u"x", false, u"C:\\x", true},
                      AppendCase{u"C:\\a/b\\", u"..\\x", false, u"C:\\x", true},
                      AppendCase{u"C:\\a\\", u"../x", false, u"C:\\a\\../x", true},
                      AppendCase{u"C:\\a\\", u"./x", false, u"C:\\a\\./x", true},
                      AppendCase{u"C:\\a\\", u"/x", false, u"C:\\a\\/x", true},
                      AppendCase{u"C:\\a\\", u"b/", true, u"C:\\a\\b/\\", true}));

TEST(AppendTest, NullRelativeFailsAndKeepsThePath) {
  CPathBuffer p(u"C:\\a\\b");
  EXPECT_FALSE(p.Append(nullptr, false));
  EXPECT_FALSE(p.Append(nullptr, true));
  ExpectPath(p, u"C:\\a\\b");
}

// --- Append at the capacity -------------------------------------------------

class AppendLimitTest : public ::testing::Test {
 protected:
  // "C:\" followed by |n| - 3 letters: n characters, one backslash.
  static std::u16string Base(int n) { return u"C:\\" + std::u16string(n - 3, u'd'); }
};

TEST_F(AppendLimitTest, LongResultIsCutWithoutTheOption) {
  const std::u16string base = u"C:\\folder\\";
  CPathBuffer p(base.c_str());
  const std::u16string rel(400, u'r');
  EXPECT_TRUE(p.Append(rel.c_str(), false));
  ExpectPath(p, (base + rel).substr(0, kCap));
}

TEST_F(AppendLimitTest, ResultOfExactlyTheCapacityIsKept) {
  const std::u16string base = u"C:\\f\\";
  const std::u16string rel(kCap - base.size(), u'r');
  CPathBuffer p(base.c_str());
  EXPECT_TRUE(p.Append(rel.c_str(), false));
  ExpectPath(p, base + rel);
}

TEST_F(AppendLimitTest, OptionFailsWhenTheResultReachesTheCapacity) {
  const std::u16string base = u"C:\\f\\";
  for (size_t rel_len : {kCap - base.size(), kCap - base.size() + 1, size_t{500}}) {
    CPathBuffer p(base.c_str());
    const std::u16string rel(rel_len, u'r');
    EXPECT_FALSE(p.Append(rel.c_str(), true)) << rel_len;
    ExpectPath(p, base);
  }
  // A relative path that ends in a backslash reaches the capacity all the same.
  CPathBuffer p(base.c_str());
  const std::u16string rel = std::u16string(kCap - base.size() - 1, u'r') + u"\\";
  EXPECT_FALSE(p.Append(rel.c_str(), true));
  ExpectPath(p, base);
}

TEST_F(AppendLimitTest, OptionMayFillTheLastPlaceWithTheBackslash) {
  const std::u16string base = u"C:\\f\\";
  const std::u16string rel(kCap - base.size() - 1, u'r');
  CPathBuffer p(base.c_str());
  EXPECT_TRUE(p.Append(rel.c_str(), true));
  ExpectPath(p, base + rel + u"\\");
  EXPECT_EQ(p.count(), kCap);
}

TEST_F(AppendLimitTest, FullPathEndingInBackslash) {
  const std::u16string base = Base(kCap - 1) + u"\\";
  ASSERT_EQ(base.size(), static_cast<size_t>(kCap));
  CPathBuffer p(base.c_str());
  EXPECT_TRUE(p.Append(u"x", false));  // nothing fits behind it
  ExpectPath(p, base);
  EXPECT_FALSE(p.Append(u"x", true));
  ExpectPath(p, base);
  EXPECT_TRUE(p.Append(u"..\\x", false));
  ExpectPath(p, u"C:\\x");
}

TEST_F(AppendLimitTest, StepsEndAtTheCapacityOfTheRelativePath) {
  // 129 backslashes in 259 characters; 100 parent steps are offered but the
  // scan stops at index 260, after 87 of them, and nothing is copied.
  const std::u16string base = u"C:" + Repeat(u"\\a", 128) + u"\\";
  ASSERT_EQ(base.size(), 259u);
  const std::u16string rel = Repeat(u"..\\", 100) + u"x";
  CPathBuffer p(base.c_str());
  EXPECT_TRUE(p.Append(rel.c_str(), false));
  ExpectPath(p, u"C:" + Repeat(u"\\a", 41) + u"\\");
}

TEST_F(AppendLimitTest, TextBeyondIndexTwoHundredSixtyIsNotCopied) {
  // After 86 parent steps (258 units) only units 258 and 259 are copied.
  const std::u16string base = u"C:" + Repeat(u"\\a", 128) + u"\\";
  const std::u16string rel = Repeat(u"..\\", 86) + u"xyz";
  CPathBuffer p(base.c_str());
  EXPECT_TRUE(p.Append(rel.c_str(), false));
  ExpectPath(p, u"C:" + Repeat(u"\\a", 42) + u"\\xy");
}

// --- Append on deep paths ---------------------------------------------------

// "C:\1\2\...\N\" with single-letter names: N + 1 backslashes.
std::u16string DeepBase(int n) {
  std::u16string s = u"C:";
  for (int k = 1; k <= n; ++k) {
    s += u'\\';
    s += static_cast<char16_t>(u'A' + (k % 26));
  }
  return s + u"\\";
}

class DeepPathTest : public ::testing::TestWithParam<int> {};

TEST_P(DeepPathTest, ParentStepsClimbEveryLevel) {
  const int depth = GetParam();
  const std::u16string base = DeepBase(depth);
  // REQUIRES: depth + 1 parent steps and the name fit in 260 units.
  ASSERT_LE(3 * (depth + 1) + 4, kCap);
  for (int up = 0; up <= depth; ++up) {
    CPathBuffer p(base.c_str());
    const std::u16string rel = Repeat(u"..\\", up) + u"leaf";
    ASSERT_TRUE(p.Append(rel.c_str(), false)) << "up " << up;
    ExpectPath(p, DeepBase(depth - up) + u"leaf");
  }
  // One step more than the path has folders uses up every backslash.
  CPathBuffer p(base.c_str());
  const std::u16string rel = Repeat(u"..\\", depth + 1) + u"leaf";
  EXPECT_FALSE(p.Append(rel.c_str(), true));
  ExpectPath(p, base);
}

TEST_P(DeepPathTest, AppendingDeepensAndClimbsBack) {
  const int depth = GetParam();
  CPathBuffer p(u"C:\\");
  for (int k = 1; k <= depth; ++k) {
    const char16_t name[] = {static_cast<char16_t>(u'A' + (k % 26)), 0};
    ASSERT_TRUE(p.Append(name, true));
  }
  ExpectPath(p, DeepBase(depth));
  // Mixed steps: ".\" and "\" do not climb.
  ASSERT_TRUE(p.Append(u".\\..\\\\..\\.\\x", false));
  ExpectPath(p, DeepBase(depth - 2) + u"x");
}

// Beyond 15 levels (16 backslashes) the list lives on the heap; 32 and 48
// need a second and third step of growth, and climbing back shrinks it.
INSTANTIATE_TEST_SUITE_P(Depths, DeepPathTest,
                         ::testing::Values(3, 15, 16, 17, 31, 32, 33, 47, 49, 64, 84));

TEST(DeepPathEdgeTest, PathOfOnlyBackslashes) {
  const std::u16string base(kCap, u'\\');
  CPathBuffer p(base.c_str());
  // 86 parent steps (units 0 to 257) leave 174 of the 260 backslashes; "ab"
  // at units 258 and 259 still lies below the limit and is copied.
  const std::u16string rel = Repeat(u"..\\", 86) + u"ab";
  EXPECT_TRUE(p.Append(rel.c_str(), false));
  ExpectPath(p, std::u16string(kCap - 86, u'\\') + u"ab");
}

// --- The separator list -----------------------------------------------------

TEST(PathSeparatorListTest, GrowsOnTheHeapInStepsOfSixteen) {
  PathSeparatorList list;
  EXPECT_EQ(list.capacity(), 16);
  EXPECT_FALSE(list.on_heap());
  for (int k = 1; k <= 49; ++k) {
    ASSERT_TRUE(list.Push(static_cast<int16_t>(k * 2)));
    const int expected = ((k + 15) / 16) * 16;
    EXPECT_EQ(list.capacity(), expected < 16 ? 16 : expected) << "after " << k;
    EXPECT_EQ(list.on_heap(), k > 16) << "after " << k;
    EXPECT_EQ(list.last(), k * 2);
  }
}

TEST(PathSeparatorListTest, ShrinksLateAndReturnsInPlace) {
  PathSeparatorList list;
  for (int k = 1; k <= 49; ++k) ASSERT_TRUE(list.Push(static_cast<int16_t>(k)));
  ASSERT_EQ(list.capacity(), 64);
  // Removal starting with count n at capacity m shrinks by 16 when
  // n - 1 < m - 24 and n < 3m/4: 64 -> 48 at n = 40, 48 -> 32 at n = 24,
  // 32 -> 16 at n = 8.
  struct Step {
    int from_count;
    int capacity_after;
  };
  const Step steps[] = {{49, 64}, {41, 64}, {40, 48}, {25, 48}, {24, 32},
                        {9, 32},  {8, 16},  {2, 16},  {1, 16}};
  int n = 49;
  for (const Step& s : steps) {
    while (n > s.from_count) {
      list.PopLast();
      --n;
    }
    list.PopLast();
    --n;
    EXPECT_EQ(list.count(), n);
    EXPECT_EQ(list.capacity(), s.capacity_after) << "removal from " << s.from_count;
    EXPECT_EQ(list.on_heap(), s.capacity_after > 16) << "removal from " << s.from_count;
    if (n > 0) {
      EXPECT_EQ(list.last(), n) << "positions survive the move";
    }
  }
  list.PopLast();  // empty stays empty
  EXPECT_EQ(list.count(), 0);
}

TEST(PathSeparatorListTest, RegrowsAfterShrinking) {
  PathSeparatorList list;
  for (int k = 0; k < 40; ++k) ASSERT_TRUE(list.Push(static_cast<int16_t>(k)));
  while (list.count() > 3) list.PopLast();
  EXPECT_FALSE(list.on_heap());
  for (int k = 3; k < 20; ++k) ASSERT_TRUE(list.Push(static_cast<int16_t>(k)));
  EXPECT_TRUE(list.on_heap());
  EXPECT_EQ(list.capacity(), 32);
  for (int k = 19; k >= 0; --k) {
    EXPECT_EQ(list.last(), k);
    list.PopLast();
  }
}

// --- Assign, copy and AddBackslash -----------------------------------------

TEST(AssignTest, CutsLongTextAtTheCapacity) {
  std::u16string text;
  for (int k = 0; k < 300; ++k) text += static_cast<char16_t>(u'a' + k % 26);
  CPathBuffer p;
  p.Assign(text.c_str());
  ExpectPath(p, text.substr(0, kCap));
  CPathBuffer q(text.c_str());
  ExpectPath(q, text.substr(0, kCap));
}

TEST(AssignTest, ReplacesEarlierTextAndReturnsTheBuffer) {
  CPathBuffer p(u"C:\\a\\long\\path");
  CPathBuffer& r = p.Assign(u"D:");
  EXPECT_EQ(&r, &p);
  ExpectPath(p, u"D:");
  p.Assign(u"");
  ExpectPath(p, u"");
  p.Assign(u"E:\\");
  p.Assign(nullptr);
  ExpectPath(p, u"");
  ExpectPath(CPathBuffer(), u"");
  const std::u16string exact(kCap, u'e');
  ExpectPath(CPathBuffer(exact.c_str()), exact);
}

TEST(CopyTest, CopiesCountAndText) {
  const CPathBuffer a(u"C:\\a\\b");
  CPathBuffer b(a);
  ExpectPath(b, u"C:\\a\\b");
  CPathBuffer c(u"something much longer than the source");
  CPathBuffer& r = (c = a);
  EXPECT_EQ(&r, &c);
  ExpectPath(c, u"C:\\a\\b");
  // The copy is independent of the source.
  ASSERT_TRUE(c.Append(u"x", false));
  ExpectPath(a, u"C:\\a\\b");
  ExpectPath(c, u"C:\\a\\x");
  const CPathBuffer empty;
  c = empty;
  ExpectPath(c, u"");
  CPathBuffer d(empty);
  ExpectPath(d, u"");
  const std::u16string full(kCap, u'f');
  CPathBuffer e(full.c_str());
  CPathBuffer f(e);
  ExpectPath(f, full);
  const CPathBuffer& alias = f;
  f = alias;
  ExpectPath(f, full);
}

struct BackslashCase {
  std::u16string before;
  std::u16string after;
};

class AddBackslashTest : public ::testing::TestWithParam<BackslashCase> {};

TEST_P(AddBackslashTest, AddsOnlyWhereNeededAndRoomy) {
  CPathBuffer p(GetParam().before.c_str());
  p.AddBackslash();
  ExpectPath(p, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddBackslashTest,
    ::testing::Values(BackslashCase{u"C:", u"C:\\"}, BackslashCase{u"C:\\", u"C:\\"},
                      BackslashCase{u"", u""}, BackslashCase{u"C:\\a/", u"C:\\a/\\"},
                      BackslashCase{std::u16string(kCap, u'p'), std::u16string(kCap, u'p')},
                      BackslashCase{std::u16string(kCap - 1, u'p'),
                                    std::u16string(kCap - 1, u'p') + u"\\"}));

}  // namespace
}  // namespace orvo::install

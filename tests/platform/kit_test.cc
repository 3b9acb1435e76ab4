// The owner of the resource kit and the result codes that every layer shares.
#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "platform/result.h"
#include "platform/unique.h"

namespace orvo::platform {
namespace {

// A descriptor-like value whose none is -1; every close is recorded.
std::vector<int> g_closed;
void CloseValue(int v) { g_closed.push_back(v); }
struct MinusOneIsNone {
  static constexpr int None() { return -1; }
};
using UniqueValue = UniqueAny<int, &CloseValue, MinusOneIsNone>;
using UniqueNullable = UniqueAny<int, &CloseValue>;  // 0 is none

TEST(UniqueAnyTest, ClosesEachValueOnceAndNeverTheNoneValue) {
  g_closed.clear();
  {
    UniqueValue empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.get(), -1);
    UniqueValue zero(0);  // 0 is a value under this policy
    EXPECT_TRUE(zero);
    UniqueValue a(7);
    a.reset(8);                   // closes 7
    UniqueValue b(std::move(a));  // a gives 8 up
    EXPECT_FALSE(a);
    b = UniqueValue(9);                      // closes 8
    EXPECT_EQ(UniqueValue(5).release(), 5);  // released: never closed
    *b.put() = 11;                           // closes 9, then owns 11
  }                                          // closes 11, then 0; empty and a hold none
  EXPECT_EQ(g_closed, (std::vector<int>{7, 8, 9, 11, 0}));

  g_closed.clear();
  {
    UniqueNullable none(0);
    UniqueNullable one(-1);  // -1 is a value under the default policy
  }
  EXPECT_EQ(g_closed, (std::vector<int>{-1}));
}

TEST(ResultTest, SystemErrorsBecomeFailures) {
  EXPECT_EQ(ResultFromSystemError(0), kResultOk);
  EXPECT_EQ(ResultFromSystemError(kErrorFileNotFound), kResultNotFound);
  EXPECT_EQ(ResultFromSystemError(0x12345), static_cast<Result>(static_cast<int32_t>(0x80072345)));
  EXPECT_EQ(ResultFromSystemError(static_cast<uint32_t>(kResultFail)), kResultFail);
  EXPECT_TRUE(Succeeded(kResultFalse));
  EXPECT_TRUE(Failed(kResultInvalidArg));
  EXPECT_EQ(CallNoThrow([]() -> Result { throw std::bad_alloc(); }), kResultOutOfMemory);
  EXPECT_EQ(CallNoThrow([]() -> Result { throw 1; }), kResultFail);
}

}  // namespace
}  // namespace orvo::platform

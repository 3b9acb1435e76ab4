// The machine-wide lock between two holders. Natively each lock has its own
// descriptor, so two in one process exclude each other like two processes.
#include "platform/machine_lock.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/testing/temp_dir.h"

namespace {

using orvo::platform::MachineLock;

TEST(MachineLockTest, SecondHolderWaitsThenGoesOnWithoutIt) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::u16string path = dir.Path(u"x.lock");
  {
    MachineLock first(u"", path.c_str(), 0);
    ASSERT_TRUE(first.held());
    MachineLock second(u"", path.c_str(), 50);
    EXPECT_FALSE(second.held());
  }
  MachineLock again(u"", path.c_str(), 0);
  EXPECT_TRUE(again.held());
}

TEST(MachineLockTest, UnusablePathIsNotALock) {
  MachineLock none(u"", u"", 0);
  EXPECT_FALSE(none.held());
  MachineLock missing(u"", u"/nonexistent-folder-for-orvo/x.lock", 0);
  EXPECT_FALSE(missing.held());
}

}  // namespace

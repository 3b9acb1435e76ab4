// A reader that meets a save in progress (the file held without sharing by
// another handle) waits for it for about a second instead of failing at once.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/file.h"
#include "store/config_file.h"
#include "store/file_io.h"
#include "store/ref.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;
using orvo::store::InspectConfigFile;

namespace {

using orvo::platform::File;
using orvo::platform::OpenError;
using orvo::platform::OpenMode;
using orvo::platform::RealFileSystem;

class ReaderWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.Path(u"InstallApp.set");
    auto file =
        CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), orvo::platform::kOpenAlways));
    ASSERT_TRUE(file);
    auto key = CfRef<ICfKey>::Adopt(file->OpenKey(u"APP", true));
    ASSERT_TRUE(key && file->Save(nullptr));
  }

  // A handle like the one a save holds.
  std::unique_ptr<File> HoldAsWriter() {
    OpenError error;
    return std::unique_ptr<File>(RealFileSystem()->Open(path_.c_str(), OpenMode::kReadWrite,
                                                        orvo::platform::kOpenExisting, &error));
  }

  orvo::testing::TempDir dir_;
  std::u16string path_;
};

TEST_F(ReaderWaitTest, AReaderWaitsForASaveToFinish) {
  std::unique_ptr<File> writer = HoldAsWriter();
  ASSERT_TRUE(writer);
  std::thread save([&writer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    writer.reset();
  });
  auto file =
      CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), orvo::platform::kOpenExisting));
  save.join();
  ASSERT_TRUE(file);
  auto key = CfRef<ICfKey>::Adopt(file->OpenKey(u"APP", false));
  EXPECT_TRUE(key);
}

TEST_F(ReaderWaitTest, AReaderGivesUpOnAFileThatStaysHeld) {
  std::unique_ptr<File> writer = HoldAsWriter();
  ASSERT_TRUE(writer);
  EXPECT_FALSE(CreateConfigFile(path_.c_str(), orvo::platform::kOpenExisting));
  CfFileReport report;
  EXPECT_FALSE(InspectConfigFile(path_.c_str(), &report, nullptr));
  EXPECT_EQ(report.open_error, OpenError::kSharingViolation);
  writer.reset();
  auto file =
      CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), orvo::platform::kOpenExisting));
  EXPECT_TRUE(file);
}

}  // namespace

// The table of record updates and removals, run on the operations
// themselves: natively in a private folder named by ORVO_COMMON_APPDATA,
// under Wine in the prefix's machine-wide folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "install/external_config.h"
#include "install/operations.h"
#include "platform/file.h"
#include "platform/shell.h"
#include "tests/install/record_life_cases.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace orvo::record_life {
namespace {

const char16_t* Arg(const Text& t) { return t ? t->c_str() : nullptr; }

class Operations : public Channel {
 public:
  Seen Updated(const AppArgs& a) override {
    Seen s{0, -5};
    s.result = install::NotifyApplicationUpdated(
        Arg(a.call_name), Arg(a.name), Arg(a.version), Arg(a.install_dir), Arg(a.main_program_path),
        Arg(a.param), Arg(a.main_icon_path), Arg(a.desc), &s.code);
    return s;
  }
  Seen AppUninstalled(const Text& path) override {
    Seen s{0, -5};
    s.result = install::NotifyApplicationUninstalled(Arg(path), &s.code);
    return s;
  }
  Seen WidgetUninstalled(const Text& name) override {
    Seen s{0, -5};
    s.result = install::NotifyWidgetUninstalled(Arg(name), &s.code);
    return s;
  }
  bool SeesSuccessCodes() const override { return true; }
  std::optional<uint64_t> Broadcasts() const override { return platform::BroadcastCount(); }
};

class RecordLifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    char tmpl[] = "/tmp/orvo-life-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("ORVO_COMMON_APPDATA", dir_.c_str(), 1);
#endif
    install::SetGetConfigForTesting(nullptr);
    std::u16string folder = RegistrationFile();
    folder.resize(folder.size() - std::char_traits<char16_t>::length(install::kRegistrationFile));
    platform::CurrentFileSystem()->CreateFolder(folder.c_str());
  }
  void TearDown() override {
    for (const char16_t* suffix : {u"", u".new", u".old"}) {
      platform::CurrentFileSystem()->Remove((RegistrationFile() + suffix).c_str());
    }
#ifndef _WIN32
    const std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
#endif
  }
  std::string dir_;
};

TEST_F(RecordLifeTest, EveryCaseThroughTheOperations) {
  Operations channel;
  RunCases(channel);
}

// A null error code pointer is accepted on every path.
TEST_F(RecordLifeTest, NullErrorCode) {
  WriteSeed(false);
  EXPECT_EQ(install::NotifyApplicationUninstalled(nullptr, nullptr), kInvalid);
  EXPECT_EQ(install::NotifyWidgetUninstalled(u"none", nullptr), kNothing);
  EXPECT_EQ(install::NotifyWidgetUninstalled(u"Clock", nullptr), kOk);
  EXPECT_EQ(install::NotifyApplicationUninstalled(u"C:\\A\\A.exe", nullptr), kOk);
  EXPECT_EQ(install::NotifyApplicationUpdated(nullptr, u"n", nullptr, nullptr, u"p", nullptr, u"i",
                                              nullptr, nullptr),
            kOk);
}

// Without a file, or without the section, there is nothing to remove and no
// section is made.
TEST_F(RecordLifeTest, NothingToRemoveMakesNoSection) {
  int32_t code = -5;
  EXPECT_EQ(install::NotifyWidgetUninstalled(u"Clock", &code), kNothing);
  EXPECT_EQ(code, kNothing);
  EXPECT_EQ(install::NotifyApplicationUninstalled(u"a.exe", &code), kNothing);
  EXPECT_TRUE(ReadRecords().apps.empty());
  ASSERT_EQ(install::NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w.exe", u"w.ico",
                                           nullptr, 1, 1, nullptr),
            kOk);
  const Bytes before = FileBytes();
  EXPECT_EQ(install::NotifyApplicationUninstalled(u"a.exe", &code), kNothing);
  EXPECT_EQ(FileBytes(), before);
  // An update then a removal by the same path: the removal finds the record
  // that the update wrote.
  EXPECT_EQ(install::NotifyApplicationUpdated(nullptr, u"n", nullptr, nullptr, u"a.exe", nullptr,
                                              u"i", nullptr, &code),
            kOk);
  EXPECT_EQ(ReadRecords().apps.size(), 1u);
  EXPECT_EQ(install::NotifyApplicationUninstalled(u"A.EXE", &code), kOk);
  EXPECT_EQ(code, kOk);
  EXPECT_TRUE(ReadRecords().apps.empty());
}

}  // namespace
}  // namespace orvo::record_life

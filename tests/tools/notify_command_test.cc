// settool's notify commands run the real operations on the machine-wide file
// (here a private folder named by ORVO_COMMON_APPDATA).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/utf.h"
#include "tests/testing/temp_dir.h"
#include "tests/tools/process.h"

namespace {

using orvo::testing::ProcessResult;

class NotifyCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    root_ = dir_.NativePath(u"").string();
    setenv("ORVO_COMMON_APPDATA", root_.c_str(), 1);
  }

  ProcessResult Run(std::vector<std::string> args) {
    ProcessResult r = orvo::testing::RunProcess(SETTOOL_PATH, args, "", root_);
    EXPECT_TRUE(r.started);
    return r;
  }

  std::string File() { return root_ + "/Tamsiver/InstallApp.set"; }

  std::string DumpJson() {
    ProcessResult r = Run({"dump", File(), "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
  }

  orvo::testing::TempDir dir_;
  std::string root_;
};

TEST_F(NotifyCommandTest, ExitCodesFollowTheResult) {
  const std::vector<std::string> app = {
      "notify-app", "--name", "A", "--main-program-path", "C:\\a.exe", "--main-icon-path", "a.ico"};
  ProcessResult r = Run(app);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("result 0x00000000, error code 0"), std::string::npos) << r.out;

  std::vector<std::string> again = app;
  again[4] = "c:\\A.EXE";
  r = Run(again);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.out.find("result 0x00000002, error code 2"), std::string::npos) << r.out;

  r = Run({"notify-app", "--name", "B", "--main-icon-path", "b.ico"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("result 0x80070057, error code 1"), std::string::npos) << r.out;

  r = Run({"notify-widget", "--name", "W", "--main-program-path", "w", "--main-icon-path", "i",
           "--width", "0", "--height", "4"});
  EXPECT_EQ(r.exit_code, 1);

  r = Run({"notify-widget", "--name", "W", "--main-program-path", "w", "--main-icon-path", "i",
           "--width", "-3", "--height", "4"});
  EXPECT_EQ(r.exit_code, 0) << r.err;

  // A name planted beside the file: the save is refused and says why.
  std::filesystem::remove(File() + ".new");
  std::filesystem::create_symlink(root_ + "/elsewhere", File() + ".new");
  r = Run({"notify-app", "--name", "C", "--main-program-path", "c", "--main-icon-path", "c"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("result 0x80070052, error code -2147024814 (0x80070052): not saved, "
                       "nothing broadcast: the file's side file (its name with .new) is in the "
                       "way"),
            std::string::npos)
      << r.out;
  std::filesystem::remove(File() + ".new");

  r = Run({"check-installed"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("installed 1"), std::string::npos);
}

TEST_F(NotifyCommandTest, EmptyOptionIsAnEmptyStringAbsentIsNull) {
  ASSERT_EQ(Run({"notify-app", "--name", "A", "--main-program-path", "p", "--main-icon-path", "i",
                 "--desc", ""})
                .exit_code,
            0);
  const std::string json = DumpJson();
  // "Desc" with just the terminator; no "Version" at all.
  EXPECT_NE(json.find("\"name\": \"Desc\", \"flags\": 3, \"wstring\": \"\""), std::string::npos)
      << json;
  EXPECT_EQ(json.find("\"Version\""), std::string::npos) << json;
}

TEST_F(NotifyCommandTest, UsageErrorsTouchNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"notify-app", "--nmae", "A"},       {"notify-app", "--name"},
      {"notify-widget", "--width", "12x"}, {"notify-widget", "--height", "99999999999"},
      {"check-installed", "extra"},
  };
  for (const auto& args : bad) {
    ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 2) << args[1];
    EXPECT_FALSE(r.err.empty());
  }
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::exists(File(), ec));
}

}  // namespace

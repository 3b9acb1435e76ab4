// settool's notify commands run the real operations on the machine-wide file
// (here a private folder named by ORVO_COMMON_APPDATA).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
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

// A registration's life through the commands: each step's exit status and
// the start of what it prints; then where the records stand.
TEST_F(NotifyCommandTest, UpdateAndUnregisterCommands) {
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* printed;
  } steps[] = {
      {{"update-app", "--name", "A", "--main-program-path", "C:\\a.exe", "--main-icon-path",
        "a.ico", "--desc", "one"},
       0,
       "result 0x00000000, error code 0"},
      {{"update-app", "--name", "A2", "--main-program-path", "c:\\A.exe", "--main-icon-path",
        "a2.ico"},
       0,
       "result 0x00000000, error code 0"},
      {{"update-app", "--name", "A2", "--main-icon-path", "a2.ico"},
       1,
       "result 0x80070057, error code 1"},
      {{"notify-widget", "--name", "Clock", "--main-program-path", "w", "--main-icon-path", "i",
        "--width", "1", "--height", "1"},
       0,
       "result 0x00000000"},
      {{"unregister-widget", "--name", "CLOCK"}, 0, "result 0x00000000, error code 0"},
      {{"unregister-widget", "--name", "Clock"}, 3, "result 0x00000003, error code 3"},
      {{"unregister-widget"}, 1, "result 0x80070057, error code 1"},
      {{"unregister-widget", "--name"}, 2, ""},
      {{"unregister-widget", "--main-program-path", "x"}, 2, ""},
      {{"unregister-app", "--main-program-path", "C:\\b.exe"},
       3,
       "result 0x00000003, error code 3 (0x00000003): no such record"},
      {{"unregister-app", "--name", "A"}, 2, ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[0] + " " + (step.args.size() > 2 ? step.args[2] : ""));
    const ProcessResult r = Run(step.args);
    EXPECT_EQ(r.exit_code, step.exit_code) << r.err;
    EXPECT_EQ(r.out.rfind(step.printed, 0), 0u) << r.out;
  }
  const std::string text = Run({"dump", File()}).out;
  EXPECT_NE(text.find("\"Name\" wstring \"A2\""), std::string::npos) << text;
  EXPECT_EQ(text.find("\"one\""), std::string::npos) << text;  // replaced whole
  EXPECT_EQ(text.find("Clock"), std::string::npos) << text;
  ProcessResult r = Run({"ls", File(), "APP"});
  EXPECT_EQ(r.out, "#1 none 0 bytes\n");
  r = Run({"unregister-app", "--main-program-path", "C:\\A.EXE"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  r = Run({"ls", File(), "APP"});
  EXPECT_EQ(r.out, "");
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

namespace {

// Where the notify commands write, and why they cannot: every case names the
// folder or the file, and a refused call makes nothing.
TEST_F(NotifyCommandTest, TheFileAndWhyItsFolderCannotBeHadAreNamed) {
  const std::string base = dir_.NativePath(u"data").string();
  const std::vector<std::string> app = {
      "notify-app", "--name", "A", "--main-program-path", "C:\\a.exe", "--main-icon-path", "a.ico"};
  const struct {
    const char* name;
    const char* setup;  // "missing", "file", "ok"
    int exit_code;
    std::string out_has;
  } cases[] = {
      {"no application data folder", "missing", 1,
       "result 0x80070003, error code -2147024893 (0x80070003): nothing done: the application "
       "data folder " +
           base + " does not exist\n"},
      {"Tamsiver is a file", "file", 1, "nothing done: " + base + "/Tamsiver is not a folder\n"},
      {"the file written is named", "ok", 0,
       "recorded and broadcast\nfile: " + base + "/Tamsiver/InstallApp.set\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(base);
    if (std::string(c.setup) != "missing") std::filesystem::create_directory(base);
    if (std::string(c.setup) == "file") {
      ASSERT_TRUE(orvo::testing::WriteWholeFile(base + "/Tamsiver", "not a folder"));
    }
    setenv("ORVO_COMMON_APPDATA", base.c_str(), 1);
    const ProcessResult r = Run(app);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
    if (c.exit_code != 0) {
      // Nothing made: no folder, no lock file, the planted file as it was.
      EXPECT_EQ(std::filesystem::exists(base), std::string(c.setup) != "missing");
      if (std::string(c.setup) == "file") {
        EXPECT_EQ(orvo::testing::ReadWholeFile(base + "/Tamsiver"), "not a folder");
      }
    }
    const ProcessResult where = Run({"where"});
    EXPECT_EQ(where.exit_code, 0);
    EXPECT_EQ(where.out, base + "/Tamsiver/InstallApp.set\n");
  }
}

}  // namespace

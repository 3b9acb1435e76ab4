// Several installers at once: 8 processes, each registering 50 applications
// with `settool notify-app` against one registration file. Every call must
// succeed and every record must be there exactly once. And an administrator
// editing the same file with settool beside them: no edit and no
// registration is lost.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/testing/temp_dir.h"
#include "tests/tools/process.h"

using orvo::store::CreateConfigFile;

namespace {

constexpr int kProcesses = 8;
constexpr int kCallsEach = 50;

std::u16string ValueText(ICfKey* record, const char16_t* name) {
  auto value = CfRef<ICfKey>::Adopt(record->FindChild(name, -1, nullptr, false));
  if (!value) return u"";
  std::u16string text(static_cast<size_t>(value->GetValueLength()) / 2, u'\0');
  value->GetValue(text.data(), static_cast<int32_t>(text.size() * 2));
  if (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

TEST(ConcurrentNotifyTest, EveryRecordOfEveryProcessIsKept) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string root = dir.NativePath(u"").string();
  setenv("ORVO_COMMON_APPDATA", root.c_str(), 1);

  std::vector<std::vector<int>> exits(kProcesses);
  std::vector<std::thread> installers;
  for (int p = 0; p < kProcesses; ++p) {
    installers.emplace_back([&, p] {
      const std::string scratch = root + "/io" + std::to_string(p);
      std::filesystem::create_directory(scratch);
      for (int i = 0; i < kCallsEach; ++i) {
        const std::string path = "C:\\P" + std::to_string(p) + "\\app" + std::to_string(i) + ".exe";
        orvo::testing::ProcessResult r = orvo::testing::RunProcess(
            SETTOOL_PATH,
            {"notify-app", "--name", "App", "--main-program-path", path, "--main-icon-path", "i"},
            "", scratch);
        exits[p].push_back(r.started ? r.exit_code : -1);
      }
    });
  }
  for (std::thread& t : installers) t.join();
  for (int p = 0; p < kProcesses; ++p) {
    for (int code : exits[p]) EXPECT_EQ(code, 0) << "process " << p;
  }

  const std::u16string file = dir.Path(u"Tamsiver/InstallApp.set");
  auto config = CfRef<CConfigFile>::Adopt(CreateConfigFile(file.c_str(), 3));
  ASSERT_TRUE(config);
  std::set<std::u16string> paths;
  int records = 0;
  {
    auto apps = CfRef<ICfKey>::Adopt(config->OpenKey(u"APP", false));
    ASSERT_TRUE(apps);
    for (ICfKey* r = apps->GetChildById(1, 0); r != nullptr; r = r->MoveToNextSibling()) {
      ++records;
      paths.insert(ValueText(r, u"MainProgramPath"));
    }
  }
  EXPECT_EQ(records, kProcesses * kCallsEach);
  EXPECT_EQ(paths.size(), static_cast<size_t>(kProcesses * kCallsEach));
}

TEST(ConcurrentNotifyTest, AdministratorsEditsAndRegistrationsKeepEachOther) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string root = dir.NativePath(u"").string();
  setenv("ORVO_COMMON_APPDATA", root.c_str(), 1);
  const std::string file = root + "/Tamsiver/InstallApp.set";
  std::filesystem::create_directory(root + "/Tamsiver");
  constexpr int kInstallers = 2, kCalls = 60, kEdits = 90;
  std::vector<int> exits;
  std::mutex m;
  std::vector<std::thread> threads;
  for (int p = 0; p < kInstallers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string path = "C:\\P" + std::to_string(p) + "\\" + std::to_string(i);
        const auto r = orvo::testing::RunProcess(
            SETTOOL_PATH,
            {"notify-app", "--name", "A", "--main-program-path", path, "--main-icon-path", "i"}, "",
            root);
        std::lock_guard<std::mutex> g(m);
        exits.push_back(r.started ? r.exit_code : -1);
      }
    });
  }
  // The administrator: one edit after another, each its own settool call.
  threads.emplace_back([&] {
    for (int i = 0; i < kEdits; ++i) {
      const std::vector<std::string> args =
          i % 3 == 2 ? std::vector<std::string>{"rm", file, "Admin/N" + std::to_string(i - 1)}
                     : std::vector<std::string>{"set", file, "Admin/N" + std::to_string(i), "--int",
                                                std::to_string(i)};
      const auto r = orvo::testing::RunProcess(SETTOOL_PATH, args, "", root);
      std::lock_guard<std::mutex> g(m);
      exits.push_back(r.started ? r.exit_code : -1);
    }
  });
  for (std::thread& t : threads) t.join();
  for (int code : exits) EXPECT_EQ(code, 0);

  auto config =
      CfRef<CConfigFile>::Adopt(CreateConfigFile(dir.Path(u"Tamsiver/InstallApp.set").c_str(), 3));
  ASSERT_TRUE(config);
  int records = 0;
  {
    auto apps = CfRef<ICfKey>::Adopt(config->OpenKey(u"APP", false));
    ASSERT_TRUE(apps);
    for (ICfKey* r = apps->GetChildById(1, 0); r != nullptr; r = r->MoveToNextSibling()) ++records;
  }
  EXPECT_EQ(records, kInstallers * kCalls);
  for (int i = 0; i < kEdits; ++i) {
    const std::string n = std::to_string(i);
    const std::u16string key = u"Admin/N" + std::u16string(n.begin(), n.end());
    auto k = CfRef<ICfKey>::Adopt(config->OpenKey(key.c_str(), false));
    // Every third edit removed the key the one before it set.
    EXPECT_EQ(static_cast<bool>(k), i % 3 == 0) << "Admin/N" << i;
  }
}

}  // namespace

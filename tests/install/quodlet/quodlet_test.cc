// The install operations with a file object handed out by "Quodlet.dll"
// (a stand-in built beside this program): they use it, save it where it is
// bound, give back only their own reference, and still create both folders.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "install/operations.h"
#include "platform/shell.h"

namespace {

typedef int (*IntFn)();
typedef void (*VoidFn)();

std::wstring Folder() {
  char16_t folder[orvo::platform::kMaxPath] = {};
  EXPECT_TRUE(orvo::platform::CommonAppDataFolder(folder));
  return reinterpret_cast<const wchar_t*>(folder) + std::wstring(L"\\Tamsiver\\");
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class QuodletTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteFileW((Folder() + L"InstallApp.set").c_str());
    DeleteFileW((Folder() + L"Quodlet.set").c_str());
    RemoveDirectoryW((Folder() + L"Temp").c_str());
    module_ = LoadLibraryW(L"Quodlet.dll");
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) Fn<VoidFn>("QuodletShutdown")();
    DeleteFileW((Folder() + L"Quodlet.set").c_str());
  }
  template <class F>
  F Fn(const char* name) {
    F f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  HMODULE module_ = nullptr;
};

TEST_F(QuodletTest, SharedFileObjectIsUsedAndGivenBack) {
  int32_t code = -1;
  EXPECT_EQ(orvo::install::NotifyApplicationInstalled(nullptr, u"A", nullptr, nullptr, u"a.exe",
                                                      nullptr, u"a.ico", nullptr, &code),
            0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(orvo::install::NotifyApplicationInstalled(nullptr, u"A", nullptr, nullptr, u"A.EXE",
                                                      nullptr, u"a.ico", nullptr, &code),
            2);
  EXPECT_EQ(orvo::install::NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w.exe",
                                                 u"w.ico", nullptr, 3, 4, &code),
            0);

  EXPECT_EQ(Fn<IntFn>("QuodletGetConfigCalls")(), 3);
  EXPECT_EQ(Fn<IntFn>("QuodletReferenceCount")(), 1);  // only the component's own
  EXPECT_EQ(Fn<IntFn>("QuodletLiveKeyCount")(), 1);    // only the root key it keeps
  EXPECT_EQ(Fn<IntFn>("QuodletInvariantsHold")(), 1);
  EXPECT_EQ(Fn<IntFn>("QuodletApplicationCount")(), 1);
  EXPECT_TRUE(Exists(Folder() + L"Quodlet.set"));      // saved with a null path
  EXPECT_FALSE(Exists(Folder() + L"InstallApp.set"));  // the composed path is not opened
  EXPECT_TRUE(Exists(Folder() + L"Temp"));
}

}  // namespace

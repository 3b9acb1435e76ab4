// Where OrvoComm.dll takes "Quodlet.dll" from. A stand-in planted in the
// client program's folder or in its current folder is never loaded; one in
// the folder of OrvoComm.dll is. The DLL is loaded afresh for each case (its
// look-up happens once per load) from a folder of its own.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <cwctype>
#include <string>

#include "platform/shell.h"
#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "tests/server/com/server_library.h"

namespace orvo::server {
namespace {

using testing::ServerLibrary;
using testing::TestFolder;

std::wstring Lower(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

// The path of the loaded "Quodlet.dll", or an empty text.
std::wstring LoadedQuodlet() {
  HMODULE q = GetModuleHandleW(L"Quodlet.dll");
  if (q == nullptr) return std::wstring();
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(q, path, MAX_PATH);
  return Lower(path);
}

class QuodletSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_TRUE(LoadedQuodlet().empty());
    CreateDirectoryW(home_.c_str(), nullptr);
    CreateDirectoryW(current_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(testing::ServerPath().c_str(), (home_ + L"OrvoComm.dll").c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    previous_ = previous;
    ASSERT_TRUE(SetCurrentDirectoryW(current_.c_str()));
  }
  void TearDown() override {
    while (HMODULE q = GetModuleHandleW(L"Quodlet.dll")) {
      using VoidFn = void (*)();
      if (auto shutdown = reinterpret_cast<VoidFn>(
              reinterpret_cast<void*>(GetProcAddress(q, "QuodletShutdown")))) {
        shutdown();
      }
      FreeLibrary(q);
    }
    SetCurrentDirectoryW(previous_.c_str());
    for (const std::wstring& folder : {TestFolder(), current_, home_}) {
      DeleteFileW((folder + L"Quodlet.dll").c_str());
    }
    DeleteFileW((home_ + L"OrvoComm.dll").c_str());
    CoUninitialize();
  }

  void Plant(const std::wstring& folder) {
    ASSERT_TRUE(CopyFileW(standin_.c_str(), (folder + L"Quodlet.dll").c_str(), FALSE));
  }

  // Loads OrvoComm.dll from its own folder, records one application and
  // unloads it again (Quodlet.dll, once loaded, stays).
  void Notify() {
    ServerLibrary library(home_ + L"OrvoComm.dll");
    ASSERT_TRUE(library.loaded());
    ComPtr<IClassFactory> factory = library.Factory(CLSID_ICommonInterface);
    ASSERT_TRUE(factory);
    ComPtr<IICommonInterface> common;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IICommonInterface, common.put_void()), S_OK);
    UniqueBstr name(SysAllocString(L"Planted"));
    UniqueBstr exe(SysAllocString(L"C:\\Apps\\planted.exe"));
    UniqueBstr icon(SysAllocString(L"C:\\Apps\\planted.ico"));
    int code = -1;
    const HRESULT hr = common->NotifyApplicationInstalled(
        nullptr, name.get(), nullptr, nullptr, exe.get(), nullptr, icon.get(), nullptr, &code);
    EXPECT_TRUE(hr == S_OK || hr == 2) << std::hex << hr;
    EXPECT_EQ(code, hr);
  }

  const std::wstring home_ = TestFolder() + L"quodlet-home\\";
  const std::wstring current_ = TestFolder() + L"quodlet-current\\";
  const std::wstring standin_ = TestFolder() + L"standin\\Quodlet.dll";
  std::wstring previous_;
};

TEST_F(QuodletSearchTest, PlantedInTheCurrentFolderIsNotLoaded) {
  Plant(current_);
  Notify();
  EXPECT_EQ(LoadedQuodlet(), L"");
}

TEST_F(QuodletSearchTest, PlantedBesideTheProgramIsNotLoaded) {
  Plant(TestFolder());
  Notify();
  EXPECT_EQ(LoadedQuodlet(), L"");
}

TEST_F(QuodletSearchTest, BesideOrvoCommIsUsed) {
  Plant(current_);
  Plant(TestFolder());
  Plant(home_);
  Notify();
  EXPECT_EQ(LoadedQuodlet(), Lower(home_ + L"Quodlet.dll"));
  using IntFn = int (*)();
  auto calls = reinterpret_cast<IntFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"Quodlet.dll"), "QuodletGetConfigCalls")));
  ASSERT_NE(calls, nullptr);
  EXPECT_EQ(calls(), 1);
}

}  // namespace
}  // namespace orvo::server

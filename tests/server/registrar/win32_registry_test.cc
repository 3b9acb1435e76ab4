// The system registry backend, checked against the registry itself (runs on
// Windows or under Wine). Everything is written below a key of its own under
// HKEY_CURRENT_USER\Software (or the user's classes) and removed afterwards.
#include "server/registrar/win32_registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/result.h"
#include "server/registrar/script.h"
#include "tests/server/registrar/registry_dump.h"

namespace orvo::registrar {
namespace {

using testing::Dump;
using Lines = std::vector<std::string>;

constexpr RegistryRoot kHkcu = RegistryRoot::kCurrentUser;

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// A name no other run uses at the same time.
std::u16string UniqueName(const char16_t* prefix) {
  return prefix + std::u16string(u"-") + [] {
    std::u16string digits;
    for (DWORD pid = GetCurrentProcessId(); pid != 0; pid /= 10) {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + pid % 10));
    }
    return digits;
  }();
}

// Reads a string straight from the system, bypassing the backend.
bool SystemString(HKEY root, const std::u16string& path, const wchar_t* name, std::wstring* out) {
  wchar_t buffer[1024];
  DWORD bytes = sizeof(buffer);
  if (RegGetValueW(root, Wide(path), name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  *out = buffer;
  return true;
}

bool SystemKeyExists(HKEY root, const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, Wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, Wide(base_));
    ASSERT_FALSE(SystemKeyExists(HKEY_CURRENT_USER, base_));
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, Wide(base_)); }

  const std::u16string name_ = UniqueName(u"OrvoRegistrarTest");
  const std::u16string base_ = u"Software\\" + name_;
  Win32Registry reg_;
};

TEST_F(Win32RegistryTest, KeysAreCreatedFoundAndDeletedAsTrees) {
  EXPECT_EQ(reg_.KeyExists(kHkcu, base_), kResultFalse);
  ASSERT_EQ(reg_.CreateKey(kHkcu, base_ + u"\\A\\B"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcu, base_ + u"\\C"), kResultOk);
  EXPECT_TRUE(SystemKeyExists(HKEY_CURRENT_USER, base_ + u"\\A\\B"));
  EXPECT_EQ(reg_.KeyExists(kHkcu, base_ + u"\\a\\b"), kResultOk);  // case does not matter
  EXPECT_EQ(reg_.KeyExists(kHkcu, u""), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu, base_), (Lines{"A", "A\\B", "C"}));

  ASSERT_EQ(reg_.SetStringValue(kHkcu, base_ + u"\\A", u"v", u"x"), kResultOk);
  EXPECT_EQ(reg_.DeleteTree(kHkcu, base_ + u"\\A"), kResultOk);
  EXPECT_FALSE(SystemKeyExists(HKEY_CURRENT_USER, base_ + u"\\A"));
  EXPECT_EQ(reg_.DeleteTree(kHkcu, base_ + u"\\A"), kResultNotFound);
  EXPECT_EQ(Dump(reg_, kHkcu, base_), (Lines{"C"}));
}

TEST_F(Win32RegistryTest, StringValuesRoundTrip) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, base_), kResultOk);
  const std::u16string text = u"C:\\Program Files\\Tamsiver\\OrvoComm.dll \u00E9\u4E2D";
  ASSERT_EQ(reg_.SetDefaultValue(kHkcu, base_, text), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, base_, u"ThreadingModel", u"Apartment"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, base_, u"Empty", u""), kResultOk);

  std::wstring system;
  ASSERT_TRUE(SystemString(HKEY_CURRENT_USER, base_, nullptr, &system));
  EXPECT_EQ(system, Wide(text));
  ASSERT_TRUE(SystemString(HKEY_CURRENT_USER, base_, L"threadingmodel", &system));
  EXPECT_EQ(system, L"Apartment");

  std::u16string data;
  ASSERT_EQ(reg_.GetStringValue(kHkcu, base_, u"", &data), kResultOk);
  EXPECT_EQ(data, text);
  ASSERT_EQ(reg_.GetStringValue(kHkcu, base_, u"empty", &data), kResultOk);
  EXPECT_EQ(data, u"");

  EXPECT_EQ(reg_.DeleteValue(kHkcu, base_, u"ThreadingModel"), kResultOk);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, base_, u"ThreadingModel"), kResultNotFound);
  EXPECT_EQ(reg_.GetStringValue(kHkcu, base_, u"ThreadingModel", &data), kResultNotFound);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, base_, u""), kResultOk);
  std::vector<std::u16string> names;
  ASSERT_EQ(reg_.EnumerateValues(kHkcu, base_, &names), kResultOk);
  EXPECT_EQ(names, std::vector<std::u16string>{u"Empty"});
}

TEST_F(Win32RegistryTest, OtherValueTypesAreReportedAsMismatch) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, base_), kResultOk);
  const DWORD number = 5;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, Wide(base_), L"Number", REG_DWORD, &number,
                            sizeof(number)),
            ERROR_SUCCESS);
  std::u16string data = u"kept";
  EXPECT_EQ(reg_.GetStringValue(kHkcu, base_, u"Number", &data), kResultTypeMismatch);
  EXPECT_EQ(data, u"kept");
}

TEST_F(Win32RegistryTest, MissingKeysAndBadPathsGiveClearResults) {
  std::u16string data;
  std::vector<std::u16string> names;
  const std::u16string missing = base_ + u"\\Missing";
  EXPECT_EQ(reg_.SetStringValue(kHkcu, missing, u"v", u"x"), kResultNotFound);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, missing, u"v"), kResultNotFound);
  EXPECT_EQ(reg_.GetStringValue(kHkcu, missing, u"v", &data), kResultNotFound);
  EXPECT_EQ(reg_.EnumerateSubkeys(kHkcu, missing, &names), kResultNotFound);
  EXPECT_EQ(reg_.EnumerateValues(kHkcu, missing, &names), kResultNotFound);
  EXPECT_FALSE(SystemKeyExists(HKEY_CURRENT_USER, missing));
  // A root is never emptied, and malformed paths reach no system call.
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u""), kResultInvalidArg);
  EXPECT_TRUE(SystemKeyExists(HKEY_CURRENT_USER, u"Software"));
  for (const std::u16string& bad : {u"\\" + base_, base_ + u"\\", base_ + u"\\\\A",
                                    base_ + u"\\" + std::u16string(256, u'n')}) {
    EXPECT_EQ(reg_.CreateKey(kHkcu, bad), kResultInvalidArg);
    EXPECT_EQ(reg_.KeyExists(kHkcu, bad), kResultInvalidArg);
    EXPECT_EQ(reg_.DeleteTree(kHkcu, bad), kResultInvalidArg);
  }
  EXPECT_FALSE(SystemKeyExists(HKEY_CURRENT_USER, base_));
}

TEST_F(Win32RegistryTest, ScriptRegistersAndUnregistersInTheSystemRegistry) {
  ScriptRegistrar registrar(&reg_);
  ASSERT_EQ(registrar.AddReplacement(u"MODULE", u"C:\\Tamsiver\\OrvoComm.dll"), kResultOk);
  ASSERT_EQ(registrar.AddReplacement(u"TESTKEY", name_), kResultOk);
  const char16_t script[] =
      u"HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n"
      u"\t\tForceRemove %TESTKEY% = s 'Test Class'\r\n\t\t{\r\n"
      u"\t\t\tForceRemove Programmable\r\n"
      u"\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n"
      u"\t\t\t\tval ThreadingModel = s 'Apartment'\r\n\t\t\t}\r\n"
      u"\t\t\tVersion = s '1.0'\r\n\t\t}\r\n\t}\r\n}\r\n";
  ASSERT_EQ(registrar.Register(script), kResultOk);
  std::wstring system;
  ASSERT_TRUE(SystemString(HKEY_CURRENT_USER, base_, nullptr, &system));
  EXPECT_EQ(system, L"Test Class");
  ASSERT_TRUE(SystemString(HKEY_CURRENT_USER, base_ + u"\\InprocServer32", nullptr, &system));
  EXPECT_EQ(system, L"C:\\Tamsiver\\OrvoComm.dll");
  ASSERT_TRUE(
      SystemString(HKEY_CURRENT_USER, base_ + u"\\InprocServer32", L"ThreadingModel", &system));
  EXPECT_EQ(system, L"Apartment");
  EXPECT_TRUE(SystemKeyExists(HKEY_CURRENT_USER, base_ + u"\\Programmable"));

  // A second registration removes what was added by hand.
  ASSERT_EQ(reg_.SetStringValue(kHkcu, base_, u"ByHand", u"x"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcu, base_ + u"\\Foreign"), kResultOk);
  ASSERT_EQ(registrar.Register(script), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu, base_),
            (Lines{" @=Test Class", "InprocServer32", "InprocServer32 @=C:\\Tamsiver\\OrvoComm.dll",
                   "InprocServer32 ThreadingModel=Apartment", "Programmable", "Version",
                   "Version @=1.0"}));

  ASSERT_EQ(registrar.Unregister(script), kResultOk);
  EXPECT_FALSE(SystemKeyExists(HKEY_CURRENT_USER, base_));
  EXPECT_TRUE(SystemKeyExists(HKEY_CURRENT_USER, u"Software"));
}

TEST_F(Win32RegistryTest, PerUserModeWritesTheUsersClasses) {
  // A class identifier of this run only, so that nothing real is touched.
  const std::u16string clsid = u"{" + name_ + u"}";
  const std::u16string user_key = u"Software\\Classes\\CLSID\\" + clsid;
  RegDeleteTreeW(HKEY_CURRENT_USER, Wide(user_key));
  ScriptRegistrar registrar(&reg_);
  registrar.set_per_user(true);
  ASSERT_EQ(registrar.AddReplacement(u"MODULE", u"C:\\OrvoComm.dll"), kResultOk);
  ASSERT_EQ(registrar.AddReplacement(u"CLSID", clsid), kResultOk);
  const char16_t script[] =
      u"HKCR { NoRemove CLSID { ForceRemove %CLSID% = s 'Test Class' {"
      u" InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Apartment' } } } }";
  ASSERT_EQ(registrar.Register(script), kResultOk);
  std::wstring system;
  ASSERT_TRUE(SystemString(HKEY_CURRENT_USER, user_key + u"\\InprocServer32", nullptr, &system));
  EXPECT_EQ(system, L"C:\\OrvoComm.dll");
  EXPECT_FALSE(SystemKeyExists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\CLSID\\" + clsid));

  ASSERT_EQ(registrar.Unregister(script), kResultOk);
  EXPECT_FALSE(SystemKeyExists(HKEY_CURRENT_USER, user_key));
  EXPECT_TRUE(SystemKeyExists(HKEY_CURRENT_USER, u"Software\\Classes\\CLSID"));
  RegDeleteTreeW(HKEY_CURRENT_USER, Wide(user_key));
}

}  // namespace
}  // namespace orvo::registrar

// Self-registration: the entries that DllRegisterServer, DllUnregisterServer
// and DllInstall write and remove, machine-wide and per user, by direct calls
// and through regsvr32. Every test starts and ends with no registration of
// the module in the prefix.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <string>
#include <vector>

#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "tests/server/com/server_library.h"

namespace orvo::server {
namespace {

using testing::KeyExists;
using testing::kMachineClasses;
using testing::kMachineClassesPath;
using testing::kUserClasses;
using testing::kUserClassesPath;
using testing::ReadString;
using testing::ServerLibrary;
using testing::ServerPath;
using testing::Subkeys;
using testing::ValueNames;

struct ClassEntry {
  const wchar_t* clsid;
  const wchar_t* description;
  bool prog_ids;  // the class has a versioned and a version-independent ProgID
};

const ClassEntry kClassEntries[] = {
    {kICommonInterfaceClsidString, L"ICommonInterface Class", true},
    {kTamsiverCommonInterfaceClsidString, L"TamsiverCommonInterface Class", false},
};

// One side of the class registry: the machine's or the current user's.
struct Classes {
  HKEY root;
  std::wstring path;  // ends in a backslash

  std::wstring Key(const std::wstring& relative) const { return path + relative; }
  bool Has(const std::wstring& relative) const { return KeyExists(root, Key(relative)); }
};

const Classes kMachine{kMachineClasses, kMachineClassesPath};
const Classes kUser{kUserClasses, kUserClassesPath};

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

// The exact entries of one class: no more keys or values than written.
void ExpectClassEntries(const Classes& classes, const ClassEntry& entry,
                        const std::wstring& module_path) {
  SCOPED_TRACE(entry.description);
  const std::wstring key = classes.Key(std::wstring(L"CLSID\\") + entry.clsid);
  ASSERT_TRUE(KeyExists(classes.root, key));
  EXPECT_EQ(ReadString(classes.root, key, L""), entry.description);
  EXPECT_EQ(ValueNames(classes.root, key), std::vector<std::wstring>{L""});
  std::vector<std::wstring> subkeys = {L"INPROCSERVER32", L"PROGRAMMABLE", L"TYPELIB", L"VERSION"};
  if (entry.prog_ids) {
    subkeys = {L"INPROCSERVER32", L"PROGID",  L"PROGRAMMABLE",
               L"TYPELIB",        L"VERSION", L"VERSIONINDEPENDENTPROGID"};
    EXPECT_EQ(ReadString(classes.root, key + L"\\ProgID", L""), kProgId);
    EXPECT_EQ(ReadString(classes.root, key + L"\\VersionIndependentProgID", L""),
              kVersionIndependentProgId);
    // The ProgIDs lead back to the class; the version-independent one names
    // the current version.
    for (const wchar_t* prog_id : {kProgId, kVersionIndependentProgId}) {
      const std::wstring prog_key = classes.Key(prog_id);
      EXPECT_EQ(ReadString(classes.root, prog_key, L""), entry.description) << prog_id;
      EXPECT_EQ(ReadString(classes.root, prog_key + L"\\CLSID", L""), entry.clsid) << prog_id;
      EXPECT_EQ(ValueNames(classes.root, prog_key), std::vector<std::wstring>{L""});
    }
    EXPECT_EQ(Subkeys(classes.root, classes.Key(kProgId)), std::vector<std::wstring>{L"CLSID"});
    EXPECT_EQ(Subkeys(classes.root, classes.Key(kVersionIndependentProgId)),
              (std::vector<std::wstring>{L"CLSID", L"CURVER"}));
    EXPECT_EQ(ReadString(classes.root, classes.Key(kVersionIndependentProgId) + L"\\CurVer", L""),
              kProgId);
  }
  EXPECT_EQ(Subkeys(classes.root, key), subkeys);

  EXPECT_TRUE(Subkeys(classes.root, key + L"\\Programmable").empty());
  EXPECT_TRUE(ValueNames(classes.root, key + L"\\Programmable").empty());

  const std::wstring server = key + L"\\InprocServer32";
  const auto registered_path = ReadString(classes.root, server, L"");
  ASSERT_TRUE(registered_path.has_value());
  EXPECT_EQ(Lower(*registered_path), Lower(module_path));
  EXPECT_EQ(ReadString(classes.root, server, L"ThreadingModel"), L"Apartment");
  EXPECT_EQ(ValueNames(classes.root, server), (std::vector<std::wstring>{L"", L"THREADINGMODEL"}));
  EXPECT_TRUE(Subkeys(classes.root, server).empty());

  EXPECT_EQ(ReadString(classes.root, key + L"\\TypeLib", L""), kLibIdString);
  EXPECT_EQ(ValueNames(classes.root, key + L"\\TypeLib"), std::vector<std::wstring>{L""});
  EXPECT_EQ(ReadString(classes.root, key + L"\\Version", L""), L"1.0");
  EXPECT_EQ(ValueNames(classes.root, key + L"\\Version"), std::vector<std::wstring>{L""});
}

void ExpectNoClassEntries(const Classes& classes) {
  for (const ClassEntry& entry : kClassEntries) {
    EXPECT_FALSE(classes.Has(std::wstring(L"CLSID\\") + entry.clsid)) << entry.description;
  }
  EXPECT_FALSE(classes.Has(kProgId));
  EXPECT_FALSE(classes.Has(kVersionIndependentProgId));
}

std::wstring TypeLibraryPathKey() { return std::wstring(L"TypeLib\\") + kLibIdString + L"\\1.0"; }

// The platform subkey of a registered type library: the module's own.
constexpr const wchar_t* kTypeLibraryPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

// The locale of the calling thread is the same after |call| as before it.
template <typename Call>
void ExpectLocaleKept(Call call) {
  const LCID before = GetThreadLocale();
  const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
  ASSERT_TRUE(SetThreadLocale(german));
  call();
  EXPECT_EQ(GetThreadLocale(), german);
  SetThreadLocale(before);
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::RemoveAllRegistration(); }
  void TearDown() override { testing::RemoveAllRegistration(); }
};

// --- Machine-wide, by direct calls ---------------------------------------------

TEST_F(RegistrationTest, RegisterServerWritesClassesAndTypeLibrary) {
  ServerLibrary server;
  ASSERT_TRUE(server.loaded());
  ASSERT_EQ(server.RegisterServer(), S_OK);
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kMachine, entry, ServerPath());
  ExpectNoClassEntries(kUser);
  // The AppID is handed to the scripts but written nowhere.
  EXPECT_FALSE(kMachine.Has(std::wstring(L"AppID\\") + kAppIdString));
  EXPECT_FALSE(kUser.Has(std::wstring(L"AppID\\") + kAppIdString));
  // The type library is registered with the module's path.
  const auto typelib_path = ReadString(
      kMachineClasses, kMachine.Key(TypeLibraryPathKey() + L"\\0\\" + kTypeLibraryPlatform), L"");
  ASSERT_TRUE(typelib_path.has_value());
  EXPECT_EQ(Lower(*typelib_path), Lower(ServerPath()));
  ComPtr<ITypeLib> library;
  EXPECT_EQ(LoadRegTypeLib(LIBID_OrvoCommLib, 1, 0, LOCALE_NEUTRAL, library.put()), S_OK);
}

TEST_F(RegistrationTest, RegisteringTwiceRemovesWhatWasAddedByHand) {
  ServerLibrary server;
  ASSERT_TRUE(server.loaded());
  ASSERT_EQ(server.RegisterServer(), S_OK);
  for (const ClassEntry& entry : kClassEntries) {
    const std::wstring key = kMachine.Key(std::wstring(L"CLSID\\") + entry.clsid);
    for (const std::wstring& where : {key, key + L"\\InprocServer32", key + L"\\Programmable"}) {
      UniqueHkey added;
      ASSERT_EQ(RegCreateKeyExW(kMachineClasses, (where + L"\\Extra\\Deeper").c_str(), 0, nullptr,
                                0, KEY_WRITE, nullptr, added.put(), nullptr),
                ERROR_SUCCESS);
      UniqueHkey opened;
      ASSERT_EQ(RegOpenKeyExW(kMachineClasses, where.c_str(), 0, KEY_WRITE, opened.put()),
                ERROR_SUCCESS);
      const wchar_t data[] = L"by hand";
      ASSERT_EQ(RegSetValueExW(opened.get(), L"Extra", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(data), sizeof(data)),
                ERROR_SUCCESS);
    }
  }
  ASSERT_EQ(server.RegisterServer(), S_OK);
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kMachine, entry, ServerPath());
}

TEST_F(RegistrationTest, UnregisterServerKeepsTheClsidKey) {
  ServerLibrary server;
  ASSERT_TRUE(server.loaded());
  ASSERT_EQ(server.RegisterServer(), S_OK);
  ASSERT_EQ(server.UnregisterServer(), S_OK);
  ExpectNoClassEntries(kMachine);
  EXPECT_TRUE(kMachine.Has(L"CLSID"));
  EXPECT_FALSE(kMachine.Has(TypeLibraryPathKey()));
  ComPtr<ITypeLib> library;
  EXPECT_NE(LoadRegTypeLib(LIBID_OrvoCommLib, 1, 0, LOCALE_NEUTRAL, library.put()), S_OK);
}

TEST_F(RegistrationTest, ThreadLocaleIsRestored) {
  ServerLibrary server;
  ASSERT_TRUE(server.loaded());
  ExpectLocaleKept([&] { EXPECT_EQ(server.RegisterServer(), S_OK); });
  ExpectLocaleKept([&] { EXPECT_EQ(server.UnregisterServer(), S_OK); });
  ExpectLocaleKept([&] { EXPECT_EQ(server.Install(TRUE, nullptr), S_OK); });
  ExpectLocaleKept([&] { EXPECT_EQ(server.Install(FALSE, nullptr), S_OK); });
  // A failing call restores it too: the type library is no longer there.
  ExpectLocaleKept([&] { EXPECT_TRUE(FAILED(server.UnregisterServer())); });
}

// --- DllInstall and the command line ------------------------------------------

TEST_F(RegistrationTest, InstallForUserInAnyLetterCase) {
  for (const wchar_t* command_line : {L"user", L"USER", L"uSeR"}) {
    SCOPED_TRACE(command_line);
    ServerLibrary server;  // a fresh module: the per-user flag starts cleared
    ASSERT_TRUE(server.loaded());
    ASSERT_EQ(server.Install(TRUE, command_line), S_OK);
    for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kUser, entry, ServerPath());
    ExpectNoClassEntries(kMachine);

    ASSERT_EQ(server.Install(FALSE, command_line), S_OK);
    ExpectNoClassEntries(kUser);
    ExpectNoClassEntries(kMachine);
    EXPECT_TRUE(kUser.Has(L"CLSID"));
  }
}

TEST_F(RegistrationTest, OtherCommandLinesInstallMachineWide) {
  for (const wchar_t* command_line : {L"users", L"user ", L"u", L"", L"/user", L"xuser"}) {
    SCOPED_TRACE(command_line);
    ServerLibrary server;
    ASSERT_TRUE(server.loaded());
    ASSERT_EQ(server.Install(TRUE, command_line), S_OK);
    for (const ClassEntry& entry : kClassEntries) {
      ExpectClassEntries(kMachine, entry, ServerPath());
    }
    ExpectNoClassEntries(kUser);
    ASSERT_EQ(server.Install(FALSE, nullptr), S_OK);
    ExpectNoClassEntries(kMachine);
  }
}

TEST_F(RegistrationTest, UninstallWithoutCommandLineMatchesUnregisterServer) {
  ServerLibrary server;
  ASSERT_TRUE(server.loaded());
  ASSERT_EQ(server.Install(TRUE, nullptr), S_OK);
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kMachine, entry, ServerPath());
  EXPECT_EQ(server.Install(FALSE, nullptr), S_OK);
  ExpectNoClassEntries(kMachine);
  EXPECT_FALSE(kMachine.Has(TypeLibraryPathKey()));
  // Nothing left to remove: the type library step fails, and that failure is
  // the result of both entry points alike.
  const HRESULT again = server.Install(FALSE, nullptr);
  EXPECT_TRUE(FAILED(again));
  EXPECT_EQ(server.UnregisterServer(), again);
}

TEST_F(RegistrationTest, PerUserFlagStaysForLaterCalls) {
  ServerLibrary server;
  ASSERT_TRUE(server.loaded());
  ASSERT_EQ(server.Install(TRUE, L"user"), S_OK);
  ASSERT_EQ(server.Install(FALSE, L"user"), S_OK);
  ExpectNoClassEntries(kUser);

  ASSERT_EQ(server.RegisterServer(), S_OK);  // still per user
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kUser, entry, ServerPath());
  ExpectNoClassEntries(kMachine);
  ASSERT_EQ(server.Install(TRUE, nullptr), S_OK);  // no command line does not clear it
  ExpectNoClassEntries(kMachine);
  ASSERT_EQ(server.UnregisterServer(), S_OK);
  ExpectNoClassEntries(kUser);
}

// --- A type library that cannot be loaded -------------------------------------

// A copy of the module whose type library resource is replaced by bytes that
// no loader accepts; deleted again at the end.
class BrokenTypeLibraryCopy {
 public:
  BrokenTypeLibraryCopy() : path_(testing::TestFolder() + L"OrvoCommBrokenTypeLib.dll") {
    if (!CopyFileW(ServerPath().c_str(), path_.c_str(), FALSE)) return;
    HANDLE update = BeginUpdateResourceW(path_.c_str(), FALSE);
    if (update == nullptr) return;
    char junk[64] = "not a type library";
    const WORD chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    const bool updated =
        UpdateResourceW(update, L"TYPELIB", MAKEINTRESOURCEW(1), chinese, junk, sizeof(junk));
    ready_ = EndUpdateResourceW(update, !updated) && updated;
  }
  ~BrokenTypeLibraryCopy() { DeleteFileW(path_.c_str()); }

  bool ready() const { return ready_; }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  bool ready_ = false;
};

TEST_F(RegistrationTest, FailedTypeLibraryStepOfInstallLeavesNoClassEntries) {
  BrokenTypeLibraryCopy copy;
  ASSERT_TRUE(copy.ready());
  ComPtr<ITypeLib> library;
  const HRESULT load_error = LoadTypeLibEx(copy.path().c_str(), REGKIND_NONE, library.put());
  ASSERT_TRUE(FAILED(load_error));

  for (const wchar_t* command_line : {static_cast<const wchar_t*>(nullptr), L"user"}) {
    SCOPED_TRACE(command_line ? command_line : L"(null)");
    ServerLibrary server(copy.path());
    ASSERT_TRUE(server.loaded());
    ExpectLocaleKept([&] { EXPECT_EQ(server.Install(TRUE, command_line), load_error); });
    ExpectNoClassEntries(kMachine);
    ExpectNoClassEntries(kUser);
  }
}

TEST_F(RegistrationTest, FailedTypeLibraryStepOfRegisterServerKeepsClassEntries) {
  BrokenTypeLibraryCopy copy;
  ASSERT_TRUE(copy.ready());
  ServerLibrary server(copy.path());
  ASSERT_TRUE(server.loaded());
  EXPECT_TRUE(FAILED(server.RegisterServer()));
  // Only DllInstall undoes a failed registration.
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kMachine, entry, copy.path());
}

// --- regsvr32 -------------------------------------------------------------------

int Regsvr32(const std::wstring& options) {
  return testing::RunProcess(testing::Regsvr32() + L" /s " + options + L" " +
                             testing::Quoted(ServerPath()));
}

TEST_F(RegistrationTest, Regsvr32MachineWide) {
  ASSERT_EQ(Regsvr32(L""), 0);
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kMachine, entry, ServerPath());
  ExpectNoClassEntries(kUser);
  EXPECT_TRUE(kMachine.Has(TypeLibraryPathKey()));
  ASSERT_EQ(Regsvr32(L"/u"), 0);
  ExpectNoClassEntries(kMachine);
  EXPECT_FALSE(kMachine.Has(TypeLibraryPathKey()));
}

#ifdef _WIN64
// The 64-bit module registers in the 64-bit view of the registry, where
// 64-bit clients look, and leaves the 32-bit view to the 32-bit module.
TEST_F(RegistrationTest, Regsvr32WritesTheSixtyFourBitView) {
  const auto class_key_in_view = [](REGSAM view) {
    HKEY key = nullptr;
    const std::wstring path = std::wstring(L"Software\\Classes\\CLSID\\") + kClassEntries[0].clsid;
    const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status == ERROR_SUCCESS;
  };
  ASSERT_EQ(Regsvr32(L""), 0);
  EXPECT_TRUE(class_key_in_view(KEY_WOW64_64KEY));
  EXPECT_FALSE(class_key_in_view(KEY_WOW64_32KEY));
  ASSERT_EQ(Regsvr32(L"/u"), 0);
  EXPECT_FALSE(class_key_in_view(KEY_WOW64_64KEY));
}
#endif

TEST_F(RegistrationTest, Regsvr32PerUser) {
  ASSERT_EQ(Regsvr32(L"/n /i:user"), 0);
  for (const ClassEntry& entry : kClassEntries) ExpectClassEntries(kUser, entry, ServerPath());
  ExpectNoClassEntries(kMachine);
  ASSERT_EQ(Regsvr32(L"/u /n /i:user"), 0);
  ExpectNoClassEntries(kUser);
}

// --- Creating objects through COM ------------------------------------------------

class ComApartment {
 public:
  ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

TEST_F(RegistrationTest, ClassesCanBeCreatedOnlyWhileRegistered) {
  ComApartment apartment;
  ASSERT_EQ(apartment.hr(), S_OK);
  ComPtr<IDispatch> object;
  EXPECT_EQ(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             object.put_void()),
            REGDB_E_CLASSNOTREG);

  ASSERT_EQ(Regsvr32(L""), 0);
  ComPtr<IICommonInterface> common;
  ASSERT_EQ(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IICommonInterface, common.put_void()),
            S_OK);
  long installed = 0;
  EXPECT_EQ(common->CheckTamsiverInstalled(&installed), S_OK);
  EXPECT_EQ(installed, 1);
  ComPtr<ITamsiverCommonInterface> tamsiver;
  ASSERT_EQ(CoCreateInstance(CLSID_TamsiverCommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ITamsiverCommonInterface, tamsiver.put_void()),
            S_OK);
  UINT count = 0;
  EXPECT_EQ(tamsiver->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  common.reset();
  tamsiver.reset();
  CoFreeUnusedLibraries();
  ASSERT_EQ(Regsvr32(L"/u"), 0);
}

// Scripts create the class by name (CreateObject, New-Object -ComObject):
// both ProgIDs resolve to it while it is registered, and to nothing after.
TEST_F(RegistrationTest, ProgIdsResolveToTheClassWhileRegistered) {
  ComApartment apartment;
  ASSERT_EQ(apartment.hr(), S_OK);
  CLSID clsid = {};
  EXPECT_EQ(CLSIDFromProgID(kVersionIndependentProgId, &clsid), CO_E_CLASSSTRING);
  ASSERT_EQ(Regsvr32(L""), 0);
  for (const wchar_t* prog_id : {kProgId, kVersionIndependentProgId}) {
    SCOPED_TRACE(prog_id);
    clsid = {};
    ASSERT_EQ(CLSIDFromProgID(prog_id, &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_ICommonInterface));
    ComPtr<IDispatch> object;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()),
        S_OK);
    ComPtr<IICommonInterface2> second;
    EXPECT_EQ(object->QueryInterface(IID_IICommonInterface2, second.put_void()), S_OK);
  }
  LPOLESTR name = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_ICommonInterface, &name), S_OK);
  EXPECT_STREQ(name, kProgId);
  CoTaskMemFree(name);
  CoFreeUnusedLibraries();
  ASSERT_EQ(Regsvr32(L"/u"), 0);
  ExpectNoClassEntries(kMachine);
  EXPECT_EQ(CLSIDFromProgID(kProgId, &clsid), CO_E_CLASSSTRING);
}

}  // namespace
}  // namespace orvo::server

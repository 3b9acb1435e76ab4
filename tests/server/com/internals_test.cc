// Pieces of the server that a client cannot reach through the DLL: the help
// folder rule of type library registration, DllInstall's command-line rule,
// HRESULT helpers, the registry script runner's replacements and the
// interface lists behind QueryInterface.
#include <gtest/gtest.h>
#include <objidl.h>
#include <windows.h>

#include <new>
#include <stdexcept>
#include <string>

#include "server/hresult.h"
#include "server/interface_list.h"
#include "server/registration.h"
#include "server/registry_script.h"
#include "server/type_library_registration.h"

namespace orvo::server {
namespace {

// --- Help folder -----------------------------------------------------------------

TEST(HelpDirectoryTest, FolderPartOfTheHelpFile) {
  const std::wstring long_folder = L"C:\\" + std::wstring(150, L'a') + L"\\";
  const std::wstring long_name = long_folder + std::wstring(200, L'b') + L".chm";
  const std::wstring separator_too_far = L"D:\\" + std::wstring(300, L'c') + L"\\help.chm";
  const struct {
    const wchar_t* help_file;
    bool found;
    std::wstring directory;
  } cases[] = {
      {nullptr, false, L""},
      {L"", false, L""},
      {L"help.chm", false, L""},
      {L"C:\\Docs\\help.chm", true, L"C:\\Docs\\"},
      {L"docs/help.chm", true, L"docs/"},
      {L"C:help.chm", true, L"C:"},
      {L"\\\\server\\share\\manual.hlp", true, L"\\\\server\\share\\"},
      {L"C:\\Docs\\", true, L"C:\\Docs\\"},
      {L"C:\\Docs/sub\\x:y.chm", true, L"C:\\Docs/sub\\x:"},
      // Only the first 259 characters count.
      {long_name.c_str(), true, long_folder},
      {separator_too_far.c_str(), true, L"D:\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.help_file ? std::wstring(c.help_file).substr(0, 40) : L"(null)");
    wchar_t directory[kHelpDirectoryCapacity];
    std::fill(std::begin(directory), std::end(directory), L'#');
    EXPECT_EQ(HelpDirectoryOf(c.help_file, directory), c.found);
    EXPECT_EQ(std::wstring(directory), c.directory);
  }
}

// --- DllInstall's command line ---------------------------------------------------

TEST(PerUserCommandLineTest, OnlyTheWordUserInAnyCase) {
  for (const wchar_t* yes : {L"user", L"USER", L"User", L"uSeR"}) {
    EXPECT_TRUE(IsPerUserCommandLine(yes)) << yes;
  }
  for (const wchar_t* no :
       {L"users", L"user ", L" user", L"use", L"u", L"", L"/i:user", L"user\\", L"usr"}) {
    EXPECT_FALSE(IsPerUserCommandLine(no)) << no;
  }
  EXPECT_FALSE(IsPerUserCommandLine(nullptr));
}

// --- HRESULT helpers --------------------------------------------------------------

TEST(HResultTest, SystemErrorsBecomeWin32Results) {
  EXPECT_EQ(ResultFromSystemError(ERROR_SUCCESS), S_OK);
  EXPECT_EQ(ResultFromSystemError(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
  EXPECT_EQ(ResultFromSystemError(ERROR_OUTOFMEMORY), static_cast<HRESULT>(0x8007000E));
  EXPECT_EQ(ResultFromSystemError(0x12345), static_cast<HRESULT>(0x80072345));
  // Already an HRESULT (negative): kept.
  EXPECT_EQ(ResultFromSystemError(static_cast<DWORD>(E_FAIL)), E_FAIL);

  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(HResultFromLastError(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(HResultFromLastError(), E_FAIL);  // a failure is never reported as success
}

TEST(HResultTest, NoExceptionLeavesCallNoThrow) {
  EXPECT_EQ(CallNoThrow([] { return S_FALSE; }), S_FALSE);
  EXPECT_EQ(CallNoThrow([]() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(CallNoThrow([]() -> HRESULT { throw std::runtime_error("x"); }), E_FAIL);
  EXPECT_EQ(CallNoThrow([]() -> HRESULT { throw 42; }), E_FAIL);
}

HRESULT ReturnsEarly(HRESULT first, bool* reached_end) {
  ORVO_RETURN_IF_FAILED(first);
  *reached_end = true;
  return S_FALSE;
}

TEST(HResultTest, ReturnIfFailed) {
  bool reached = false;
  EXPECT_EQ(ReturnsEarly(E_POINTER, &reached), E_POINTER);
  EXPECT_FALSE(reached);
  EXPECT_EQ(ReturnsEarly(S_FALSE, &reached), S_FALSE);
  EXPECT_TRUE(reached);
}

// A replacement the registrar refuses (a name no script could spell) ends the
// run with the refusal, before any script is looked for or run.
TEST(RegistryScriptTest, ARefusedReplacementIsReported) {
  constexpr UINT kNoSuchScript = 0xFFFF;
  EXPECT_EQ(RunRegistryScript(kNoSuchScript, /*do_register=*/true, {{L"BAD%NAME", L"x"}}),
            E_INVALIDARG);
  EXPECT_EQ(RunRegistryScript(kNoSuchScript, /*do_register=*/true, {{L"", L"x"}}), E_INVALIDARG);
}

// --- Interface lists -------------------------------------------------------------

// An object with two interfaces at different addresses.
class TwoInterfaces : public IPersist, public IClassFactory {
 public:
  using Interfaces = InterfaceList<Entry<IPersist>, Entry<IClassFactory>>;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromList<Interfaces>(this, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return E_NOTIMPL; }

  ULONG count = 1;
};

TEST(InterfaceListTest, EntriesInOrderAndTheFirstAnswersIUnknown) {
  TwoInterfaces object;
  IPersist* persist = &object;
  IClassFactory* factory = &object;
  ASSERT_NE(static_cast<void*>(persist), static_cast<void*>(factory));

  EXPECT_EQ(TwoInterfaces::Interfaces::Find(&object, IID_IPersist), persist);
  EXPECT_EQ(TwoInterfaces::Interfaces::Find(&object, IID_IClassFactory), factory);
  EXPECT_EQ(TwoInterfaces::Interfaces::Find(&object, IID_IUnknown), persist);
  EXPECT_EQ(TwoInterfaces::Interfaces::Find(&object, IID_IDispatch), nullptr);

  void* out = nullptr;
  ASSERT_EQ(object.QueryInterface(IID_IClassFactory, &out), S_OK);
  EXPECT_EQ(out, factory);
  EXPECT_EQ(object.count, 2u);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(object.QueryInterface(IID_IStream, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(object.QueryInterface(IID_IPersist, nullptr), E_POINTER);
  EXPECT_EQ(object.count, 2u);
}

// An entry answered through another base: IUnknown asked of the second list
// gives the first entry's view.
TEST(InterfaceListTest, EntryThroughABase) {
  TwoInterfaces object;
  using ThroughFactory = InterfaceList<Entry<IUnknown, IClassFactory>, Entry<IPersist>>;
  EXPECT_EQ(ThroughFactory::Find(&object, IID_IUnknown),
            static_cast<IUnknown*>(static_cast<IClassFactory*>(&object)));
  EXPECT_EQ(ThroughFactory::Find(&object, IID_IPersist), static_cast<IPersist*>(&object));
}

}  // namespace
}  // namespace orvo::server

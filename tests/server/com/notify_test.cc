// The notify calls end to end: an object created through COM from the
// registered server, called through its method table and by name, records
// applications and widgets in the machine-wide registration file.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "install/record_layout.h"
#include "platform/file.h"
#include "platform/shell.h"
#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/server/com/server_library.h"
#include "tests/testing/registration_records.h"

using orvo::store::CreateConfigFile;

namespace orvo::server {
namespace {

using Values = std::map<std::u16string, std::vector<uint8_t>>;

std::u16string RegistrationFile() {
  char16_t folder[platform::kMaxPath] = {};
  EXPECT_TRUE(platform::CommonAppDataFolder(folder));
  std::u16string path(folder);
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path + install::kSuiteFolder + install::kRegistrationFile;
}

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The records of the registration file: applications in order, widgets by
// key name. A missing file gives none.
using Records = orvo::testing::RegistrationRecords;

Records ReadRecords() { return orvo::testing::ReadRegistrationRecords(RegistrationFile()); }

// A string value as stored: the text with its terminator.
std::vector<uint8_t> Text(const wchar_t* text) {
  std::vector<uint8_t> bytes((wcslen(text) + 1) * 2, 0);
  std::memcpy(bytes.data(), text, wcslen(text) * 2);
  return bytes;
}

std::vector<uint8_t> LittleEndian(int32_t x) {
  const uint32_t u = static_cast<uint32_t>(x);
  return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
          static_cast<uint8_t>(u >> 24)};
}

// Eight distinct texts, in the order of NotifyApplicationInstalled.
struct AppArguments {
  UniqueBstr call_name{SysAllocString(L"setup.exe")};
  UniqueBstr name{SysAllocString(L"Orchard")};
  UniqueBstr version{SysAllocString(L"2.4.1")};
  UniqueBstr install_dir{SysAllocString(L"C:\\Apps\\Orchard")};
  UniqueBstr main_program_path{SysAllocString(L"C:\\Apps\\Orchard\\orchard.exe")};
  UniqueBstr param{SysAllocString(L"--quiet")};
  UniqueBstr main_icon_path{SysAllocString(L"C:\\Apps\\Orchard\\orchard.ico")};
  UniqueBstr desc{SysAllocString(L"Fruit trees")};

  Values Expected() const {
    return {{u"Caller", Text(call_name.get())},
            {u"Name", Text(name.get())},
            {u"Version", Text(version.get())},
            {u"InstallDir", Text(install_dir.get())},
            {u"MainProgramPath", Text(main_program_path.get())},
            {u"Param", Text(param.get())},
            {u"MainIcon", Text(main_icon_path.get())},
            {u"Desc", Text(desc.get())}};
  }
};

VARIANT BstrArg(BSTR value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value;
  return v;
}

VARIANT IntArg(int value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// Calls |name| on |object| with |args| given in the method's order.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args,
                     SCODE* scode) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT found = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(found)) return found;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO exception = {};
  const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    nullptr, &exception, nullptr);
  *scode = exception.scode;
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return hr;
}

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RemoveAllRegistration();
    DeleteFileW(Wide(RegistrationFile()));
    ASSERT_TRUE(server_.loaded());
    ASSERT_EQ(server_.RegisterServer(), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IICommonInterface, common_.put_void()),
              S_OK);
  }
  void TearDown() override {
    common_.reset();
    CoUninitialize();
    EXPECT_EQ(server_.UnregisterServer(), S_OK);
    testing::RemoveAllRegistration();
    DeleteFileW(Wide(RegistrationFile()));
  }

  testing::ServerLibrary server_;
  ComPtr<IICommonInterface> common_;
};

TEST_F(NotifyTest, ApplicationThroughTheMethodTable) {
  AppArguments a;
  int error_code = -7;
  ASSERT_EQ(common_->NotifyApplicationInstalled(a.call_name.get(), a.name.get(), a.version.get(),
                                                a.install_dir.get(), a.main_program_path.get(),
                                                a.param.get(), a.main_icon_path.get(), a.desc.get(),
                                                &error_code),
            S_OK);
  EXPECT_EQ(error_code, 0);
  const Records records = ReadRecords();
  ASSERT_EQ(records.apps.size(), 1u);
  EXPECT_EQ(records.apps[0], a.Expected());

  // The same main program path in other letters: already registered.
  UniqueBstr shouted(SysAllocString(L"c:\\APPS\\orchard\\ORCHARD.EXE"));
  error_code = -7;
  EXPECT_EQ(
      common_->NotifyApplicationInstalled(nullptr, a.name.get(), nullptr, nullptr, shouted.get(),
                                          nullptr, a.main_icon_path.get(), nullptr, &error_code),
      2);
  EXPECT_EQ(error_code, 2);
  EXPECT_EQ(ReadRecords().apps.size(), 1u);
}

TEST_F(NotifyTest, OptionalTextsNullOrEmpty) {
  UniqueBstr name(SysAllocString(L"Bare"));
  UniqueBstr path(SysAllocString(L"C:\\bare.exe"));
  UniqueBstr empty(SysAllocString(L""));
  // No error-code pointer: only the result reports.
  ASSERT_EQ(common_->NotifyApplicationInstalled(nullptr, name.get(), empty.get(), nullptr,
                                                path.get(), nullptr, empty.get(), nullptr, nullptr),
            S_OK);
  const Records records = ReadRecords();
  ASSERT_EQ(records.apps.size(), 1u);
  EXPECT_EQ(records.apps[0], (Values{{u"Name", Text(L"Bare")},
                                     {u"MainProgramPath", Text(L"C:\\bare.exe")},
                                     {u"MainIcon", Text(L"")},
                                     {u"Version", Text(L"")}}));
}

TEST_F(NotifyTest, ApplicationByName) {
  AppArguments a;
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(common_->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  LONG error_code = -7;
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_I4 | VT_BYREF;
  out.plVal = &error_code;
  SCODE scode = 0;
  ASSERT_EQ(InvokeByName(dispatch.get(), L"notifyapplicationinstalled",
                         {BstrArg(a.call_name.get()), BstrArg(a.name.get()),
                          BstrArg(a.version.get()), BstrArg(a.install_dir.get()),
                          BstrArg(a.main_program_path.get()), BstrArg(a.param.get()),
                          BstrArg(a.main_icon_path.get()), BstrArg(a.desc.get()), out},
                         &scode),
            S_OK);
  EXPECT_EQ(error_code, 0);
  const Records records = ReadRecords();
  ASSERT_EQ(records.apps.size(), 1u);
  EXPECT_EQ(records.apps[0], a.Expected());

  // A duplicate is a success code: the call succeeds and the code says 2.
  error_code = -7;
  EXPECT_EQ(InvokeByName(dispatch.get(), L"NotifyApplicationInstalled",
                         {BstrArg(nullptr), BstrArg(a.name.get()), BstrArg(nullptr),
                          BstrArg(nullptr), BstrArg(a.main_program_path.get()), BstrArg(nullptr),
                          BstrArg(a.main_icon_path.get()), BstrArg(nullptr), out},
                         &scode),
            S_OK);
  EXPECT_EQ(error_code, 2);
}

TEST_F(NotifyTest, WidgetByNameWithTenArguments) {
  UniqueBstr caller(SysAllocString(L"widget-setup.exe"));
  UniqueBstr name(SysAllocString(L"Clock"));
  UniqueBstr version(SysAllocString(L"3.0"));
  UniqueBstr dir(SysAllocString(L"C:\\Widgets\\Clock"));
  UniqueBstr path(SysAllocString(L"C:\\Widgets\\Clock\\clock.exe"));
  UniqueBstr icon(SysAllocString(L"C:\\Widgets\\Clock\\clock.ico"));
  UniqueBstr desc(SysAllocString(L"Tells the time"));
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(common_->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  LONG error_code = -7;
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_I4 | VT_BYREF;
  out.plVal = &error_code;
  SCODE scode = 0;
  ASSERT_EQ(InvokeByName(dispatch.get(), L"NotifyWidgetInstalled",
                         {BstrArg(caller.get()), BstrArg(name.get()), BstrArg(version.get()),
                          BstrArg(dir.get()), BstrArg(path.get()), BstrArg(icon.get()),
                          BstrArg(desc.get()), IntArg(-160), IntArg(90), out},
                         &scode),
            S_OK);
  EXPECT_EQ(error_code, 0);
  const Records records = ReadRecords();
  ASSERT_EQ(records.widgets.count(u"Clock"), 1u);
  EXPECT_EQ(records.widgets.at(u"Clock"), (Values{{u"Caller", Text(caller.get())},
                                                  {u"Name", Text(name.get())},
                                                  {u"Version", Text(version.get())},
                                                  {u"InstallDir", Text(dir.get())},
                                                  {u"MainProgramPath", Text(path.get())},
                                                  {u"MainIcon", Text(icon.get())},
                                                  {u"Desc", Text(desc.get())},
                                                  {u"W", LittleEndian(-160)},
                                                  {u"H", LittleEndian(90)}}));

  // A zero height is refused before the file is touched.
  error_code = -7;
  EXPECT_EQ(InvokeByName(dispatch.get(), L"NotifyWidgetInstalled",
                         {BstrArg(nullptr), BstrArg(name.get()), BstrArg(nullptr), BstrArg(nullptr),
                          BstrArg(path.get()), BstrArg(icon.get()), BstrArg(nullptr), IntArg(10),
                          IntArg(0), out},
                         &scode),
            DISP_E_EXCEPTION);
  EXPECT_EQ(scode, E_INVALIDARG);
  EXPECT_EQ(error_code, 1);
}

TEST_F(NotifyTest, FixedAnswersThroughTheMethodTable) {
  long installed = 0;
  EXPECT_EQ(common_->CheckTamsiverInstalled(&installed), S_OK);
  EXPECT_EQ(installed, 1);
  EXPECT_EQ(common_->CheckTamsiverInstalled(nullptr), S_OK);
  UniqueBstr version(SysAllocString(L"9.9"));
  BSTR slots[4] = {version.get(), nullptr, version.get(), nullptr};
  EXPECT_EQ(common_->GetTamsiverInformation(&slots[0], &slots[1], &slots[2], &slots[3]), S_OK);
  EXPECT_EQ(slots[0], version.get());
  EXPECT_EQ(slots[1], nullptr);
  EXPECT_EQ(slots[2], version.get());
  EXPECT_EQ(slots[3], nullptr);
  EXPECT_EQ(common_->GetTamsiverInformation(nullptr, nullptr, nullptr, nullptr), S_OK);
}

}  // namespace
}  // namespace orvo::server

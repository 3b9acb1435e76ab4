// The table of record updates and removals through COM: an object created
// from the registered server, called through IICommonInterface2's method
// table and by name through the IDispatch that CreateObject hands a script.
// Also what a caller of the first interface still sees, and how it reaches
// the second one.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <string>
#include <vector>

#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "tests/install/record_life_cases.h"
#include "tests/server/com/server_library.h"

namespace orvo::server {
namespace {

using record_life::AppArgs;
using record_life::Seen;
using record_life::Text;

BSTR Make(const Text& text) {
  if (!text) return nullptr;
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text->data()),
                           static_cast<UINT>(text->size()));
}

// Owns the strings of one call.
class Strings {
 public:
  BSTR operator()(const Text& text) {
    owned_.emplace_back(Make(text));
    return owned_.back().get();
  }

 private:
  std::vector<UniqueBstr> owned_;
};

// Through the method table of IICommonInterface2 (slots 11 to 13).
class BySlot : public record_life::Channel {
 public:
  explicit BySlot(IICommonInterface2* object) : object_(object) {}
  Seen Updated(const AppArgs& a) override {
    Strings s;
    int code = -5;
    const HRESULT hr = object_->NotifyApplicationUpdated(
        s(a.call_name), s(a.name), s(a.version), s(a.install_dir), s(a.main_program_path),
        s(a.param), s(a.main_icon_path), s(a.desc), &code);
    return {hr, code};
  }
  Seen AppUninstalled(const Text& path) override {
    Strings s;
    int code = -5;
    const HRESULT hr = object_->NotifyApplicationUninstalled(s(path), &code);
    return {hr, code};
  }
  Seen WidgetUninstalled(const Text& name) override {
    Strings s;
    int code = -5;
    const HRESULT hr = object_->NotifyWidgetUninstalled(s(name), &code);
    return {hr, code};
  }
  bool SeesSuccessCodes() const override { return true; }

 private:
  IICommonInterface2* object_;
};

// By name through IDispatch: GetIDsOfNames, then Invoke with the arguments
// in reverse and the error code as a variable passed by reference. A
// failure arrives as DISP_E_EXCEPTION carrying the result.
class ByName : public record_life::Channel {
 public:
  explicit ByName(IDispatch* object) : object_(object) {}
  Seen Updated(const AppArgs& a) override {
    return Call(L"NotifyApplicationUpdated",
                {a.call_name, a.name, a.version, a.install_dir, a.main_program_path, a.param,
                 a.main_icon_path, a.desc});
  }
  Seen AppUninstalled(const Text& path) override {
    return Call(L"NotifyApplicationUninstalled", {path});
  }
  Seen WidgetUninstalled(const Text& name) override {
    return Call(L"nOTIFYwIDGETuNINSTALLED", {name});
  }
  bool SeesSuccessCodes() const override { return false; }

 private:
  Seen Call(const wchar_t* name, const std::vector<Text>& texts) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT found = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    EXPECT_EQ(found, S_OK) << "no method " << name;
    if (FAILED(found)) return {found, -5};
    Strings s;
    LONG code = -5;
    std::vector<VARIANT> args(texts.size() + 1);
    // Reversed: the error code first.
    VariantInit(&args[0]);
    args[0].vt = VT_I4 | VT_BYREF;
    args[0].plVal = &code;
    for (size_t i = 0; i < texts.size(); ++i) {
      VARIANT& v = args[texts.size() - i];
      VariantInit(&v);
      v.vt = VT_BSTR;
      v.bstrVal = s(texts[i]);
    }
    DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    EXCEPINFO exception = {};
    UINT arg_error = 0;
    UniqueVariant result;
    HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                 &result, &exception, &arg_error);
    if (hr == DISP_E_EXCEPTION) {
      if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
      hr = exception.scode;
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return {hr, static_cast<int32_t>(code)};
  }

  IDispatch* object_;
};

class RecordLifeComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RemoveAllRegistration();
    ASSERT_TRUE(server_.loaded());
    ASSERT_EQ(server_.RegisterServer(), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               dispatch_.put_void()),
              S_OK);
  }
  void TearDown() override {
    dispatch_.reset();
    CoUninitialize();
    for (const char16_t* suffix : {u"", u".new", u".old"}) {
      DeleteFileW(
          reinterpret_cast<const wchar_t*>((record_life::RegistrationFile() + suffix).c_str()));
    }
    EXPECT_EQ(server_.UnregisterServer(), S_OK);
    testing::RemoveAllRegistration();
  }

  testing::ServerLibrary server_;
  ComPtr<IDispatch> dispatch_;
};

TEST_F(RecordLifeComTest, EveryCaseThroughTheMethodTable) {
  ComPtr<IICommonInterface2> second;
  ASSERT_EQ(dispatch_->QueryInterface(IID_IICommonInterface2, second.put_void()), S_OK);
  BySlot channel(second.get());
  record_life::RunCases(channel);
}

TEST_F(RecordLifeComTest, EveryCaseByName) {
  ByName channel(dispatch_.get());
  record_life::RunCases(channel);
}

// One method table serves IUnknown, IDispatch and both interfaces: a client
// of the first interface calls the same slots as before.
TEST_F(RecordLifeComTest, OneMethodTableForBothInterfaces) {
  ComPtr<IICommonInterface> first;
  ComPtr<IICommonInterface2> second;
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(dispatch_->QueryInterface(IID_IICommonInterface, first.put_void()), S_OK);
  ASSERT_EQ(first->QueryInterface(IID_IICommonInterface2, second.put_void()), S_OK);
  ASSERT_EQ(second->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
  EXPECT_EQ(static_cast<void*>(first.get()), static_cast<void*>(second.get()));
  EXPECT_EQ(static_cast<void*>(dispatch_.get()), static_cast<void*>(second.get()));
  EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(second.get()));
  long installed = 0;
  EXPECT_EQ(first->CheckTamsiverInstalled(&installed), S_OK);
  EXPECT_EQ(installed, 1);

  // The second class does not serve it.
  ComPtr<IDispatch> tamsiver;
  ASSERT_EQ(CoCreateInstance(CLSID_TamsiverCommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IDispatch, tamsiver.put_void()),
            S_OK);
  ComPtr<IICommonInterface2> none;
  EXPECT_EQ(tamsiver->QueryInterface(IID_IICommonInterface2, none.put_void()), E_NOINTERFACE);
  EXPECT_FALSE(none);
}

// By name all seven methods are found, the first four with their old
// identifiers; the type information that IDispatch hands out describes
// IICommonInterface2, derived from IICommonInterface.
TEST_F(RecordLifeComTest, NamesOfBothVersions) {
  const struct {
    const wchar_t* name;
    DISPID id;
  } names[] = {{L"CheckTamsiverInstalled", 1},       {L"GetTamsiverInformation", 2},
               {L"NotifyApplicationInstalled", 3},   {L"NotifyWidgetInstalled", 4},
               {L"NotifyApplicationUpdated", 5},     {L"NotifyApplicationUninstalled", 6},
               {L"notifyapplicationuninstalled", 6}, {L"NotifyWidgetUninstalled", 7}};
  for (const auto& n : names) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR list[] = {const_cast<LPOLESTR>(n.name)};
    EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, list, 1, LOCALE_USER_DEFAULT, &id), S_OK)
        << n.name;
    EXPECT_EQ(id, n.id) << n.name;
  }
  LPOLESTR with_parameter[] = {const_cast<LPOLESTR>(L"NotifyWidgetUninstalled"),
                               const_cast<LPOLESTR>(L"npErrorCode")};
  DISPID ids[2] = {};
  ASSERT_EQ(dispatch_->GetIDsOfNames(IID_NULL, with_parameter, 2, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 7);
  EXPECT_EQ(ids[1], 1);

  ComPtr<ITypeInfo> info;
  ASSERT_EQ(dispatch_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
  HREFTYPE ref = 0;
  ASSERT_EQ(info->GetRefTypeOfImplType(-1, &ref), S_OK);
  ComPtr<ITypeInfo> vtable;
  ASSERT_EQ(info->GetRefTypeInfo(ref, vtable.put()), S_OK);
  ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> base;
  ASSERT_EQ(vtable->GetRefTypeInfo(ref, base.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(base->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IICommonInterface));
  base->ReleaseTypeAttr(attr);
}

}  // namespace
}  // namespace orvo::server

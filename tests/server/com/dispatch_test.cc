// Late-bound calls through IDispatch, served from the registered type
// library: the loader's error while the library is not registered, name
// lookup, invocation with its argument checks, and both classes.
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

using testing::ServerLibrary;

// Arguments of an Invoke call, given in the method's order and handed over
// in reverse as IDispatch wants them.
class Arguments {
 public:
  Arguments& Bstr(BSTR value) {  // owned by the caller
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = value;
    args_.push_back(v);
    return *this;
  }
  Arguments& Int(int value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    args_.push_back(v);
    return *this;
  }
  Arguments& IntOut(LONG* target) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4 | VT_BYREF;
    v.plVal = target;
    args_.push_back(v);
    return *this;
  }
  Arguments& BstrInOut(BSTR* target) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR | VT_BYREF;
    v.pbstrVal = target;
    args_.push_back(v);
    return *this;
  }
  Arguments& Any(const VARIANT& v) {
    args_.push_back(v);
    return *this;
  }

  DISPPARAMS Params() {
    reversed_.assign(args_.rbegin(), args_.rend());
    return DISPPARAMS{reversed_.data(), nullptr, static_cast<UINT>(reversed_.size()), 0};
  }

 private:
  std::vector<VARIANT> args_;
  std::vector<VARIANT> reversed_;
};

struct InvokeResult {
  HRESULT hr;
  SCODE scode;  // from the EXCEPINFO when hr is DISP_E_EXCEPTION
  UINT arg_error;
};

InvokeResult Invoke(IDispatch* object, DISPID id, Arguments& args) {
  DISPPARAMS params = args.Params();
  EXCEPINFO exception = {};
  UINT arg_error = 0xFFFF;
  UniqueVariant result;
  InvokeResult out{object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  &result, &exception, &arg_error),
                   0, arg_error};
  if (out.hr == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
    out.scode = exception.scode ? exception.scode : exception.wCode;
  }
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return out;
}

HRESULT IdOf(IDispatch* object, const wchar_t* name, DISPID* id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RemoveAllRegistration();
    ASSERT_TRUE(server_.loaded());
  }
  void TearDown() override { testing::RemoveAllRegistration(); }

  // A plain object of |clsid| seen through IDispatch.
  ComPtr<IDispatch> Create(REFCLSID clsid) {
    ComPtr<IDispatch> object;
    ComPtr<IClassFactory> factory = server_.Factory(clsid);
    EXPECT_TRUE(factory);
    if (factory) factory->CreateInstance(nullptr, IID_IDispatch, object.put_void());
    return object;
  }

  ServerLibrary server_;
};

// Registered before each test.
class RegisteredDispatchTest : public DispatchTest {
 protected:
  void SetUp() override {
    DispatchTest::SetUp();
    ASSERT_EQ(server_.RegisterServer(), S_OK);
    common_ = Create(CLSID_ICommonInterface);
    tamsiver_ = Create(CLSID_TamsiverCommonInterface);
    ASSERT_TRUE(common_);
    ASSERT_TRUE(tamsiver_);
  }
  void TearDown() override {
    common_.reset();
    tamsiver_.reset();
    EXPECT_EQ(server_.UnregisterServer(), S_OK);
    DispatchTest::TearDown();
  }

  ComPtr<IDispatch> common_;
  ComPtr<IDispatch> tamsiver_;
};

// --- Before and after registration ---------------------------------------------

TEST_F(DispatchTest, LoaderErrorUntilRegisteredThenWorksWithoutReloading) {
  ComPtr<ITypeLib> library;
  const HRESULT loader_error =
      LoadRegTypeLib(LIBID_OrvoCommLib, 1, 0, LOCALE_USER_DEFAULT, library.put());
  ASSERT_TRUE(FAILED(loader_error));

  ComPtr<IDispatch> common = Create(CLSID_ICommonInterface);
  ComPtr<IDispatch> tamsiver = Create(CLSID_TamsiverCommonInterface);
  ASSERT_TRUE(common);
  ASSERT_TRUE(tamsiver);
  for (IDispatch* object : {common.get(), tamsiver.get()}) {
    UINT count = 0;
    EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);  // needs no type information
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), loader_error);
    EXPECT_EQ(info, nullptr);
    DISPID id = 0;
    EXPECT_EQ(IdOf(object, L"CheckTamsiverInstalled", &id), loader_error);
    EXPECT_EQ(IdOf(object, L"CheckTamsiverInstalled", &id), loader_error);  // nothing cached
    LONG installed = 0;
    Arguments args;
    args.IntOut(&installed);
    EXPECT_EQ(Invoke(object, 1, args).hr, loader_error);
    EXPECT_EQ(installed, 0);
  }

  // Registered from the same loaded module: the next call finds it.
  ASSERT_EQ(server_.RegisterServer(), S_OK);
  DISPID id = 0;
  EXPECT_EQ(IdOf(common.get(), L"CheckTamsiverInstalled", &id), S_OK);
  EXPECT_EQ(id, 1);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(tamsiver->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
  EXPECT_TRUE(info);
  common.reset();
  tamsiver.reset();
  EXPECT_EQ(server_.UnregisterServer(), S_OK);
}

// --- Type information ---------------------------------------------------------------

TEST_F(RegisteredDispatchTest, TypeInfoOfEachInterface) {
  const struct {
    IDispatch* object;
    const IID* iid;
    const wchar_t* name;
  } cases[] = {{common_.get(), &IID_IICommonInterface2, L"IICommonInterface2"},
               {tamsiver_.get(), &IID_ITamsiverCommonInterface, L"ITamsiverCommonInterface"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(c.object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, *c.iid));
    info->ReleaseTypeAttr(attr);
    UniqueBstr name;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name.get(), c.name);
    // Loaded once and shared: every call hands out the same information.
    ComPtr<ITypeInfo> again;
    ASSERT_EQ(c.object->GetTypeInfo(0, LOCALE_NEUTRAL, again.put()), S_OK);
    EXPECT_EQ(info.get(), again.get());
    EXPECT_EQ(c.object->GetTypeInfo(1, LOCALE_USER_DEFAULT, again.put()), DISP_E_BADINDEX);
    EXPECT_FALSE(again);
  }
}

// --- Names ------------------------------------------------------------------------------

TEST_F(RegisteredDispatchTest, MethodNamesInAnyLetterCase) {
  const struct {
    const wchar_t* name;
    DISPID id;
  } cases[] = {
      {L"CheckTamsiverInstalled", 1},     {L"checktamsiverinstalled", 1},
      {L"GetTamsiverInformation", 2},     {L"GETTAMSIVERINFORMATION", 2},
      {L"NotifyApplicationInstalled", 3}, {L"nOTIFYaPPLICATIONiNSTALLED", 3},
      {L"NotifyWidgetInstalled", 4},      {L"notifywidgetINSTALLED", 4},
  };
  for (const auto& c : cases) {
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(IdOf(common_.get(), c.name, &id), S_OK) << c.name;
    EXPECT_EQ(id, c.id) << c.name;
  }
}

TEST_F(RegisteredDispatchTest, ParameterNamesAfterTheMethod) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"NotifyWidgetInstalled"),
                      const_cast<LPOLESTR>(L"niHeight"), const_cast<LPOLESTR>(L"NSNAME"),
                      const_cast<LPOLESTR>(L"npErrorCode")};
  DISPID ids[4] = {};
  ASSERT_EQ(common_->GetIDsOfNames(IID_NULL, names, 4, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 4);
  EXPECT_EQ(ids[1], 8);  // parameters are numbered by position
  EXPECT_EQ(ids[2], 1);
  EXPECT_EQ(ids[3], 9);
}

TEST_F(RegisteredDispatchTest, UnknownNamesFail) {
  for (const wchar_t* name : {L"Notify", L"CheckTamsiverInstalledX", L"bVal", L""}) {
    DISPID id = 0;
    EXPECT_EQ(IdOf(common_.get(), name, &id), DISP_E_UNKNOWNNAME) << name;
    EXPECT_EQ(id, DISPID_UNKNOWN) << name;
  }
  // The second class has no members of its own to find.
  for (const wchar_t* name : {L"CheckTamsiverInstalled", L"NotifyWidgetInstalled",
                              L"notifywidgetinstalled", L"Anything"}) {
    DISPID id = 0;
    EXPECT_TRUE(FAILED(IdOf(tamsiver_.get(), name, &id))) << name;
  }
}

// --- Invoke --------------------------------------------------------------------------------

TEST_F(RegisteredDispatchTest, CheckTamsiverInstalledByName) {
  DISPID id = 0;
  ASSERT_EQ(IdOf(common_.get(), L"checkTamsiverInstalled", &id), S_OK);
  LONG installed = -1;
  Arguments args;
  args.IntOut(&installed);
  EXPECT_EQ(Invoke(common_.get(), id, args).hr, S_OK);
  EXPECT_EQ(installed, 1);  // the integer 1, not the automation boolean
}

TEST_F(RegisteredDispatchTest, GetTamsiverInformationLeavesItsArguments) {
  UniqueBstr texts[4] = {UniqueBstr(SysAllocString(L"1.2")), UniqueBstr(),
                         UniqueBstr(SysAllocString(L"icon")), UniqueBstr(SysAllocString(L""))};
  BSTR slots[4];
  for (int i = 0; i < 4; ++i) slots[i] = texts[i].get();
  Arguments args;
  for (BSTR& slot : slots) args.BstrInOut(&slot);
  EXPECT_EQ(Invoke(common_.get(), 2, args).hr, S_OK);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(slots[i], texts[i].get()) << i;
  EXPECT_STREQ(slots[0], L"1.2");
}

TEST_F(RegisteredDispatchTest, NotifyFailuresArriveAsExceptionsWithTheCode) {
  UniqueBstr name(SysAllocString(L"Clock"));
  UniqueBstr path(SysAllocString(L"C:\\Widgets\\clock.exe"));
  UniqueBstr icon(SysAllocString(L"C:\\Widgets\\clock.ico"));

  // A zero width: the operation refuses with E_INVALIDARG and error code 1.
  LONG error_code = -7;
  Arguments widget;
  widget.Bstr(nullptr).Bstr(name.get()).Bstr(nullptr).Bstr(nullptr).Bstr(path.get());
  widget.Bstr(icon.get()).Bstr(nullptr).Int(0).Int(24).IntOut(&error_code);
  InvokeResult result = Invoke(common_.get(), 4, widget);
  EXPECT_EQ(result.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(result.scode, E_INVALIDARG);
  EXPECT_EQ(error_code, 1);

  // A null name (an automation string that is not given).
  error_code = -7;
  Arguments app;
  app.Bstr(nullptr).Bstr(nullptr).Bstr(nullptr).Bstr(nullptr).Bstr(path.get());
  app.Bstr(nullptr).Bstr(icon.get()).Bstr(nullptr).IntOut(&error_code);
  result = Invoke(common_.get(), 3, app);
  EXPECT_EQ(result.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(result.scode, E_INVALIDARG);
  EXPECT_EQ(error_code, 1);
}

TEST_F(RegisteredDispatchTest, BadCallsNeverReachTheMethod) {
  UniqueBstr text(SysAllocString(L"x"));
  LONG error_code = -7;

  Arguments too_few;  // nine of ten
  too_few.Bstr(text.get()).Bstr(text.get()).Bstr(text.get()).Bstr(text.get());
  too_few.Bstr(text.get()).Bstr(text.get()).Bstr(text.get()).Int(1).IntOut(&error_code);
  EXPECT_EQ(Invoke(common_.get(), 4, too_few).hr, DISP_E_BADPARAMCOUNT);

  ComPtr<IUnknown> not_a_string(common_.get());
  VARIANT object;
  VariantInit(&object);
  object.vt = VT_UNKNOWN;
  object.punkVal = not_a_string.get();
  Arguments mismatch;
  mismatch.Bstr(text.get()).Any(object).Bstr(text.get()).Bstr(text.get()).Bstr(text.get());
  mismatch.Bstr(text.get()).Bstr(text.get()).Int(1).Int(1).IntOut(&error_code);
  const InvokeResult result = Invoke(common_.get(), 4, mismatch);
  EXPECT_EQ(result.hr, DISP_E_TYPEMISMATCH);

  Arguments none;
  EXPECT_EQ(Invoke(common_.get(), 99, none).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(error_code, -7);
}

TEST_F(RegisteredDispatchTest, SecondClassHasNothingToInvoke) {
  for (DISPID id : {1, 2, 3, 4, 99}) {
    Arguments none;
    EXPECT_EQ(Invoke(tamsiver_.get(), id, none).hr, DISP_E_MEMBERNOTFOUND) << id;
  }
}

TEST_F(RegisteredDispatchTest, AggregatedObjectDispatchesToo) {
  // An outer object that hands out nothing but itself.
  struct Outer final : public IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      if (IsEqualIID(iid, IID_IUnknown)) {
        *out = this;
        return S_OK;
      }
      *out = nullptr;
      return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
  } outer;
  ComPtr<IClassFactory> factory = server_.Factory(CLSID_ICommonInterface);
  ASSERT_TRUE(factory);
  ComPtr<IUnknown> inner;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, inner.put_void()), S_OK);
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(inner->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  DISPID id = 0;
  ASSERT_EQ(IdOf(dispatch.get(), L"CheckTamsiverInstalled", &id), S_OK);
  LONG installed = 0;
  Arguments args;
  args.IntOut(&installed);
  EXPECT_EQ(Invoke(dispatch.get(), id, args).hr, S_OK);
  EXPECT_EQ(installed, 1);
}

}  // namespace
}  // namespace orvo::server

// The shared type information of a dual interface when its name cache cannot
// be built (no memory): names are looked up and methods invoked through the
// loaded type information all the same. The holder is linked into this
// program, whose array allocations can be made to fail; the type library is
// the one OrvoComm.dll registers.
#include "server/type_info_holder.h"

#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <cstdlib>
#include <new>

#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "tests/server/com/server_library.h"

namespace {
bool g_fail_array_allocations = false;
}  // namespace

// The holder's name cache is an array allocated without exceptions.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_fail_array_allocations) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace orvo::server {
namespace {

// Static like the server's own holders: the module releases what it loaded
// when the program ends.
TypeInfoHolder g_holder(IID_IICommonInterface);

TEST(TypeInfoHolderTest, WithoutNameCacheTheTypeInformationAnswers) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  testing::RemoveAllRegistration();
  {
    testing::ServerLibrary server;
    ASSERT_TRUE(server.loaded());
    ASSERT_EQ(server.RegisterServer(), S_OK);
    ComPtr<IClassFactory> factory = server.Factory(CLSID_ICommonInterface);
    ASSERT_TRUE(factory);
    ComPtr<IICommonInterface> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IICommonInterface, object.put_void()), S_OK);

    TypeInfoHolder& holder = g_holder;
    g_fail_array_allocations = true;
    for (int call = 0; call < 2; ++call) {  // the cache stays absent: every call
      wchar_t name[] = L"NotifyWidgetInstalled";
      LPOLESTR names[] = {name};
      DISPID id = 0;
      EXPECT_EQ(holder.GetIDsOfNames(names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
      EXPECT_EQ(id, 4);

      LONG installed = 0;
      VARIANT out;
      VariantInit(&out);
      out.vt = VT_I4 | VT_BYREF;
      out.plVal = &installed;
      DISPPARAMS params = {&out, nullptr, 1, 0};
      VARIANT result;
      VariantInit(&result);
      EXPECT_EQ(holder.Invoke(object.get(), 1, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                              &result, nullptr, nullptr),
                S_OK);
      EXPECT_EQ(installed, 1);  // CheckTamsiverInstalled ran
    }
    g_fail_array_allocations = false;
    object.reset();
    factory.reset();
    EXPECT_EQ(server.UnregisterServer(), S_OK);
  }
  testing::RemoveAllRegistration();
  CoUninitialize();
}

}  // namespace
}  // namespace orvo::server

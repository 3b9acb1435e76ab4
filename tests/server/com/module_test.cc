// The module as a COM client sees it without registration: class objects,
// object creation with and without aggregation, interface queries, reference
// and lock counts, and the parts of IDispatch that need no type library.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <ocidl.h>
#include <windows.h>

#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "tests/server/com/server_library.h"

namespace orvo::server {
namespace {

using testing::ServerLibrary;

struct ClassCase {
  const char* name;
  const CLSID* clsid;
  const IID* own;    // the class's dual interface
  const IID* other;  // the other class's interface
};

const ClassCase kClasses[] = {
    {"ICommonInterface", &CLSID_ICommonInterface, &IID_IICommonInterface,
     &IID_ITamsiverCommonInterface},
    {"TamsiverCommonInterface", &CLSID_TamsiverCommonInterface, &IID_ITamsiverCommonInterface,
     &IID_IICommonInterface},
};

// An outer object for aggregation: counts its own references and answers
// every query for an interface other than IUnknown with E_NOINTERFACE.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    ++queries;
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }

  ULONG count = 1;  // owned by the test, never deleted through Release
  int queries = 0;
};

// --- Class objects -------------------------------------------------------------

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.loaded()) << "cannot load OrvoComm.dll"; }

  ServerLibrary server_;
};

TEST_F(ModuleTest, UnloadableRightAfterLoading) { EXPECT_EQ(server_.CanUnloadNow(), S_OK); }

TEST_F(ModuleTest, UnknownClassIsNotAvailable) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(server_.GetClassObject(IID_IICommonInterface, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(server_.GetClassObject(GUID_NULL, IID_IUnknown, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ModuleTest, NullOutPointerForClassObject) {
  EXPECT_EQ(server_.GetClassObject(CLSID_ICommonInterface, IID_IClassFactory, nullptr), E_POINTER);
}

class ClassObjectTest : public ModuleTest, public ::testing::WithParamInterface<ClassCase> {
 protected:
  REFCLSID clsid() const { return *GetParam().clsid; }
};

TEST_P(ClassObjectTest, SameCachedObjectForEveryRequest) {
  ComPtr<IClassFactory> first = server_.Factory(clsid());
  ComPtr<IClassFactory> second = server_.Factory(clsid());
  ASSERT_TRUE(first);
  EXPECT_EQ(first.get(), second.get());
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(server_.GetClassObject(clsid(), IID_IUnknown, unknown.put_void()), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(first.get()), unknown.get());
}

TEST_P(ClassObjectTest, ServesClassFactoryOnly) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(server_.GetClassObject(clsid(), IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory2, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  // The refused first request still leaves the class object cached and the
  // module unlocked once the client lets go.
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

TEST_P(ClassObjectTest, ClientReferencesLockTheModuleOnce) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  ComPtr<IClassFactory> again = factory;
  ComPtr<IClassFactory> third = server_.Factory(clsid());
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  again.reset();
  third.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

TEST_P(ClassObjectTest, LockServerHoldsTheModule) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  factory = server_.Factory(clsid());
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  factory = server_.Factory(clsid());
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

// --- Creating objects --------------------------------------------------------------

TEST_P(ClassObjectTest, CreateInstanceArgumentChecks) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);

  Outer outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, *GetParam().own, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(outer.count, 1u);

  // An interface the class does not serve: nothing stays behind.
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, *GetParam().other, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

TEST_P(ClassObjectTest, PlainObjectAnswersItsInterfaces) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, unknown.put_void()), S_OK);
  factory.reset();

  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(unknown->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  ComPtr<IDispatch> own;
  ASSERT_EQ(unknown->QueryInterface(*GetParam().own, own.put_void()), S_OK);
  // IDispatch and the dual interface share one method table, which is also
  // the object's identity.
  EXPECT_EQ(dispatch.get(), own.get());
  EXPECT_EQ(static_cast<IUnknown*>(dispatch.get()), unknown.get());
  ComPtr<IUnknown> identity;
  ASSERT_EQ(own->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
  EXPECT_EQ(identity.get(), unknown.get());

  const IID* refused[] = {GetParam().other, &IID_IClassFactory,     &IID_ISupportErrorInfo,
                          &IID_IPersist,    &IID_IProvideClassInfo, &IID_IConnectionPointContainer};
  for (const IID* iid : refused) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(unknown->QueryInterface(*iid, &out), E_NOINTERFACE) << testing::GuidString(*iid);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
}

TEST_P(ClassObjectTest, PlainObjectCountsAndLock) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&dispatch)),
            S_OK);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);  // the object holds the module
  EXPECT_EQ(dispatch->AddRef(), 2u);
  EXPECT_EQ(dispatch->Release(), 1u);
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(dispatch->Release(), 0u);
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

TEST_P(ClassObjectTest, AggregatedObjectForwardsToTheOuterUnknown) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  Outer outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  ASSERT_NE(inner, nullptr);
  factory.reset();
  EXPECT_NE(inner, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.count, 1u);  // the inner unknown holds no reference to its outer
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);

  // The inner unknown answers IUnknown with itself, counted on its own.
  IUnknown* inner_again = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&inner_again)), S_OK);
  EXPECT_EQ(inner_again, inner);
  EXPECT_EQ(inner_again->Release(), 1u);

  // The class's interfaces come from the contained part, which counts on the
  // outer object.
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  EXPECT_EQ(outer.count, 2u);
  IDispatch* own = nullptr;
  ASSERT_EQ(inner->QueryInterface(*GetParam().own, reinterpret_cast<void**>(&own)), S_OK);
  EXPECT_EQ(own, dispatch);
  EXPECT_EQ(outer.count, 3u);
  EXPECT_EQ(dispatch->AddRef(), 4u);
  EXPECT_EQ(dispatch->Release(), 3u);

  // Queries through the contained part are the outer object's.
  const int queries = outer.queries;
  IUnknown* identity = nullptr;
  ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.queries, queries + 1);
  identity->Release();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(dispatch->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);  // the outer says no
  EXPECT_EQ(outer.queries, queries + 2);

  // The contained part serves IDispatch all the same.
  UINT count = 0;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);

  own->Release();
  dispatch->Release();
  EXPECT_EQ(outer.count, 1u);
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);  // the inner unknown still lives
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);

  // An aggregated object refuses what the class does not serve.
  factory = server_.Factory(clsid());
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(inner->QueryInterface(*GetParam().other, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(inner->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
  inner->Release();
}

TEST_P(ClassObjectTest, LockCountSumsObjectsFactoriesAndLocks) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  ComPtr<IDispatch> first;
  ComPtr<IDispatch> second;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, first.put_void()), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, second.put_void()), S_OK);
  EXPECT_NE(first.get(), second.get());  // no singleton
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  first.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  second.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  factory = server_.Factory(clsid());
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

// --- IDispatch without the type library ------------------------------------

TEST_P(ClassObjectTest, TypeInfoCountAndIndexChecks) {
  ComPtr<IClassFactory> factory = server_.Factory(clsid());
  ASSERT_TRUE(factory);
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, dispatch.put_void()), S_OK);

  UINT count = 7;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(dispatch->GetTypeInfoCount(nullptr), E_POINTER);

  // The index is checked before the out pointer and before any loading.
  EXPECT_EQ(dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, nullptr), DISP_E_BADINDEX);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, &info), DISP_E_BADINDEX);
  EXPECT_EQ(dispatch->GetTypeInfo(0xFFFFFFFF, LOCALE_USER_DEFAULT, &info), DISP_E_BADINDEX);
  EXPECT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr), E_POINTER);
}

INSTANTIATE_TEST_SUITE_P(BothClasses, ClassObjectTest, ::testing::ValuesIn(kClasses),
                         [](const ::testing::TestParamInfo<ClassCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Class objects from several threads ------------------------------------

TEST_F(ModuleTest, FirstRequestsFromManyThreadsShareOneClassObject) {
  constexpr int kThreads = 8;
  struct Shared {
    const ServerLibrary* server;
    HANDLE start;
    IUnknown* objects[kThreads];
  } shared = {&server_, CreateEventW(nullptr, TRUE, FALSE, nullptr), {}};
  ASSERT_NE(shared.start, nullptr);
  UniqueHandle start(shared.start);

  struct Worker {
    Shared* shared;
    int index;
    static DWORD WINAPI Run(void* arg) {
      auto* self = static_cast<Worker*>(arg);
      WaitForSingleObject(self->shared->start, INFINITE);
      self->shared->server->GetClassObject(
          CLSID_ICommonInterface, IID_IUnknown,
          reinterpret_cast<void**>(&self->shared->objects[self->index]));
      return 0;
    }
  };
  Worker workers[kThreads];
  HANDLE threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    workers[i] = Worker{&shared, i};
    threads[i] = CreateThread(nullptr, 0, &Worker::Run, &workers[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  SetEvent(shared.start);
  WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);

  for (int i = 0; i < kThreads; ++i) {
    ASSERT_NE(shared.objects[i], nullptr);
    EXPECT_EQ(shared.objects[i], shared.objects[0]);
  }
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  for (IUnknown* object : shared.objects) object->Release();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace orvo::server

#include "server/class_factory.h"

#include <new>

#include "server/interface_list.h"
#include "server/module.h"

namespace orvo::server {

HRESULT CClassFactory::Create(InstanceCreator creator, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* object = new (std::nothrow) CClassFactory(creator);
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(iid, out);
  if (hr != S_OK) delete object;  // the failed query added no reference
  return hr;
}

HRESULT CClassFactory::QueryInterface(REFIID iid, void** out) {
  return QueryInterfaceFromList<InterfaceList<Entry<IClassFactory>>>(this, iid, out);
}

ULONG CClassFactory::AddRef() {
  const LONG count = InterlockedIncrement(&count_);
  if (count == 2) Module().Lock();
  return count;
}

ULONG CClassFactory::Release() {
  const LONG count = InterlockedDecrement(&count_);
  if (count == 0) {
    delete this;
  } else if (count == 1) {
    Module().Unlock();
  }
  return count;
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return creator_(outer, iid, out);
}

HRESULT CClassFactory::LockServer(BOOL lock) {
  if (lock) {
    Module().Lock();
  } else {
    Module().Unlock();
  }
  return S_OK;
}

}  // namespace orvo::server

#include "server/type_info_holder.h"

#include <oleauto.h>

#include <cstring>
#include <new>

#include "server/guids.h"
#include "server/hresult.h"
#include "server/module.h"
#include "server/unique.h"

namespace orvo::server {

HRESULT TypeInfoHolder::GetTypeInfo(LCID lcid, ITypeInfo** out) {
  *out = nullptr;
  ORVO_RETURN_IF_FAILED(EnsureLoaded(lcid));
  ITypeInfo* info = type_info_.load(std::memory_order_acquire);
  info->AddRef();
  *out = info;
  return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  ORVO_RETURN_IF_FAILED(EnsureLoaded(lcid));
  if (count > 0 && (names == nullptr || ids == nullptr)) return E_POINTER;
  const NameCache* cache = names_.load(std::memory_order_acquire);
  if (count == 1 && cache != nullptr && names[0] != nullptr) {
    const size_t length = wcslen(names[0]);
    for (UINT i = 0; i < cache->count; ++i) {
      const NameEntry& entry = cache->entries[i];
      if (entry.name != nullptr && entry.length == length &&
          std::memcmp(entry.name, names[0], length * sizeof(OLECHAR)) == 0) {
        ids[0] = entry.id;
        return S_OK;
      }
    }
  }
  return type_info_.load(std::memory_order_acquire)->GetIDsOfNames(names, count, ids);
}

HRESULT TypeInfoHolder::Invoke(void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  ORVO_RETURN_IF_FAILED(EnsureLoaded(lcid));
  return type_info_.load(std::memory_order_acquire)
      ->Invoke(instance, id, flags, params, result, exception, arg_error);
}

HRESULT TypeInfoHolder::EnsureLoaded(LCID lcid) {
  if (type_info_.load(std::memory_order_acquire) != nullptr &&
      names_.load(std::memory_order_acquire) != nullptr) {
    return S_OK;
  }
  COrvoCommModule& module = Module();
  platform::LockGuard lock(module.static_data_lock());
  if (type_info_.load(std::memory_order_relaxed) == nullptr) {
    ComPtr<ITypeLib> library;
    ORVO_RETURN_IF_FAILED(
        LoadRegTypeLib(LIBID_OrvoCommLib, kTypeLibMajor, kTypeLibMinor, lcid, library.put()));
    ComPtr<ITypeInfo> info;
    ORVO_RETURN_IF_FAILED(library->GetTypeInfoOfGuid(iid_, info.put()));
    ORVO_RETURN_IF_FAILED(module.AddTermFunc(&TypeInfoHolder::Clear, this));
    type_info_.store(info.detach(), std::memory_order_release);
  }
  // Without the cache every lookup is answered by the type information
  // itself; the next call tries to build the cache again.
  if (names_.load(std::memory_order_relaxed) == nullptr) BuildNameCache();
  return S_OK;
}

HRESULT TypeInfoHolder::BuildNameCache() {
  ITypeInfo* info = type_info_.load(std::memory_order_relaxed);
  TYPEATTR* attributes = nullptr;
  ORVO_RETURN_IF_FAILED(info->GetTypeAttr(&attributes));
  const UINT count = attributes->cFuncs;
  info->ReleaseTypeAttr(attributes);

  auto* cache = new (std::nothrow) NameCache{count, nullptr};
  if (cache == nullptr) return E_OUTOFMEMORY;
  if (count > 0) {
    cache->entries = new (std::nothrow) NameEntry[count]();
    if (cache->entries == nullptr) {
      delete cache;
      return E_OUTOFMEMORY;
    }
  }
  // A function whose description or name cannot be read keeps an empty
  // entry; lookups then fall through to the type information.
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(info->GetFuncDesc(i, &function))) continue;
    UniqueBstr name;
    if (SUCCEEDED(info->GetDocumentation(function->memid, name.put(), nullptr, nullptr, nullptr))) {
      NameEntry& entry = cache->entries[i];
      entry.length = SysStringLen(name.get());
      entry.id = function->memid;
      entry.name = name.release();
    }
    info->ReleaseFuncDesc(function);
  }
  names_.store(cache, std::memory_order_release);
  return S_OK;
}

void TypeInfoHolder::Clear(void* holder) {
  auto* self = static_cast<TypeInfoHolder*>(holder);
  if (NameCache* cache = self->names_.exchange(nullptr)) {
    for (UINT i = 0; i < cache->count; ++i) SysFreeString(cache->entries[i].name);
    delete[] cache->entries;
    delete cache;
  }
  if (ITypeInfo* info = self->type_info_.exchange(nullptr)) info->Release();
}

}  // namespace orvo::server

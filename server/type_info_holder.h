// The type information of one dual interface, loaded once from the registered
// type library and shared by all objects of its class.
#ifndef ORVO_SERVER_TYPE_INFO_HOLDER_H_
#define ORVO_SERVER_TYPE_INFO_HOLDER_H_

#include <oaidl.h>
#include <windows.h>

#include <atomic>

namespace orvo::server {

// Invariant: names_ is only set while type_info_ is set; both only change
// under the module's static-data lock, and both are read without it.
class TypeInfoHolder {
 public:
  explicit constexpr TypeInfoHolder(const IID& iid) : iid_(iid) {}
  TypeInfoHolder(const TypeInfoHolder&) = delete;
  TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

  // The interface's type information with one added reference, or a null
  // *out and the loader's error.
  // REQUIRES: out != nullptr.
  HRESULT GetTypeInfo(LCID lcid, ITypeInfo** out);

  // One name is first looked up in the cache (exact letter case); anything
  // else is answered by the type information (any letter case).
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);

  // Calls the method |id| of |instance| (a pointer to the dual interface)
  // through the type information.
  HRESULT Invoke(void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* arg_error);

 private:
  struct NameEntry {
    BSTR name;  // null when the name could not be read
    UINT length;
    DISPID id;
  };
  struct NameCache {
    UINT count;
    NameEntry* entries;
  };

  // Loads what is missing. Takes no lock once everything is present. Fails
  // only when the type information cannot be had: a name cache that cannot
  // be built (no memory) leaves lookups to the type information.
  HRESULT EnsureLoaded(LCID lcid);
  // REQUIRES: the static-data lock is held and type_info_ is set.
  // E_OUTOFMEMORY (no cache) when memory runs out.
  HRESULT BuildNameCache();
  // Termination callback: releases what was loaded.
  static void Clear(void* holder);

  const IID& iid_;
  std::atomic<ITypeInfo*> type_info_{nullptr};
  std::atomic<NameCache*> names_{nullptr};
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_TYPE_INFO_HOLDER_H_

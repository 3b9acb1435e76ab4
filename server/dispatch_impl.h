// IDispatch of a dual interface, served from the type information of that
// interface in the registered type library. The interface identifier that
// callers pass to GetIDsOfNames and Invoke is ignored.
#ifndef ORVO_SERVER_DISPATCH_IMPL_H_
#define ORVO_SERVER_DISPATCH_IMPL_H_

#include <oaidl.h>
#include <windows.h>

#include "server/interface_id.h"
#include "server/type_info_holder.h"

namespace orvo::server {

// Dual is the dual interface (derived from IDispatch); one holder per Dual.
template <typename Dual>
class DispatchImpl : public Dual {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override {
    if (index != 0) return DISP_E_BADINDEX;
    if (out == nullptr) return E_POINTER;
    return holder_.GetTypeInfo(lcid, out);
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    return holder_.GetIDsOfNames(names, count, lcid, ids);
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override {
    return holder_.Invoke(static_cast<Dual*>(this), id, lcid, flags, params, result, exception,
                          arg_error);
  }

 private:
  static inline TypeInfoHolder holder_{InterfaceId<Dual>::value};
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_DISPATCH_IMPL_H_

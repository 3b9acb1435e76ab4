#include "tools/demo_client/late_bound_call.h"

#include "server/unique.h"

namespace orvo::demo {

LateBoundCall& LateBoundCall::Bstr(BSTR value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value;
  args_.push_back(v);
  return *this;
}

LateBoundCall& LateBoundCall::Int(int value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  args_.push_back(v);
  return *this;
}

LateBoundCall& LateBoundCall::IntOut(LONG* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4 | VT_BYREF;
  v.plVal = target;
  args_.push_back(v);
  return *this;
}

CallResult LateBoundCall::Invoke(IDispatch* object, const wchar_t* name) const {
  CallResult result;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  result.invoke = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(result.invoke)) return result;

  // IDispatch takes the last argument first.
  std::vector<VARIANT> reversed(args_.rbegin(), args_.rend());
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO exception = {};
  UINT bad_argument = 0;
  result.invoke = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                 nullptr, &exception, &bad_argument);
  if (result.invoke == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
    result.method = exception.scode;
  } else {
    result.method = result.invoke;
  }
  server::UniqueBstr source(exception.bstrSource);
  server::UniqueBstr description(exception.bstrDescription);
  server::UniqueBstr help_file(exception.bstrHelpFile);
  return result;
}

}  // namespace orvo::demo

// VARIANT arguments for calls through IDispatch (Windows tests only). Each
// borrows what it points to: nothing is freed when it goes.
#ifndef ORVO_TESTS_TESTING_VARIANTS_H_
#define ORVO_TESTS_TESTING_VARIANTS_H_

#include <oaidl.h>
#include <windows.h>

namespace orvo::testing {

inline VARIANT VariantOf(VARTYPE type) {
  VARIANT v;
  VariantInit(&v);
  v.vt = type;
  return v;
}

inline VARIANT BstrVariant(BSTR text) {
  VARIANT v = VariantOf(VT_BSTR);
  v.bstrVal = text;
  return v;
}

inline VARIANT I4Variant(LONG value) {
  VARIANT v = VariantOf(VT_I4);
  v.lVal = value;
  return v;
}

// An out parameter: the callee writes *|target|.
inline VARIANT I4RefVariant(LONG* target) {
  VARIANT v = VariantOf(VT_I4 | VT_BYREF);
  v.plVal = target;
  return v;
}

inline VARIANT BstrRefVariant(BSTR* target) {
  VARIANT v = VariantOf(VT_BSTR | VT_BYREF);
  v.pbstrVal = target;
  return v;
}

inline VARIANT UnknownVariant(IUnknown* object) {
  VARIANT v = VariantOf(VT_UNKNOWN);
  v.punkVal = object;
  return v;
}

inline VARIANT DispatchVariant(IDispatch* object) {
  VARIANT v = VariantOf(VT_DISPATCH);
  v.pdispVal = object;
  return v;
}

// "Not given", as a script marks a left-out argument.
inline VARIANT MissingVariant() {
  VARIANT v = VariantOf(VT_ERROR);
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_VARIANTS_H_

// A call by name through IDispatch, the way a script engine makes it: the
// name is looked up with GetIDsOfNames, the arguments go to Invoke as
// VARIANTs in reverse order, and out parameters are variables passed by
// reference.
#ifndef ORVO_TOOLS_DEMO_CLIENT_LATE_BOUND_CALL_H_
#define ORVO_TOOLS_DEMO_CLIENT_LATE_BOUND_CALL_H_

#include <oaidl.h>
#include <windows.h>

#include <vector>

namespace orvo::demo {

// What Invoke reported: its own result and, for DISP_E_EXCEPTION, the
// method's failure code from the EXCEPINFO.
struct CallResult {
  HRESULT invoke = E_FAIL;
  HRESULT method = E_FAIL;  // the method's HRESULT as far as the caller can see it
};

class LateBoundCall {
 public:
  // Arguments are added in the method's order. Strings stay owned by the
  // caller; a null string is an argument that is not given.
  LateBoundCall& Bstr(BSTR value);
  LateBoundCall& Int(int value);
  // An out parameter of type int* or long*: the variable |target|, by reference.
  LateBoundCall& IntOut(LONG* target);

  // Calls |name| on |object| as a method.
  // REQUIRES: every argument is added.
  CallResult Invoke(IDispatch* object, const wchar_t* name) const;

 private:
  std::vector<VARIANT> args_;
};

}  // namespace orvo::demo

#endif  // ORVO_TOOLS_DEMO_CLIENT_LATE_BOUND_CALL_H_

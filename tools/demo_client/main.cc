// demo_client: does what an installer's script does after installing an
// application and a widget of the Tamsiver suite. It creates the object of
// class ICommonInterface by its class id (the class has no ProgID) and calls
// its methods by name through IDispatch, then prints each result.
//
//   demo_client
//
// Exit status: 0 when every call gave the expected result, 1 otherwise.
#include <fcntl.h>
#include <io.h>
#include <oaidl.h>
#include <windows.h>

#include <cstdio>

#include "server/guids.h"
#include "server/unique.h"
#include "tools/demo_client/late_bound_call.h"

namespace orvo::demo {
namespace {

using server::ComPtr;
using server::UniqueBstr;

// Prints what a call gave and says whether npErrorCode is |expected_code|:
// 0 and 2 come with a call that succeeds, other codes with one that fails.
bool Report(const wchar_t* method, const CallResult& result, LONG error_code, LONG expected_code) {
  std::printf("%ls\n  Invoke: 0x%08lX", method, static_cast<unsigned long>(result.invoke));
  if (result.invoke == DISP_E_EXCEPTION) {
    std::printf(" (the method failed with 0x%08lX)", static_cast<unsigned long>(result.method));
  }
  std::printf(", npErrorCode: %ld\n", error_code);
  const bool should_succeed = expected_code == 0 || expected_code == 2;
  const bool as_expected =
      error_code == expected_code && SUCCEEDED(result.method) == should_succeed;
  if (!as_expected) std::printf("  unexpected: npErrorCode %ld was expected\n", expected_code);
  return as_expected;
}

UniqueBstr Text(const wchar_t* text) { return UniqueBstr(SysAllocString(text)); }

int Run() {
  CLSID clsid = {};
  if (FAILED(CLSIDFromString(server::kICommonInterfaceClsidString, &clsid))) return 1;
  ComPtr<IDispatch> object;
  const HRESULT created =
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void());
  std::printf("CoCreateInstance(%ls): 0x%08lX\n", server::kICommonInterfaceClsidString,
              static_cast<unsigned long>(created));
  if (FAILED(created)) {
    std::printf("  no object: is OrvoComm.dll registered (regsvr32 OrvoComm.dll)?\n");
    return 1;
  }
  bool ok = true;

  LONG installed = 0;
  const CallResult check =
      LateBoundCall().IntOut(&installed).Invoke(object.get(), L"CheckTamsiverInstalled");
  std::printf("CheckTamsiverInstalled\n  Invoke: 0x%08lX, bVal: %ld\n",
              static_cast<unsigned long>(check.invoke), installed);
  ok = ok && check.invoke == S_OK && installed == 1;

  UniqueBstr caller = Text(L"OrvoDemoSetup.exe");
  UniqueBstr app_name = Text(L"Orvo Demo");
  UniqueBstr app_version = Text(L"1.2.0");
  UniqueBstr app_dir = Text(L"C:\\Program Files\\Tamsiver\\Orvo Demo");
  UniqueBstr app_path = Text(L"C:\\Program Files\\Tamsiver\\Orvo Demo\\OrvoDemo.exe");
  UniqueBstr app_param = Text(L"/minimized");
  UniqueBstr app_icon = Text(L"C:\\Program Files\\Tamsiver\\Orvo Demo\\OrvoDemo.ico");
  UniqueBstr app_desc = Text(L"Shows what the registration file holds");
  LONG error_code = -1;
  CallResult result = LateBoundCall()
                          .Bstr(caller.get())
                          .Bstr(app_name.get())
                          .Bstr(app_version.get())
                          .Bstr(app_dir.get())
                          .Bstr(app_path.get())
                          .Bstr(app_param.get())
                          .Bstr(app_icon.get())
                          .Bstr(app_desc.get())
                          .IntOut(&error_code)
                          .Invoke(object.get(), L"NotifyApplicationInstalled");
  ok = Report(L"NotifyApplicationInstalled(\"Orvo Demo\", ...\\OrvoDemo.exe)", result, error_code,
              0) &&
       ok;

  UniqueBstr widget_name = Text(L"Clock");
  UniqueBstr widget_version = Text(L"3.0");
  UniqueBstr widget_dir = Text(L"C:\\Program Files\\Tamsiver\\Widgets\\Clock");
  UniqueBstr widget_path = Text(L"C:\\Program Files\\Tamsiver\\Widgets\\Clock\\clock.exe");
  UniqueBstr widget_icon = Text(L"C:\\Program Files\\Tamsiver\\Widgets\\Clock\\clock.ico");
  error_code = -1;
  result = LateBoundCall()
               .Bstr(caller.get())
               .Bstr(widget_name.get())
               .Bstr(widget_version.get())
               .Bstr(widget_dir.get())
               .Bstr(widget_path.get())
               .Bstr(widget_icon.get())
               .Bstr(nullptr)  // no description
               .Int(160)
               .Int(90)
               .IntOut(&error_code)
               .Invoke(object.get(), L"NotifyWidgetInstalled");
  ok = Report(L"NotifyWidgetInstalled(\"Clock\", ..., 160, 90)", result, error_code, 0) && ok;

  // The same application again, its path in other letters: already there,
  // so nothing is written and nothing broadcast.
  UniqueBstr shouted = Text(L"c:\\PROGRAM FILES\\tamsiver\\orvo demo\\ORVODEMO.EXE");
  error_code = -1;
  result = LateBoundCall()
               .Bstr(nullptr)
               .Bstr(app_name.get())
               .Bstr(nullptr)
               .Bstr(nullptr)
               .Bstr(shouted.get())
               .Bstr(nullptr)
               .Bstr(app_icon.get())
               .Bstr(nullptr)
               .IntOut(&error_code)
               .Invoke(object.get(), L"NotifyApplicationInstalled");
  ok = Report(L"NotifyApplicationInstalled(\"Orvo Demo\", ...\\ORVODEMO.EXE) again", result,
              error_code, 2) &&
       ok;

  // A widget without a height is refused before anything is touched.
  error_code = -1;
  result = LateBoundCall()
               .Bstr(nullptr)
               .Bstr(widget_name.get())
               .Bstr(nullptr)
               .Bstr(nullptr)
               .Bstr(widget_path.get())
               .Bstr(widget_icon.get())
               .Bstr(nullptr)
               .Int(160)
               .Int(0)
               .IntOut(&error_code)
               .Invoke(object.get(), L"NotifyWidgetInstalled");
  ok = Report(L"NotifyWidgetInstalled(\"Clock\", ..., 160, 0)", result, error_code, 1) && ok;

  std::printf("%s\n", ok ? "all results as expected" : "some results were not as expected");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace orvo::demo

int wmain() {
  _setmode(_fileno(stdout), _O_BINARY);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const int code = orvo::demo::Run();
  CoUninitialize();
  std::fflush(stdout);
  return code;
}

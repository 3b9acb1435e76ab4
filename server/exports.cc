// The entry points of OrvoComm.dll.
#include <objbase.h>
#include <olectl.h>
#include <windows.h>

#include "server/class_table.h"
#include "server/module.h"
#include "server/registration.h"

STDAPI DllInstall(BOOL install, LPCWSTR command_line);

// The module's records are constructed before this runs at attach and
// destroyed after it runs at detach; it only refuses a load whose records
// could not be set up.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH && orvo::server::ModuleInitFailed()) return FALSE;
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  return orvo::server::Classes().GetClassObject(clsid, iid, out);
}

STDAPI DllCanUnloadNow() { return orvo::server::Module().GetLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return orvo::server::RegisterServer(); }

STDAPI DllUnregisterServer() { return orvo::server::UnregisterServer(); }

STDAPI DllInstall(BOOL install, LPCWSTR command_line) {
  return orvo::server::InstallServer(install != FALSE, command_line);
}

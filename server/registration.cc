#include "server/registration.h"

#include <cwchar>

#include "resources/resource.h"
#include "server/class_table.h"
#include "server/guids.h"
#include "server/hresult.h"
#include "server/per_user_registration.h"
#include "server/registry_script.h"
#include "server/type_library_registration.h"

namespace orvo::server {

namespace {

// Sets the thread locale to the system default for the life of the scope.
class SystemLocaleScope {
 public:
  SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  SystemLocaleScope(const SystemLocaleScope&) = delete;
  SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;
  ~SystemLocaleScope() { SetThreadLocale(saved_); }

 private:
  const LCID saved_;
};

HRESULT RunModuleScript(bool do_register) {
  return RunRegistryScript(IDR_ORVOCOMM, do_register, {{L"APPID", kAppIdString}});
}

}  // namespace

HRESULT RegisterServer() {
  SystemLocaleScope locale;
  ORVO_RETURN_IF_FAILED(RunModuleScript(/*do_register=*/true));
  for (const ClassRow& row : Classes()) {
    // Component categories: none for either class.
    ORVO_RETURN_IF_FAILED(RunRegistryScript(row.registry_script, /*do_register=*/true));
  }
  return RegisterTypeLibrary();
}

HRESULT UnregisterServer() {
  SystemLocaleScope locale;
  for (const ClassRow& row : Classes()) {
    ORVO_RETURN_IF_FAILED(RunRegistryScript(row.registry_script, /*do_register=*/false));
  }
  ORVO_RETURN_IF_FAILED(UnregisterTypeLibrary());
  return RunModuleScript(/*do_register=*/false);
}

bool IsPerUserCommandLine(const wchar_t* command_line) {
  // Five characters with the terminator: "USER" matches, "users" does not.
  return command_line != nullptr && _wcsnicmp(command_line, L"user", 5) == 0;
}

HRESULT InstallServer(bool install, const wchar_t* command_line) {
  if (IsPerUserCommandLine(command_line)) SetPerUserRegistration();
  if (!install) return UnregisterServer();
  const HRESULT hr = RegisterServer();
  if (FAILED(hr)) UnregisterServer();  // undo what was done; its result is not ours
  return hr;
}

}  // namespace orvo::server

// Self-registration of the module: its script, the class entries of every
// class-table row and the type library. Each call runs with the thread locale
// set to LOCALE_SYSTEM_DEFAULT and restores the caller's locale on return.
#ifndef ORVO_SERVER_REGISTRATION_H_
#define ORVO_SERVER_REGISTRATION_H_

#include <windows.h>

namespace orvo::server {

// The module's script, then each row's script in table order, then the type
// library. The first failure ends it and is the result; what was done before
// stays registered.
HRESULT RegisterServer();

// Each row's script in table order, then the type library, then the
// module's script. The first failure ends it and is the result.
HRESULT UnregisterServer();

// True when |command_line| is "user" in any letter case (and nothing more).
bool IsPerUserCommandLine(const wchar_t* command_line);

// The command line "user" sets the per-user flag. Installing registers and,
// when that fails, unregisters everything again and returns the
// registration's failure; uninstalling unregisters.
HRESULT InstallServer(bool install, const wchar_t* command_line);

}  // namespace orvo::server

#endif  // ORVO_SERVER_REGISTRATION_H_

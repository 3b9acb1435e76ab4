// Runs one of the module's registry scripts (resources of type "REGISTRY").
#ifndef ORVO_SERVER_REGISTRY_SCRIPT_H_
#define ORVO_SERVER_REGISTRY_SCRIPT_H_

#include <windows.h>

#include <initializer_list>

namespace orvo::server {

struct Replacement {
  const wchar_t* name;
  const wchar_t* value;
};

// Registers (|do_register|) or unregisters the entries of script |resource|.
// The script sees |replacements|, the module's common replacements (APPID)
// and MODULE, the full path of the module file. Class entries go to the
// current user's classes while the per-user flag is set. The first failure
// is the result.
HRESULT RunRegistryScript(UINT resource, bool do_register,
                          std::initializer_list<Replacement> replacements = {});

}  // namespace orvo::server

#endif  // ORVO_SERVER_REGISTRY_SCRIPT_H_

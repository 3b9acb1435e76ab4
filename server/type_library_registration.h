// Registering the type library that the module carries (resource TYPELIB 1).
#ifndef ORVO_SERVER_TYPE_LIBRARY_REGISTRATION_H_
#define ORVO_SERVER_TYPE_LIBRARY_REGISTRATION_H_

#include <windows.h>

namespace orvo::server {

constexpr size_t kHelpDirectoryCapacity = 260;

// The folder part of |help_file|: its first 259 characters at most, cut
// after the last "\", "/" or ":" (the separator stays). False, with an empty
// |directory|, when there is no help file or no separator in it.
bool HelpDirectoryOf(const wchar_t* help_file, wchar_t (&directory)[kHelpDirectoryCapacity]);

// Registers the module's type library with its full path: per user while the
// per-user flag is set and OLEAUT32 offers "RegisterTypeLibForUser",
// machine-wide otherwise.
HRESULT RegisterTypeLibrary();

// Removes the registration of the module's type library, with the library's
// own identifier, version, locale and system kind; per user under the same
// rule ("UnRegisterTypeLibForUser").
HRESULT UnregisterTypeLibrary();

}  // namespace orvo::server

#endif  // ORVO_SERVER_TYPE_LIBRARY_REGISTRATION_H_

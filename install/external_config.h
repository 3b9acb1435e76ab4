// The outside component that may hand the operations a ready file object:
// `GetConfig`, exported by "Quodlet.dll".
#ifndef ORVO_INSTALL_EXTERNAL_CONFIG_H_
#define ORVO_INSTALL_EXTERNAL_CONFIG_H_

class IConfigFile;

namespace orvo::install {

typedef IConfigFile* (*GetConfigFn)();

// Calls GetConfig. The result carries one reference for the caller, or is
// null. Windows: once per process, "Quodlet.dll" is taken from the modules
// the process has loaded, else loaded by full path from the folder of the
// module holding this code (OrvoComm.dll), never searched for by name; no
// library or no export gives null. Natively: the function set
// with SetGetConfigForTesting, else null.
IConfigFile* CallGetConfig();

// Replaces the GetConfig the operations call (nullptr: none, or on Windows
// the one of "Quodlet.dll" again). Returns the previous replacement.
GetConfigFn SetGetConfigForTesting(GetConfigFn fn);

}  // namespace orvo::install

#endif  // ORVO_INSTALL_EXTERNAL_CONFIG_H_

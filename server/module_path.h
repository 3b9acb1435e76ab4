// The full path of the module file.
#ifndef ORVO_SERVER_MODULE_PATH_H_
#define ORVO_SERVER_MODULE_PATH_H_

#include <windows.h>

#include <string>

namespace orvo::server {

// The full path of |module| (any length). The system's error on failure.
// May throw std::bad_alloc.
HRESULT GetModulePath(HMODULE module, std::wstring* path);

}  // namespace orvo::server

#endif  // ORVO_SERVER_MODULE_PATH_H_

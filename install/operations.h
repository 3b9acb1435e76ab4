// The four operations behind the automation interface: fixed answers for the
// two questions, and the two notifications that record an application or a
// widget in the machine-wide "InstallApp.set" and broadcast the change.
//
// Strings are NUL-terminated UTF-16; a null pointer means "not given".
// Results are HRESULT values as 32-bit integers.
#ifndef ORVO_INSTALL_OPERATIONS_H_
#define ORVO_INSTALL_OPERATIONS_H_

#include <cstdint>

namespace orvo::install {

constexpr int32_t kResultOk = 0;                                         // S_OK
constexpr int32_t kResultDuplicate = 2;                                  // already registered
constexpr int32_t kResultInvalidArg = static_cast<int32_t>(0x80070057);  // E_INVALIDARG

// Stores 1 in *installed when it is not null. Always kResultOk.
int32_t CheckTamsiverInstalled(int32_t* installed);

// Leaves all four arguments untouched. Always kResultOk.
int32_t GetTamsiverInformation(void* version, void* install_dir, void* icon_path,
                               void* main_program_path);

// Records an application. Required: name, main_program_path, main_icon_path.
// *error_code (when not null) receives 1 for a missing argument, else the
// result.
int32_t NotifyApplicationInstalled(const char16_t* call_name, const char16_t* name,
                                   const char16_t* version, const char16_t* install_dir,
                                   const char16_t* main_program_path, const char16_t* param,
                                   const char16_t* main_icon_path, const char16_t* desc,
                                   int32_t* error_code);

// Records (or replaces) a widget. Required: name, main_program_path,
// main_icon_path, and non-zero width and height.
int32_t NotifyWidgetInstalled(const char16_t* call_name, const char16_t* name,
                              const char16_t* version, const char16_t* install_dir,
                              const char16_t* main_program_path, const char16_t* main_icon_path,
                              const char16_t* desc, int32_t width, int32_t height,
                              int32_t* error_code);

}  // namespace orvo::install

#endif  // ORVO_INSTALL_OPERATIONS_H_

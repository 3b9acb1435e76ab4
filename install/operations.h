// The four operations behind the automation interface: fixed answers for the
// two questions, and the two notifications that record an application or a
// widget in the machine-wide "InstallApp.set" and broadcast the change.
//
// Strings are NUL-terminated UTF-16; a null pointer means "not given".
// Results are HRESULT values (platform/result.h).
#ifndef ORVO_INSTALL_OPERATIONS_H_
#define ORVO_INSTALL_OPERATIONS_H_

#include <cstdint>

#include "install/path_buffer.h"
#include "platform/result.h"

namespace orvo::install {

// The codes every layer speaks (platform/result.h), as install:: names.
using ::orvo::kResultAccessDenied;  // (also) the file could not be saved: access denied
using ::orvo::kResultFail;          // the file could not be saved: nothing more known
using ::orvo::kResultInvalidArg;
using ::orvo::kResultOk;
using ::orvo::Result;

constexpr Result kResultDuplicate = 2;  // already registered
// When the file could not be saved, the cause (or kResultAccessDenied,
// kResultFail):
constexpr Result kResultDiskFull = ResultFromSystemError(kErrorDiskFull);
constexpr Result kResultSharingViolation = ResultFromSystemError(kErrorSharingViolation);
// When the machine-wide lock stayed with another notification for the whole
// wait: HRESULT_FROM_WIN32(ERROR_TIMEOUT).
constexpr Result kResultTimeout = ResultFromSystemError(kErrorTimeout);
// When the file is a committed file of a newer format version, which this
// version can neither read nor replace: HRESULT_FROM_WIN32(ERROR_REVISION_MISMATCH).
constexpr Result kResultNewerFormat = ResultFromSystemError(kErrorRevisionMismatch);
// When a name the store keeps beside the file (the side file or the kept
// copy) holds a folder, a pipe, a device, a link, or a file that another
// account made and this one may not replace: HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE).
constexpr Result kResultNameInTheWay = ResultFromSystemError(kErrorCannotMake);
// When the file's folder cannot be had: the machine-wide application data
// folder is not known, or "Tamsiver" there is not a folder and cannot be
// made one (a file of that name, a missing or read-only application data
// folder): HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND). Nothing is done.
constexpr Result kResultNoFolder = ResultFromSystemError(kErrorPathNotFound);

// The longest text an argument may hold, in UTF-16 units: the store keeps a
// value of at most 65535 bytes, and a text value carries its terminator.
constexpr int32_t kMaxArgumentUnits = 32766;

// Stores 1 in *installed when it is not null. Always kResultOk.
Result CheckTamsiverInstalled(int32_t* installed);

// The machine-wide registration file's path,
// "<common application data>\Tamsiver\InstallApp.set", in *path (its
// backslashes stand for the platform's separator). False when the
// application data folder is not known. Makes nothing.
bool RegistrationFilePath(CPathBuffer* path);

// Leaves all four arguments untouched. Always kResultOk.
Result GetTamsiverInformation(void* version, void* install_dir, void* icon_path,
                              void* main_program_path);

// Both notifications hold the machine-wide lock from before the file is
// read until after it is saved. Results:
//   kResultOk            recorded, saved and broadcast;
//   kResultDuplicate     (applications) registered already: nothing written
//                        or broadcast;
//   kResultInvalidArg    a missing argument (error code 1, nothing done); a
//                        required argument longer than kMaxArgumentUnits
//                        (nothing done; an optional one is left out);
//                        no file object, root or section key (nothing saved or
//                        broadcast); the record key could not be made (the
//                        file is saved and the message broadcast all the same);
//   kResultNoFolder      the file's folder cannot be had (see above): nothing
//                        done, no lock taken;
//   kResultTimeout       the lock stayed with another notification;
//   kResultNewerFormat   the file was written by a newer version: nothing
//                        saved or broadcast, the file left as it is;
//   kResultSharingViolation (also) another program held the file when it was
//                        to be read;
//   kResultNameInTheWay  a name beside the file is in the way of the save:
//                        nothing saved or broadcast;
//   kResultAccessDenied, kResultDiskFull, kResultSharingViolation, kResultFail
//                        the file could not be saved (or the lock could not
//                        be made), by cause: nothing broadcast.
//
// Records an application. Required: name, main_program_path, main_icon_path.
// *error_code (when not null) receives 1 for a missing argument, else the
// result.
Result NotifyApplicationInstalled(const char16_t* call_name, const char16_t* name,
                                  const char16_t* version, const char16_t* install_dir,
                                  const char16_t* main_program_path, const char16_t* param,
                                  const char16_t* main_icon_path, const char16_t* desc,
                                  int32_t* error_code);

// Records (or replaces) a widget. Required: name, main_program_path,
// main_icon_path, and non-zero width and height.
Result NotifyWidgetInstalled(const char16_t* call_name, const char16_t* name,
                             const char16_t* version, const char16_t* install_dir,
                             const char16_t* main_program_path, const char16_t* main_icon_path,
                             const char16_t* desc, int32_t width, int32_t height,
                             int32_t* error_code);

// The life of a registration after it was made. Each runs in the frame of
// the notifications above (the machine-wide lock, the same argument checks
// and failures, saved and broadcast when something changed), with one more
// result:
//   kResultNothingToRemove  there was no such record: nothing saved, nothing
//                           broadcast;
//   kResultAccessDenied     (also) a record to replace or remove, or a value
//                           under it, is protected: nothing saved.
// 3, not S_FALSE (1): *error_code receives the result, and 1 is the error
// code of a missing argument already; callers through IDispatch see only
// the error code of a success.
constexpr Result kResultNothingToRemove = 3;

// Brings an application's record up to date: the arguments and checks of
// NotifyApplicationInstalled. The record whose "MainProgramPath" matches
// (as the duplicate test compares: ASCII letter case ignored) keeps its
// place and gets exactly the values of this call; further records of that
// path are removed. Without such a record one is added. kResultOk.
Result NotifyApplicationUpdated(const char16_t* call_name, const char16_t* name,
                                const char16_t* version, const char16_t* install_dir,
                                const char16_t* main_program_path, const char16_t* param,
                                const char16_t* main_icon_path, const char16_t* desc,
                                int32_t* error_code);

// Removes every application record whose "MainProgramPath" matches.
// Required: main_program_path. kResultOk, or kResultNothingToRemove.
Result NotifyApplicationUninstalled(const char16_t* main_program_path, int32_t* error_code);

// Removes the widget record that NotifyWidgetInstalled with |name| would
// replace (the key named as the store names it: ASCII letter case ignored,
// the name up to its first \ or /). Required: name. kResultOk, or
// kResultNothingToRemove.
Result NotifyWidgetUninstalled(const char16_t* name, int32_t* error_code);

// Replaces how long a notification waits for the machine-wide lock
// (normally kRegistrationLockTimeoutMs). Returns the previous bound. For
// tests; not synchronised.
uint32_t SetRegistrationLockTimeoutForTesting(uint32_t milliseconds);

}  // namespace orvo::install

#endif  // ORVO_INSTALL_OPERATIONS_H_

// Where registrations live and how they are laid out in "InstallApp.set".
// Programs of the suite read the same names; none of them may change.
#ifndef ORVO_INSTALL_RECORD_LAYOUT_H_
#define ORVO_INSTALL_RECORD_LAYOUT_H_

#include <cstdint>

namespace orvo::install {

// Relative to the machine-wide application-data folder.
inline constexpr char16_t kSuiteFolder[] = u"Tamsiver\\";
inline constexpr char16_t kTempFolder[] = u"Temp\\";
inline constexpr char16_t kRegistrationFile[] = u"InstallApp.set";
// Beside the registration file: the native build locks it so that
// notifications of several processes follow one another.
inline constexpr char16_t kRegistrationLockFile[] = u"InstallApp.set.lock";
// The Windows build uses this named mutex instead.
inline constexpr char16_t kRegistrationMutex[] =
    u"Global\\Tamsiver-InstallApp-9347F210-2EB6-409F-A226-922385DF4C8E";
// How long a notification waits for the other processes' notifications
// before it fails with a timeout, so that no installer hangs.
constexpr uint32_t kRegistrationLockTimeoutMs = 30000;

// Sections under the root key.
inline constexpr char16_t kAppSection[] = u"APP";
inline constexpr char16_t kWidgetSection[] = u"Widget";

// Application records are unnamed keys under "APP" with this child id.
constexpr uint32_t kAppRecordId = 1;

// Value names of the records.
inline constexpr char16_t kValueName[] = u"Name";
inline constexpr char16_t kValueMainProgramPath[] = u"MainProgramPath";
inline constexpr char16_t kValueMainIcon[] = u"MainIcon";
inline constexpr char16_t kValueVersion[] = u"Version";
inline constexpr char16_t kValueInstallDir[] = u"InstallDir";
inline constexpr char16_t kValueDesc[] = u"Desc";
inline constexpr char16_t kValueCaller[] = u"Caller";
inline constexpr char16_t kValueParam[] = u"Param";
inline constexpr char16_t kValueWidth[] = u"W";
inline constexpr char16_t kValueHeight[] = u"H";

// The registered window message posted after every registration.
inline constexpr char16_t kBroadcastMessageName[] = u"9347F210-2EB6-409F-A226-922385DF4C8E";

}  // namespace orvo::install

#endif  // ORVO_INSTALL_RECORD_LAYOUT_H_

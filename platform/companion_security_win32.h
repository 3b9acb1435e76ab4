// The Windows rule for companion files on security descriptors, apart from
// any file, so that it can be checked on descriptors of every shape.
#ifndef ORVO_PLATFORM_COMPANION_SECURITY_WIN32_H_
#define ORVO_PLATFORM_COMPANION_SECURITY_WIN32_H_

#include <windows.h>

#include "platform/file.h"

namespace orvo::platform {

// The verdict of File::TrustAsCompanionOf on a companion whose owner and
// DACL |companion| holds, beside a file whose owner and DACL |model| holds
// (a plain file with one name: that is judged on the handle).
// REQUIRES: both descriptors hold an owner.
CompanionTrust JudgeCompanionDescriptor(PSECURITY_DESCRIPTOR companion, PSECURITY_DESCRIPTOR model);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_COMPANION_SECURITY_WIN32_H_

// The POSIX rules for companion files, on owner, group and permission bits
// alone, shared by the native file system and the in-memory one.
#ifndef ORVO_PLATFORM_POSIX_ACCESS_H_
#define ORVO_PLATFORM_POSIX_ACCESS_H_

#include <cstdint>

#include "platform/file.h"

namespace orvo::platform {

// Who owns a file and what its permission bits allow.
struct PosixAccess {
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;  // the permission bits (07777)
  bool plain = true;  // a regular file with one name
};

// The verdict on |companion| beside |model| for a caller whose effective
// user is |self| (see File::TrustAsCompanionOf).
CompanionTrust JudgeCompanion(const PosixAccess& companion, const PosixAccess& model,
                              uint32_t self);

// What |companion| is to become to take |model|'s access: |model|'s owner,
// group and bits when |may_chown| (root); otherwise its own owner and group,
// with group bits that give the group no more than |model| gives it (the
// same group) or gives everyone (another group). Never set-id or sticky.
PosixAccess AccessToGive(const PosixAccess& companion, const PosixAccess& model, bool may_chown);

// Whether the account |uid| in group |gid| may read (or write) a file of
// |access|; root may always.
bool MayAccess(const PosixAccess& access, uint32_t uid, uint32_t gid, bool write);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_POSIX_ACCESS_H_

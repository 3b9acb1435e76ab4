#include "platform/posix_access.h"

namespace orvo::platform {

namespace {

constexpr uint32_t kGroupWrite = 0020;
constexpr uint32_t kOtherWrite = 0002;
constexpr uint32_t kPermissionBits = 0777;

}  // namespace

CompanionTrust JudgeCompanion(const PosixAccess& companion, const PosixAccess& model,
                              uint32_t self) {
  if (!companion.plain) return CompanionTrust::kNotAPlainFile;
  if (companion.uid != model.uid && companion.uid != 0 && companion.uid != self) {
    return CompanionTrust::kForeignOwner;
  }
  const bool others_write_model = (model.mode & kOtherWrite) != 0;
  if ((companion.mode & kOtherWrite) != 0 && !others_write_model) {
    return CompanionTrust::kWritableByOthers;
  }
  if ((companion.mode & kGroupWrite) != 0) {
    // The companion's group may write F when it is F's group and F gives its
    // group write, or when F gives everyone write.
    const bool group_writes_model =
        companion.gid == model.gid ? (model.mode & kGroupWrite) != 0 : others_write_model;
    if (!group_writes_model) return CompanionTrust::kWritableByOthers;
  }
  return CompanionTrust::kTrusted;
}

PosixAccess AccessToGive(const PosixAccess& companion, const PosixAccess& model, bool may_chown) {
  PosixAccess out = companion;
  out.mode = model.mode & kPermissionBits;
  if (may_chown) {
    out.uid = model.uid;
    out.gid = model.gid;
  } else if (companion.gid != model.gid) {
    // Another group counts as everyone else for F: it gets the other bits.
    out.mode = (out.mode & ~uint32_t{0070}) | ((out.mode & 0007) << 3);
  }
  return out;
}

bool MayAccess(const PosixAccess& access, uint32_t uid, uint32_t gid, bool write) {
  if (uid == 0) return true;
  const uint32_t bit = write ? 2 : 4;
  if (uid == access.uid) return (access.mode & (bit << 6)) != 0;
  if (gid == access.gid) return (access.mode & (bit << 3)) != 0;
  return (access.mode & bit) != 0;
}

}  // namespace orvo::platform

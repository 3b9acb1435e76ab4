#include "tools/settool/write_lock.h"

#include <new>

#include "install/record_layout.h"
#include "platform/file_failure.h"
#include "tools/settool/messages.h"

namespace orvo::settool {

int LockForWriting(CommandContext& ctx, const char* command, const std::u16string& file,
                   std::unique_ptr<install::StoreWriteLock>* lock) {
  platform::SetLastFileFailure(platform::FileFailure::kNone);
  lock->reset(new (std::nothrow)
                  install::StoreWriteLock(file.c_str(), install::kRegistrationLockTimeoutMs));
  if (*lock && (*lock)->held()) return kExitOk;
  if (*lock && (*lock)->timed_out()) {
    return Complain(ctx, command, file,
                    "another program kept the file's lock for " +
                        std::to_string(install::kRegistrationLockTimeoutMs / 1000) +
                        " s (it is being written); not changed",
                    kExitError);
  }
  const bool denied = platform::LastFileFailure() == platform::FileFailure::kAccessDenied;
  return Complain(ctx, command, file,
                  std::string("cannot take the file's lock (") + ForPeople(file) + ".lock" +
                      (denied ? ": access denied, or not a plain file" : "") + "); not changed",
                  kExitError);
}

}  // namespace orvo::settool

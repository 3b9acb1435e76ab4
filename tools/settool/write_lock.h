// The writers' lock for settool's commands that save (see
// install/file_lock.h), with the messages they give.
#ifndef ORVO_TOOLS_SETTOOL_WRITE_LOCK_H_
#define ORVO_TOOLS_SETTOOL_WRITE_LOCK_H_

#include <memory>
#include <string>

#include "install/file_lock.h"
#include "tools/settool/commands.h"

namespace orvo::settool {

// Takes the writers' lock of |file| into *lock, waiting as a notification
// waits. Returns kExitOk, or reports (a timeout, a lock that cannot be had)
// and returns kExitError.
int LockForWriting(CommandContext& ctx, const char* command, const std::u16string& file,
                   std::unique_ptr<install::StoreWriteLock>* lock);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_WRITE_LOCK_H_

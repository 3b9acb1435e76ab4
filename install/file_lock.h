// The lock that every writer of a store file through this project holds from
// before it reads the file until after it saves it, so that no two of them
// interleave a load and a save: the notifications, and settool's commands
// that save (its editors, build, import).
#ifndef ORVO_INSTALL_FILE_LOCK_H_
#define ORVO_INSTALL_FILE_LOCK_H_

#include <cstdint>
#include <memory>

#include "platform/machine_lock.h"

namespace orvo::install {

class StoreWriteLock {
 public:
  // Waits at most |timeout_ms| for the lock of the store file |file|.
  // Natively: an exclusive lock on the file "FILE.lock" beside it (for the
  // machine-wide registration file, the notifications' own lock file).
  // Windows: for the machine-wide registration file, the notifications'
  // named mutex; for any other file a mutex named after its path as given,
  // ASCII letter case folded (writers of one file spell its path alike).
  // REQUIRES: |file| is NUL-terminated.
  StoreWriteLock(const char16_t* file, uint32_t timeout_ms);
  ~StoreWriteLock();
  StoreWriteLock(const StoreWriteLock&) = delete;
  StoreWriteLock& operator=(const StoreWriteLock&) = delete;

  bool held() const { return lock_ != nullptr && lock_->held(); }
  // Another writer kept it for the whole wait.
  bool timed_out() const { return lock_ != nullptr && lock_->timed_out(); }

 private:
  std::unique_ptr<platform::MachineLock> lock_;  // null: no memory for its names
};

}  // namespace orvo::install

#endif  // ORVO_INSTALL_FILE_LOCK_H_

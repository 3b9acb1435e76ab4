// A lock shared by every process of the machine, held for one scope.
#ifndef ORVO_PLATFORM_MACHINE_LOCK_H_
#define ORVO_PLATFORM_MACHINE_LOCK_H_

#include <cstdint>

namespace orvo::platform {

class MachineLock {
 public:
  // Waits at most |timeout_ms| for the lock. Windows: the named mutex
  // |mutex_name| (an abandoned mutex counts as acquired). Natively: an
  // exclusive flock on the file |lock_path|, created when missing. When the
  // wait runs out or the lock cannot be made, held() is false and the caller
  // goes on without it.
  MachineLock(const char16_t* mutex_name, const char16_t* lock_path, uint32_t timeout_ms);
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

  bool held() const { return held_; }

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool held_ = false;
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_MACHINE_LOCK_H_

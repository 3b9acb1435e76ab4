// A lock shared by every process of the machine, held for one scope.
#ifndef ORVO_PLATFORM_MACHINE_LOCK_H_
#define ORVO_PLATFORM_MACHINE_LOCK_H_

#include <cstdint>

namespace orvo::platform {

class MachineLock {
 public:
  // Waits at most |timeout_ms| for the lock.
  //
  // Windows: the named mutex |mutex_name| (an abandoned mutex counts as
  // acquired). It is made with a security descriptor that lets every account
  // wait on it and release it, so processes of standard users and elevated
  // ones share it. On a thread of a single-threaded apartment the wait pumps
  // messages (CoWaitForMultipleHandles), so a window on that thread stays
  // responsive.
  //
  // Another account may make the name first, or hold the mutex: then the
  // lock is unavailable, or times out, for as long as that account's
  // handles live. No descriptor avoids that and still lets standard users'
  // processes share the lock.
  //
  // Natively: an exclusive flock on the file |lock_path|, created when
  // missing (readable by every account, writable by none); a symbolic link,
  // a file with several names, a folder, a FIFO or a device there is
  // refused at once, without blocking.
  //
  // Afterwards exactly one of held(), timed_out() and the lock being
  // unavailable (neither) is true. When it is unavailable, the cause is
  // recorded as the thread's last file failure (platform/file_failure.h).
  MachineLock(const char16_t* mutex_name, const char16_t* lock_path, uint32_t timeout_ms);
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

  bool held() const { return held_; }
  // The lock exists but another holder kept it for the whole wait.
  bool timed_out() const { return timed_out_; }

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool held_ = false;
  bool timed_out_ = false;
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_MACHINE_LOCK_H_

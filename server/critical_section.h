// A re-entrant lock (a Windows critical section) and its scoped holder.
#ifndef ORVO_SERVER_CRITICAL_SECTION_H_
#define ORVO_SERVER_CRITICAL_SECTION_H_

#include <windows.h>

namespace orvo::server {

// Invariant: the section is usable exactly when initialized() is true.
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() {
    if (initialized_) DeleteCriticalSection(&section_);
  }

  // Returns false (and leaves the section unusable) when the system cannot
  // set it up.
  bool Init() {
    initialized_ = InitializeCriticalSectionAndSpinCount(&section_, 0) != FALSE;
    return initialized_;
  }
  bool initialized() const { return initialized_; }

  // REQUIRES: initialized().
  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_{};
  bool initialized_ = false;
};

// Holds |section| for the life of the scope.
class ScopedLock {
 public:
  explicit ScopedLock(CriticalSection& section) : section_(section) { section_.Enter(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock() { section_.Leave(); }

 private:
  CriticalSection& section_;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_CRITICAL_SECTION_H_

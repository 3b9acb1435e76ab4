#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/file_failure.h"
#include "platform/machine_lock.h"
#include "platform/utf.h"

namespace orvo::platform {

namespace {

uint64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

MachineLock::MachineLock(const char16_t*, const char16_t* lock_path, uint32_t timeout_ms) {
  if (lock_path == nullptr || *lock_path == 0) {
    SetLastFileFailure(FileFailure::kOther);
    return;
  }
  std::string path;
  try {
    path = Utf16ToUtf8(std::u16string(lock_path), LoneSurrogate::kEncode);
  } catch (const std::bad_alloc&) {
    SetLastFileFailure(FileFailure::kOther);
    return;  // not held, as when the lock file cannot be opened
  }
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  // Read access is enough for flock, so every account that can read the
  // file shares the lock, whoever made it. Nothing is ever written to it,
  // and a planted link is refused all the same. O_NONBLOCK: a FIFO or a
  // device planted at the name neither blocks the open nor is used; the
  // descriptor is checked before anything else is done with it.
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  bool created = false;
  for (int attempt = 0; attempt < 4 && fd_ < 0; ++attempt) {
    do {
      fd_ = open(path.c_str(), flags);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ >= 0 || errno != ENOENT) break;
    do {
      fd_ = open(path.c_str(), flags | O_CREAT | O_EXCL, 0444);
    } while (fd_ < 0 && errno == EINTR);
    created = fd_ >= 0;
    if (fd_ < 0 && errno != EEXIST) break;  // EEXIST: made meanwhile
  }
  if (fd_ < 0) {
    SetLastFileFailure(errno == EACCES || errno == EPERM || errno == ELOOP || errno == EROFS ||
                               errno == EISDIR || errno == ENXIO || errno == ENODEV
                           ? FileFailure::kAccessDenied
                           : FileFailure::kOther);
    return;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    SetLastFileFailure(FileFailure::kAccessDenied);
    close(fd_);
    fd_ = -1;
    return;
  }
  // Readable by every account whatever the maker's umask, writable by none.
  if (created) fchmod(fd_, 0444);
  fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  // flock has no timed wait: poll, backing off from 1 ms to 16 ms.
  const uint64_t deadline = NowMs() + timeout_ms;
  uint32_t pause = 1;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      SetLastFileFailure(FileFailure::kOther);
      return;
    }
    if (NowMs() >= deadline) {
      timed_out_ = true;
      return;
    }
    SleepMs(pause);
    if (pause < 16) pause *= 2;
  }
}

MachineLock::~MachineLock() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor drops the lock
}

}  // namespace orvo::platform

// POSIX files. Win32 sharing is mirrored with advisory locks taken without
// waiting: a writer holds an exclusive lock, a reader a shared one, so a second
// writer, or a writer and a reader, cannot hold one file at the same time.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/file.h"
#include "platform/utf.h"

namespace orvo::platform {

namespace {

OpenError ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return OpenError::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return OpenError::kAccessDenied;
    case EWOULDBLOCK:
      return OpenError::kSharingViolation;
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
      return OpenError::kInvalidPath;
    default:
      return OpenError::kOther;
  }
}

// The UTF-8 form of a UTF-16 path. Backslashes separate folders, as they do
// in the paths the install operations compose. False for an empty path.
bool NativePath(const char16_t* path, std::string* out) {
  if (path == nullptr) return false;
  size_t n = 0;
  while (path[n] != 0) ++n;
  if (n == 0) return false;
  *out = Utf16ToUtf8(path, n, LoneSurrogate::kEncode);
  for (char& c : *out) {
    if (c == '\\') c = '/';
  }
  return true;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { Close(); }

  bool Size(uint64_t* size) override {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || st.st_size < 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool Read(void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (fd_ < 0) return false;
    char* p = static_cast<char*>(buf);
    while (*done < n) {
      ssize_t r = read(fd_, p + *done, n - *done);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r == 0) break;  // end of file: a short read, not an error
      *done += static_cast<uint32_t>(r);
    }
    return true;
  }

  bool Write(const void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(buf);
    while (*done < n) {
      ssize_t r = write(fd_, p + *done, n - *done);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r == 0) return false;  // no progress: treat as a failed write
      *done += static_cast<uint32_t>(r);
    }
    return true;
  }

  bool Seek(uint64_t offset) override {
    if (fd_ < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
  }

  bool Flush() override {
    if (fd_ < 0) return false;
    while (fsync(fd_) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return false;
    // The lock goes with the descriptor. close() is not retried on EINTR:
    // the descriptor is released either way.
    const int r = close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  File* Open(const char16_t* path, OpenMode mode, Disposition disposition,
             OpenError* error) override {
    *error = OpenError::kNone;
    std::string native;
    if (!NativePath(path, &native)) {
      *error = OpenError::kInvalidPath;
      return nullptr;
    }
    bool truncate = false;
    int flags = O_CLOEXEC | O_NONBLOCK;  // O_NONBLOCK: never hang on a FIFO
    switch (disposition) {
      case kCreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
      case kCreateAlways:
        flags |= O_CREAT;
        truncate = true;
        break;
      case kOpenExisting:
        break;
      case kOpenAlways:
        flags |= O_CREAT;
        break;
      case kTruncateExisting:
        truncate = true;
        break;
      default:
        *error = OpenError::kOther;
        return nullptr;
    }
    // Truncation needs a writable descriptor, and it waits until the lock is
    // held, so that a file held by someone else is left as it is.
    flags |= (mode == OpenMode::kReadWrite || truncate) ? O_RDWR : O_RDONLY;

    int fd;
    do {
      fd = open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      *error = ErrorFromErrno(errno);
      return nullptr;
    }
    PosixFile* file = new (std::nothrow) PosixFile(fd);  // closes fd on early returns
    if (file == nullptr) {
      close(fd);
      *error = OpenError::kOther;
      return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      *error = ErrorFromErrno(errno);
      delete file;
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {  // folders, devices, pipes: not files here
      *error = S_ISDIR(st.st_mode) ? OpenError::kAccessDenied : OpenError::kOther;
      delete file;
      return nullptr;
    }
    const int lock = (mode == OpenMode::kReadWrite ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int r;
    do {
      r = flock(fd, lock);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
      *error = ErrorFromErrno(errno);
      delete file;
      return nullptr;
    }
    if (truncate) {
      do {
        r = ftruncate(fd, 0);
      } while (r != 0 && errno == EINTR);
      if (r != 0) {
        *error = ErrorFromErrno(errno);
        delete file;
        return nullptr;
      }
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return file;
  }

  bool CreateFolder(const char16_t* path) override {
    std::string native;
    return NativePath(path, &native) && mkdir(native.c_str(), 0777) == 0;
  }

  bool Remove(const char16_t* path) override {
    std::string native;
    return NativePath(path, &native) && unlink(native.c_str()) == 0;
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem* const fs = new PosixFileSystem();
  return fs;
}

}  // namespace orvo::platform

// POSIX files. Win32 sharing is mirrored with advisory locks taken without
// waiting: a writer holds an exclusive lock, a reader a shared one, so a second
// writer, or a writer and a reader, cannot hold one file at the same time.
//
// Links are refused: the last component of a path is never followed when it
// is a symbolic link (O_NOFOLLOW), and a file with more than one name (a hard
// link) is not opened. Store files live in folders that every user may write
// to, so a name there may have been planted to point at another file.
//
// Nothing but a regular file is used: every open is non-blocking until the
// descriptor is known to hold one, so a FIFO or a device planted at a name
// never makes an open wait, and is refused (OpenError::kNotAFile).
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/file_failure.h"
#include "platform/posix_access.h"
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
      return OpenError::kAccessDenied;
    case EISDIR:  // a folder, opened for writing
    case ENXIO:   // a socket, or a device without its device
    case ENODEV:
      return OpenError::kNotAFile;
    case EWOULDBLOCK:
      return OpenError::kSharingViolation;
    case ELOOP:  // O_NOFOLLOW met a symbolic link
      return OpenError::kLinked;
    case ENAMETOOLONG:
    case EINVAL:
      return OpenError::kInvalidPath;
    default:
      return OpenError::kOther;
  }
}

FileFailure FailureFromErrno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ELOOP:
      return FileFailure::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return FileFailure::kDiskFull;
    case EWOULDBLOCK:
      return FileFailure::kSharingViolation;
    default:
      return FileFailure::kOther;
  }
}

// Records the cause of a failed call from errno; returns false.
bool Failed() {
  SetLastFileFailure(FailureFromErrno(errno));
  return false;
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

// NativePath, false when memory runs out.
bool NativePathNoThrow(const char16_t* path, std::string* out) {
  try {
    return NativePath(path, out);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The folder part of a native path ("." when there is none).
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the entries of |folder| durable. File systems that cannot sync a
// folder (EINVAL) are taken as keeping names durable by themselves.
bool SyncFolder(const std::string& folder) {
  int fd;
  do {
    fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  int r;
  do {
    r = fsync(fd);
  } while (r != 0 && errno == EINTR);
  const bool ok = r == 0 || errno == EINVAL;
  close(fd);
  return ok;
}

int OpenNoEintr(const std::string& path, int flags, mode_t create_mode) {
  int fd;
  do {
    fd = open(path.c_str(), flags, create_mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The owner and permission bits of an open descriptor.
bool AccessOf(int fd, PosixAccess* access) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  access->uid = st.st_uid;
  access->gid = st.st_gid;
  access->mode = st.st_mode & 07777;
  access->plain = S_ISREG(st.st_mode) && st.st_nlink == 1;
  return true;
}

class PosixFile final : public File {
 public:
  // |created_in|: the folder of a file that this open created, whose entry
  // the first Flush makes durable; empty otherwise.
  PosixFile(int fd, std::string created_in) : fd_(fd), created_in_(std::move(created_in)) {}
  ~PosixFile() override { Close(); }

  bool Size(uint64_t* size) override {
    struct stat st;
    if (fd_ < 0) return false;
    if (fstat(fd_, &st) != 0 || st.st_size < 0) return Failed();
    *size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool Stamp(FileStamp* stamp) override {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
    // Both change times: a write sets them, and a program that sets the
    // modification time back cannot set the status change time.
    stamp->part[0] = static_cast<uint64_t>(st.st_dev);
    stamp->part[1] = static_cast<uint64_t>(st.st_ino);
    stamp->part[2] = static_cast<uint64_t>(st.st_size);
    stamp->part[3] = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec);
    stamp->part[4] = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(st.st_ctim.tv_nsec);
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
        return Failed();
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
        return Failed();
      }
      if (r == 0) {  // no progress: treat as a failed write
        SetLastFileFailure(FileFailure::kOther);
        return false;
      }
      *done += static_cast<uint32_t>(r);
    }
    return true;
  }

  bool Seek(uint64_t offset) override {
    if (fd_ < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1) || Failed();
  }

  bool Flush() override {
    if (fd_ < 0) return false;
    while (fsync(fd_) != 0) {
      if (errno != EINTR) return Failed();
    }
    // A new file's data is durable only together with its name.
    if (!created_in_.empty()) {
      if (!SyncFolder(created_in_)) return Failed();
      created_in_.clear();
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

  CompanionTrust TrustAsCompanionOf(File* model) override {
    auto* other = dynamic_cast<PosixFile*>(model);
    PosixAccess mine, theirs;
    if (other == nullptr || !AccessOf(fd_, &mine) || !AccessOf(other->fd_, &theirs)) {
      return CompanionTrust::kUnknown;
    }
    return JudgeCompanion(mine, theirs, static_cast<uint32_t>(geteuid()));
  }

  bool TakeAccessOf(File* model) override {
    auto* other = dynamic_cast<PosixFile*>(model);
    PosixAccess now, theirs;
    if (other == nullptr || !AccessOf(fd_, &now) || !AccessOf(other->fd_, &theirs)) return false;
    const PosixAccess want = AccessToGive(now, theirs, geteuid() == 0);
    // The owner first: a change of owner may clear bits that chmod sets.
    if ((want.uid != now.uid || want.gid != now.gid) && fchown(fd_, want.uid, want.gid) != 0) {
      return Failed();
    }
    if (want.mode != now.mode && fchmod(fd_, static_cast<mode_t>(want.mode)) != 0) return Failed();
    return true;
  }

 private:
  int fd_;
  std::string created_in_;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const char16_t* path, OpenMode mode, Disposition disposition,
                             OpenError* error) override {
    return std::unique_ptr<File>(OpenWith(nullptr, path, mode, disposition, error));
  }

  std::unique_ptr<File> OpenBeside(File* model, const char16_t* path, OpenMode mode,
                                   Disposition disposition, OpenError* error) override {
    if (dynamic_cast<PosixFile*>(model) == nullptr) {
      *error = OpenError::kOther;
      SetLastFileFailure(FileFailure::kOther);
      return nullptr;
    }
    return std::unique_ptr<File>(OpenWith(model, path, mode, disposition, error));
  }

  bool CreateFolder(const char16_t* path) override {
    std::string native;
    return NativePathNoThrow(path, &native) && mkdir(native.c_str(), 0777) == 0;
  }

  bool Remove(const char16_t* path) override {
    std::string native;
    return NativePathNoThrow(path, &native) && unlink(native.c_str()) == 0;
  }

  bool IsFolder(const char16_t* path) override {
    std::string native;
    struct stat st;
    return NativePathNoThrow(path, &native) && stat(native.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
  }

 private:
  // Open, and with |model| OpenBeside.
  File* OpenWith(File* model, const char16_t* path, OpenMode mode, Disposition disposition,
                 OpenError* error) {
    *error = OpenError::kNone;
    // The paths are the only memory taken, all before a descriptor exists.
    std::string native, folder;
    try {
      if (!NativePath(path, &native)) {
        return Refuse(error, OpenError::kInvalidPath, FileFailure::kOther);
      }
      folder = FolderOf(native);
    } catch (const std::bad_alloc&) {
      return Refuse(error, OpenError::kNoMemory, FileFailure::kOther);
    }
    bool truncate = false;
    bool create = false;     // make the file when it is missing
    bool exclusive = false;  // and only then
    // O_NONBLOCK: never hang on a FIFO or a device; O_NOCTTY: a terminal
    // planted there does not become this process's.
    int flags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY;
    switch (disposition) {
      case kCreateNew:
        create = exclusive = true;
        break;
      case kCreateAlways:
        create = truncate = true;
        break;
      case kOpenExisting:
        break;
      case kOpenAlways:
        create = true;
        break;
      case kTruncateExisting:
        truncate = true;
        break;
      default:
        return Refuse(error, OpenError::kOther, FileFailure::kOther);
    }
    // Truncation needs a writable descriptor, and it waits until the lock is
    // held and the file is known to be no link, so that a file held by
    // someone else, or reached through a planted name, is left as it is.
    flags |= (mode == OpenMode::kReadWrite || truncate) ? O_RDWR : O_RDONLY;

    // An existing file is opened as it is; a missing one is made with
    // O_EXCL, so that this open knows it made it (see Flush). O_EXCL does not
    // follow a symbolic link either: a dangling one gives EEXIST, and the
    // next try meets the link (ELOOP).
    // A companion is made for its maker alone until it has its model's
    // access: no other account can open it meanwhile.
    const mode_t create_mode = model != nullptr ? 0600 : 0666;
    int fd = -1;
    bool created = false;
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
      if (!exclusive) {
        fd = OpenNoEintr(native, flags, create_mode);
        if (fd >= 0 || errno != ENOENT || !create) break;
      }
      fd = OpenNoEintr(native, flags | O_CREAT | O_EXCL, create_mode);
      created = fd >= 0;
      if (fd >= 0 || exclusive || errno != EEXIST) break;  // EEXIST: made meanwhile
    }
    if (fd < 0) return Refuse(error);
    std::unique_ptr<PosixFile> file(new (std::nothrow)
                                        PosixFile(fd, created ? std::move(folder) : std::string()));
    if (!file) {
      close(fd);
      return Refuse(error, OpenError::kNoMemory, FileFailure::kOther);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) return Refuse(error);
    if (!S_ISREG(st.st_mode)) {  // folders, devices, pipes: not files here
      return Refuse(error, OpenError::kNotAFile, FileFailure::kAccessDenied);
    }
    // A second name for the same file: one of them may have been planted.
    if (st.st_nlink > 1) return Refuse(error, OpenError::kLinked, FileFailure::kAccessDenied);
    const int lock = (mode == OpenMode::kReadWrite ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int r;
    do {
      r = flock(fd, lock);
    } while (r != 0 && errno == EINTR);
    if (r != 0) return Refuse(error);
    if (truncate) {
      do {
        r = ftruncate(fd, 0);
      } while (r != 0 && errno == EINTR);
      if (r != 0) return Refuse(error);
    }
    if (created && model != nullptr && !file->TakeAccessOf(model)) {
      const int e = errno;
      // Only the file this open made goes, not one put in its place since.
      struct stat named;
      if (lstat(native.c_str(), &named) == 0 && named.st_dev == st.st_dev &&
          named.st_ino == st.st_ino) {
        unlink(native.c_str());
      }
      errno = e;
      return Refuse(error, OpenError::kAccessDenied, FailureFromErrno(e));
    }
    // F_SETFL takes only the status flags of |flags|: this clears O_NONBLOCK
    // without asking for the flags first.
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return file.release();
  }

  // Sets *error and records the failure (a missing file is no failure here:
  // callers probe for optional files). Returns null.
  static File* Refuse(OpenError* error, OpenError why, FileFailure failure) {
    *error = why;
    if (why != OpenError::kNotFound) SetLastFileFailure(failure);
    return nullptr;
  }
  // The same, from errno.
  static File* Refuse(OpenError* error) {
    const int e = errno;
    return Refuse(error, ErrorFromErrno(e), FailureFromErrno(e));
  }
};

}  // namespace

void SleepMilliseconds(uint32_t milliseconds) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

FileSystem* RealFileSystem() {
  static PosixFileSystem* const fs = new PosixFileSystem();
  return fs;
}

}  // namespace orvo::platform

// Win32 files: one HANDLE per File, with the access and sharing each mode
// names (see OpenMode).
//
// Links are refused: every open names FILE_FLAG_OPEN_REPARSE_POINT, so a
// symbolic link or other reparse point at the last component is opened as
// itself and then refused by its attributes, and a file with more than one
// name (hard links) is refused by its link count. Truncation waits for those
// tests: CREATE_ALWAYS and TRUNCATE_EXISTING open without truncating and cut
// the file afterwards, so a planted name never loses its target's bytes.
#include <windows.h>

#include <new>

#include "platform/file.h"
#include "platform/file_failure.h"

namespace orvo::platform {

namespace {

const wchar_t* Wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

OpenError ErrorFromWin32(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return OpenError::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return OpenError::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OpenError::kSharingViolation;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return OpenError::kInvalidPath;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return OpenError::kNoMemory;
    default:
      return OpenError::kOther;
  }
}

FileFailure FailureFromWin32(DWORD e) {
  switch (e) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return FileFailure::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileFailure::kDiskFull;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileFailure::kSharingViolation;
    default:
      return FileFailure::kOther;
  }
}

// Records the cause of a failed call from GetLastError; returns false.
bool Failed() {
  SetLastFileFailure(FailureFromWin32(GetLastError()));
  return false;
}

// Closes a handle for one scope unless released.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE h) : h_(h) {}
  ~HandleCloser() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE h) : h_(h) {}
  ~Win32File() override { Close(); }

  bool Size(uint64_t* size) override {
    LARGE_INTEGER li;
    if (h_ == INVALID_HANDLE_VALUE) return false;
    if (!GetFileSizeEx(h_, &li) || li.QuadPart < 0) return Failed();
    *size = static_cast<uint64_t>(li.QuadPart);
    return true;
  }

  bool Stamp(FileStamp* stamp) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (h_ == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h_, &info)) return false;
    stamp->part[0] = (static_cast<uint64_t>(info.dwVolumeSerialNumber) << 32) ^
                     (static_cast<uint64_t>(info.nFileIndexHigh) << 20) ^ info.nFileIndexLow;
    stamp->part[1] = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->part[2] = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime;
    stamp->part[3] = (static_cast<uint64_t>(info.ftCreationTime.dwHighDateTime) << 32) |
                     info.ftCreationTime.dwLowDateTime;
    return true;
  }

  bool Read(void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (h_ == INVALID_HANDLE_VALUE) return false;
    char* p = static_cast<char*>(buf);
    while (*done < n) {
      DWORD got = 0;
      if (!ReadFile(h_, p + *done, n - *done, &got, nullptr)) return Failed();
      if (got == 0) break;  // end of file: a short read, not an error
      *done += got;
    }
    return true;
  }

  bool Write(const void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (h_ == INVALID_HANDLE_VALUE) return false;
    const char* p = static_cast<const char*>(buf);
    while (*done < n) {
      DWORD put = 0;
      if (!WriteFile(h_, p + *done, n - *done, &put, nullptr)) return Failed();
      if (put == 0) {
        SetLastFileFailure(FileFailure::kOther);
        return false;
      }
      *done += put;
    }
    return true;
  }

  bool Seek(uint64_t offset) override {
    if (h_ == INVALID_HANDLE_VALUE || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(h_, li, nullptr, FILE_BEGIN) != 0 || Failed();
  }

  bool Flush() override {
    return h_ != INVALID_HANDLE_VALUE && (FlushFileBuffers(h_) != 0 || Failed());
  }

  bool Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return false;
    const BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok != 0;
  }

 private:
  HANDLE h_;
};

class Win32FileSystem final : public FileSystem {
 public:
  File* Open(const char16_t* path, OpenMode mode, Disposition disposition,
             OpenError* error) override {
    *error = OpenError::kNone;
    if (path == nullptr || path[0] == 0) {
      return Refuse(error, OpenError::kInvalidPath, FileFailure::kOther);
    }
    DWORD create = disposition;
    bool truncate = false;
    if (disposition == kCreateAlways) {
      create = OPEN_ALWAYS;
      truncate = true;
    } else if (disposition == kTruncateExisting) {
      create = OPEN_EXISTING;
      truncate = true;
    }
    const bool write = mode == OpenMode::kReadWrite;
    const DWORD access = (write || truncate) ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    const DWORD share = write ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE h = CreateFileW(Wide(path), access, share, nullptr, create,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      return Refuse(error, ErrorFromWin32(e), FailureFromWin32(e));
    }
    HandleCloser closer(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
      return Refuse(error, OpenError::kOther, FailureFromWin32(GetLastError()));
    }
    // A second name for the same file, or a name that leads elsewhere: one
    // of them may have been planted.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1) {
      return Refuse(error, OpenError::kLinked, FileFailure::kAccessDenied);
    }
    if (truncate) {
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
        const DWORD e = GetLastError();
        return Refuse(error, ErrorFromWin32(e), FailureFromWin32(e));
      }
    }
    Win32File* file = new (std::nothrow) Win32File(h);
    if (file == nullptr) return Refuse(error, OpenError::kOther, FileFailure::kOther);
    closer.release();
    return file;
  }

 private:
  // Sets *error and records the failure (a missing file is no failure here:
  // callers probe for optional files). Returns null.
  static File* Refuse(OpenError* error, OpenError why, FileFailure failure) {
    *error = why;
    if (why != OpenError::kNotFound) SetLastFileFailure(failure);
    return nullptr;
  }

 public:
  bool CreateFolder(const char16_t* path) override {
    return path != nullptr && CreateDirectoryW(Wide(path), nullptr) != 0;
  }

  bool Remove(const char16_t* path) override {
    return path != nullptr && DeleteFileW(Wide(path)) != 0;
  }
};

}  // namespace

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

FileSystem* RealFileSystem() {
  static Win32FileSystem* const fs = new Win32FileSystem();
  return fs;
}

}  // namespace orvo::platform

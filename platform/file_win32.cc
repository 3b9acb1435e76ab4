// Win32 files: one HANDLE per File, with the access and sharing each mode
// names (see OpenMode).
//
// Links are refused: every open names FILE_FLAG_OPEN_REPARSE_POINT, so a
// symbolic link or other reparse point at the last component is opened as
// itself and then refused by its attributes, and a file with more than one
// name (hard links) is refused by its link count. Truncation waits for those
// tests: CREATE_ALWAYS and TRUNCATE_EXISTING open without truncating and cut
// the file afterwards, so a planted name never loses its target's bytes.
//
// Only files on disk are used: a folder at the name is refused as no file
// (OpenError::kNotAFile), and so is a handle of any other type.
//
// Companion files (see CompanionTrust) are judged by their owner and DACL,
// and made with their model's DACL from the start.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <new>

#include "platform/companion_security_win32.h"
#include "platform/file.h"
#include "platform/file_failure.h"
#include "platform/unique_win32.h"

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

// The owner and DACL of an open handle, and the descriptor that holds them.
struct Security {
  PSID owner = nullptr;
  PACL dacl = nullptr;           // null: no DACL, everyone may do everything
  UniqueLocalMemory descriptor;  // what GetSecurityInfo allocated
};

bool SecurityOf(HANDLE h, Security* out) {
  return GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                         &out->owner, nullptr, &out->dacl, nullptr,
                         out->descriptor.put()) == ERROR_SUCCESS &&
         out->owner != nullptr;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

// Whether |sid| is the user of the calling thread's token (or the
// process's, when the thread impersonates no one).
bool IsCallersUser(PSID sid) {
  UniqueHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    return false;
  }
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenUser, &info, sizeof(info), &size) &&
         EqualSid(sid, info.user.User.Sid);
}

// The owners a companion of a file owned by |model_owner| may have.
bool IsTrustedOwner(PSID sid, PSID model_owner) {
  return EqualSid(sid, model_owner) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnown(sid, WinLocalSystemSid) || IsCallersUser(sid);
}

// Rights that change a file's content, or let their holder give itself that.
constexpr ACCESS_MASK kChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Rights that write a file's data.
constexpr ACCESS_MASK kWriteDataRights = FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL;

// Whether |dacl| gives |sid| the right to write the data, by an entry for
// that very SID that no entry for it denies. Group memberships are not
// followed: an account given write through a group only is not counted.
bool GrantsWrite(PACL dacl, PSID sid) {
  if (dacl == nullptr) return true;
  bool allowed = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      const auto* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      if ((a->Mask & kWriteDataRights) != 0 && EqualSid(const_cast<DWORD*>(&a->SidStart), sid)) {
        allowed = true;
      }
    } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      const auto* d = static_cast<ACCESS_DENIED_ACE*>(ace);
      if ((d->Mask & kWriteDataRights) != 0 && EqualSid(const_cast<DWORD*>(&d->SidStart), sid)) {
        return false;
      }
    }
  }
  return allowed;
}

// The verdict on a companion of |companion| security beside a file of
// |model| security (see File::TrustAsCompanionOf).
CompanionTrust Judge(const Security& companion, const Security& model) {
  if (!IsTrustedOwner(companion.owner, model.owner)) return CompanionTrust::kForeignOwner;
  if (companion.dacl == nullptr) {
    return model.dacl == nullptr ? CompanionTrust::kTrusted : CompanionTrust::kWritableByOthers;
  }
  for (DWORD i = 0; i < companion.dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(companion.dacl, i, &ace)) return CompanionTrust::kUnknown;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    // Entries for children only, and entries that deny, give nothing here.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      return CompanionTrust::kWritableByOthers;  // object or conditional entries: not judged
    }
    const auto* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((a->Mask & kChangeRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&a->SidStart);
    if (IsWellKnown(sid, WinCreatorOwnerRightsSid) || IsTrustedOwner(sid, model.owner)) continue;
    if (!GrantsWrite(model.dacl, sid)) return CompanionTrust::kWritableByOthers;
  }
  return CompanionTrust::kTrusted;
}

uint64_t Time64(const LARGE_INTEGER& t) { return static_cast<uint64_t>(t.QuadPart); }

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
    // The file id (volume and index), the size, and both change times: a
    // write sets them, and SetFileTime, which any writer may call, cannot
    // set the change time.
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (h_ == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h_, &info) ||
        !GetFileInformationByHandleEx(h_, FileBasicInfo, &basic, sizeof(basic))) {
      return false;
    }
    stamp->part[0] = info.dwVolumeSerialNumber;
    stamp->part[1] = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp->part[2] = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->part[3] = Time64(basic.LastWriteTime);
    stamp->part[4] = Time64(basic.ChangeTime);
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

  CompanionTrust TrustAsCompanionOf(File* model) override {
    auto* other = dynamic_cast<Win32File*>(model);
    BY_HANDLE_FILE_INFORMATION info;
    Security mine, theirs;
    if (h_ == INVALID_HANDLE_VALUE || other == nullptr || !GetFileInformationByHandle(h_, &info) ||
        !SecurityOf(h_, &mine) || !SecurityOf(other->h_, &theirs)) {
      return CompanionTrust::kUnknown;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1) {
      return CompanionTrust::kNotAPlainFile;
    }
    return Judge(mine, theirs);
  }

  bool TakeAccessOf(File* model) override {
    auto* other = dynamic_cast<Win32File*>(model);
    Security theirs;
    if (h_ == INVALID_HANDLE_VALUE || other == nullptr || !SecurityOf(other->h_, &theirs)) {
      return Failed();
    }
    // A second handle for the DACL alone: it asks for no data access, so
    // the sharing of this handle does not stand in its way.
    UniqueFileHandle dac(ReOpenFile(h_, READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    if (dac.get() == INVALID_HANDLE_VALUE) return Failed();
    const DWORD r = SetSecurityInfo(dac.get(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, theirs.dacl, nullptr);
    if (r != ERROR_SUCCESS) {
      SetLastError(r);
      return Failed();
    }
    return true;
  }

  HANDLE handle() const { return h_; }

 private:
  HANDLE h_;
};

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const char16_t* path, OpenMode mode, Disposition disposition,
                             OpenError* error) override {
    bool created = false;
    return std::unique_ptr<File>(OpenWith(nullptr, path, mode, disposition, error, &created));
  }

  std::unique_ptr<File> OpenBeside(File* model, const char16_t* path, OpenMode mode,
                                   Disposition disposition, OpenError* error) override {
    auto* other = dynamic_cast<Win32File*>(model);
    Security theirs;
    if (other == nullptr || !SecurityOf(other->handle(), &theirs)) {
      return std::unique_ptr<File>(
          Refuse(error, OpenError::kAccessDenied, FileFailure::kAccessDenied));
    }
    // A file that the open makes has the model's DACL from the start.
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, theirs.dacl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return std::unique_ptr<File>(
          Refuse(error, OpenError::kOther, FailureFromWin32(GetLastError())));
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    bool created = false;
    std::unique_ptr<File> file(OpenWith(&attributes, path, mode, disposition, error, &created));
    // The DACL is set again once the file exists: a system may apply its
    // own defaults to a new file's descriptor (Wine applies the umask).
    if (file != nullptr && created && !file->TakeAccessOf(model)) {
      file.reset();
      DeleteFileW(Wide(path));  // made by this open, held without sharing until now
      return std::unique_ptr<File>(
          Refuse(error, OpenError::kAccessDenied, FileFailure::kAccessDenied));
    }
    return file;
  }

 private:
  // Open; |attributes| (may be null) is given to a file that the open makes.
  // *created: the open made the file.
  File* OpenWith(SECURITY_ATTRIBUTES* attributes, const char16_t* path, OpenMode mode,
                 Disposition disposition, OpenError* error, bool* created) {
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
    HANDLE h = CreateFileW(Wide(path), access, share, attributes, create,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    *created = h != INVALID_HANDLE_VALUE &&
               (create == CREATE_NEW || (create == OPEN_ALWAYS && GetLastError() == 0));
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      // A folder cannot be opened as a file: it is in the way, not locked.
      if (e == ERROR_ACCESS_DENIED) {
        const DWORD attrs = GetFileAttributesW(Wide(path));
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          return Refuse(error, OpenError::kNotAFile, FileFailure::kAccessDenied);
        }
      }
      return Refuse(error, ErrorFromWin32(e), FailureFromWin32(e));
    }
    UniqueFileHandle closer(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
      return Refuse(error, OpenError::kOther, FailureFromWin32(GetLastError()));
    }
    if (GetFileType(h) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Refuse(error, OpenError::kNotAFile, FileFailure::kAccessDenied);
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

  bool IsFolder(const char16_t* path) override {
    if (path == nullptr) return false;
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
};

}  // namespace

CompanionTrust JudgeCompanionDescriptor(PSECURITY_DESCRIPTOR companion,
                                        PSECURITY_DESCRIPTOR model) {
  Security c, m;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(companion, &c.owner, &defaulted) ||
      !GetSecurityDescriptorOwner(model, &m.owner, &defaulted) || c.owner == nullptr ||
      m.owner == nullptr || !GetSecurityDescriptorDacl(companion, &present, &c.dacl, &defaulted) ||
      !GetSecurityDescriptorDacl(model, &present, &m.dacl, &defaulted)) {
    return CompanionTrust::kUnknown;
  }
  return Judge(c, m);
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

FileSystem* RealFileSystem() {
  static Win32FileSystem* const fs = new Win32FileSystem();
  return fs;
}

}  // namespace orvo::platform

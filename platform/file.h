// Thin file layer under the store: Win32 handles in the Windows build, POSIX
// descriptors natively. The store reaches files only through FileSystem, so
// tests can put a double in its place.
#ifndef ORVO_PLATFORM_FILE_H_
#define ORVO_PLATFORM_FILE_H_

#include <cstdint>
#include <memory>

namespace orvo::platform {

// Creation dispositions, with the values of the Win32 constants.
enum Disposition : uint32_t {
  kCreateNew = 1,
  kCreateAlways = 2,
  kOpenExisting = 3,
  kOpenAlways = 4,
  kTruncateExisting = 5,
};

// How a file is opened. Each mode fixes the access and the sharing:
//   kRead:      read access; shares reading and writing with others.
//               Natively: a shared advisory lock (fails while a writer holds
//               the file).
//   kReadWrite: read and write access; shares nothing (Win32 share mode 0).
//               Natively: an exclusive advisory lock, taken without waiting,
//               so a second writer or a writer meeting a reader fails.
enum class OpenMode { kRead, kReadWrite };

// Why an open failed, for callers that retry or report.
// kLinked: the name is a symbolic link (or, on Windows, another reparse
// point), or the file has more than one name (hard links). Such a file is
// never opened: in a folder that every user can write to, the name may have
// been planted to make a privileged caller read or write another file.
// kNotAFile: the name holds a folder, a pipe (FIFO), a device or a socket.
// The open neither blocks nor waits on it, and changes nothing there.
enum class OpenError {
  kNone,
  kNotFound,
  kAccessDenied,
  kSharingViolation,
  kInvalidPath,
  kNoMemory,  // the system or this process ran out of memory
  kLinked,
  kOther,
  kNotAFile,
};

// Whether a companion file (one the store keeps beside a file F, under a
// name that any account able to create files in F's folder could have made
// first) may be believed. See File::TrustAsCompanionOf.
enum class CompanionTrust {
  kTrusted,
  // Made by an account that is neither F's owner nor an administrator
  // (natively root; on Windows the administrators or SYSTEM) nor the caller.
  kForeignOwner,
  // Some account that may not write F may write it.
  kWritableByOthers,
  // Not a plain file with one name.
  kNotAPlainFile,
  // Its owner or permissions, or F's, could not be read.
  kUnknown,
};

// A short lower-case description of |trust|, for messages.
const char* CompanionTrustText(CompanionTrust trust);

// Which file a handle holds and how far its content has gone: two stamps
// of one file are equal only while nothing has written to it in between
// (as far as the file system's change times tell).
struct FileStamp {
  uint64_t part[5] = {};
  bool operator==(const FileStamp& o) const {
    for (int i = 0; i < 5; ++i) {
      if (part[i] != o.part[i]) return false;
    }
    return true;
  }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

class File {
 public:
  virtual ~File() = default;
  // Current size in bytes. Returns false when it cannot be had.
  virtual bool Size(uint64_t* size) = 0;
  // The file's identity, size and last change. False when it cannot be had.
  virtual bool Stamp(FileStamp* stamp) = 0;
  // Reads up to |n| bytes at the file pointer; *done receives the count.
  // False when a read fails with an error; reaching the end of the file is
  // no error (true with *done below |n|).
  virtual bool Read(void* buf, uint32_t n, uint32_t* done) = 0;
  // Writes |n| bytes at the file pointer; *done receives the count.
  virtual bool Write(const void* buf, uint32_t n, uint32_t* done) = 0;
  // Moves the file pointer to an absolute offset.
  virtual bool Seek(uint64_t offset) = 0;
  // Forces written data to stable storage; for a file that this open
  // created, its name in the folder too.
  virtual bool Flush() = 0;
  // Closes the handle. The object must still be deleted afterwards;
  // deleting an open file closes it too.
  virtual bool Close() = 0;

  // Whether this file, a companion kept beside |model| in |model|'s folder,
  // may be believed: it is a plain file with one name, its owner is
  // |model|'s owner, an administrator or the calling account, and no account
  // that may not write |model| may write it.
  //   Natively: owner |model|'s owner, root or the caller's effective user;
  //   neither group nor others may write it unless they may write |model|
  //   (group write counts as the same only for the same group).
  //   Windows: owner |model|'s owner, BUILTIN\Administrators, SYSTEM or the
  //   caller's user; every account that an allowing entry of its DACL gives
  //   a right to change it (data, permissions, owner) is one of those owners
  //   or is given write access to |model|'s data by |model|'s DACL and not
  //   denied it there. No DACL at all counts as writable by everyone.
  // REQUIRES: |model| is a file of the same file system, open.
  virtual CompanionTrust TrustAsCompanionOf(File* model) = 0;

  // Gives this file |model|'s access, as far as the caller may:
  //   Natively: |model|'s permission bits (no set-id or sticky bits) and,
  //   for root, its owner and group; others keep their own group, and then
  //   the group is given no write unless every account may write |model|.
  //   Windows: |model|'s DACL, protected from the folder's inheritance.
  // Returns true once the file has that access (at once when it has it
  // already), false when it could not be given.
  virtual bool TakeAccessOf(File* model) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // REQUIRES: |path| is a NUL-terminated UTF-16 path.
  // Returns the open file, or null with *error set.
  // Never throws: running out of memory is the error kNoMemory.
  // The real file systems refuse links in every mode (see OpenError::kLinked)
  // and truncate only after that test. A failure other than kNotFound is
  // recorded (platform/file_failure.h).
  virtual std::unique_ptr<File> Open(const char16_t* path, OpenMode mode, Disposition disposition,
                                     OpenError* error) = 0;
  // Opens like Open, for a companion of |model| (see CompanionTrust). A file
  // that this open makes has |model|'s access (File::TakeAccessOf) before it
  // is returned, and no other account can open it before: natively it is
  // made readable and writable by its maker alone and then given |model|'s
  // access; on Windows it is made with |model|'s DACL. An existing file is
  // opened as it is. When the access cannot be given the new file is
  // removed and the open fails (kAccessDenied).
  // REQUIRES: |model| is an open file of this file system.
  virtual std::unique_ptr<File> OpenBeside(File* model, const char16_t* path, OpenMode mode,
                                           Disposition disposition, OpenError* error) = 0;
  // Creates one folder level; false when it could not (existing included).
  virtual bool CreateFolder(const char16_t* path) = 0;
  // Whether |path| names an existing folder (a link to one counts).
  virtual bool IsFolder(const char16_t* path) = 0;
  // Removes a file; false when it could not.
  virtual bool Remove(const char16_t* path) = 0;
  // Waits before an open is tried again (see OpenWaitingForSharing). The
  // real file systems sleep; a test double may count instead.
  virtual void PauseBeforeRetry(uint32_t milliseconds);
};

// Sleeps on the calling thread for about |milliseconds|.
void SleepMilliseconds(uint32_t milliseconds);

// Opens like fs->Open (fs->OpenBeside when |model| is given), but while the
// open fails with a sharing violation (another handle holds the file and
// shares nothing) it pauses and tries again, for about |patience_ms| in all,
// before it gives up with that error.
std::unique_ptr<File> OpenWaitingForSharing(FileSystem* fs, const char16_t* path, OpenMode mode,
                                            Disposition disposition, OpenError* error,
                                            uint32_t patience_ms, File* model = nullptr);

// The machine's real file system.
FileSystem* RealFileSystem();

// The file system the store uses: the real one unless a test replaced it.
FileSystem* CurrentFileSystem();

// Replaces the file system the store uses; nullptr restores the real one.
// Returns the previous one. Meant for tests; not synchronised.
FileSystem* SetFileSystemForTesting(FileSystem* fs);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_FILE_H_

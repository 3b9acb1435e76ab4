// Thin file layer under the store: Win32 handles in the Windows build, POSIX
// descriptors natively. The store reaches files only through FileSystem, so
// tests can put a double in its place.
#ifndef ORVO_PLATFORM_FILE_H_
#define ORVO_PLATFORM_FILE_H_

#include <cstdint>

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
enum class OpenError {
  kNone,
  kNotFound,
  kAccessDenied,
  kSharingViolation,
  kInvalidPath,
  kNoMemory,  // the system or this process ran out of memory
  kLinked,
  kOther,
};

// Which file a handle holds and how far its content has gone: two stamps
// of one file are equal only while nothing has written to it in between
// (as far as the file system's change times tell).
struct FileStamp {
  uint64_t part[4] = {};
  bool operator==(const FileStamp& o) const {
    return part[0] == o.part[0] && part[1] == o.part[1] && part[2] == o.part[2] &&
           part[3] == o.part[3];
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
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // REQUIRES: |path| is a NUL-terminated UTF-16 path.
  // Returns a new File owned by the caller, or nullptr with *error set.
  // Never throws: running out of memory is the error kNoMemory.
  // The real file systems refuse links in every mode (see OpenError::kLinked)
  // and truncate only after that test. A failure other than kNotFound is
  // recorded (platform/file_failure.h).
  virtual File* Open(const char16_t* path, OpenMode mode, Disposition disposition,
                     OpenError* error) = 0;
  // Creates one folder level; false when it could not (existing included).
  virtual bool CreateFolder(const char16_t* path) = 0;
  // Removes a file; false when it could not.
  virtual bool Remove(const char16_t* path) = 0;
  // Waits before an open is tried again (see OpenWaitingForSharing). The
  // real file systems sleep; a test double may count instead.
  virtual void PauseBeforeRetry(uint32_t milliseconds);
};

// Sleeps on the calling thread for about |milliseconds|.
void SleepMilliseconds(uint32_t milliseconds);

// Opens like fs->Open, but while the open fails with a sharing violation
// (another handle holds the file and shares nothing) it pauses and tries
// again, for about |patience_ms| in all, before it gives up with that error.
File* OpenWaitingForSharing(FileSystem* fs, const char16_t* path, OpenMode mode,
                            Disposition disposition, OpenError* error, uint32_t patience_ms);

// The machine's real file system.
FileSystem* RealFileSystem();

// The file system the store uses: the real one unless a test replaced it.
FileSystem* CurrentFileSystem();

// Replaces the file system the store uses; nullptr restores the real one.
// Returns the previous one. Meant for tests; not synchronised.
FileSystem* SetFileSystemForTesting(FileSystem* fs);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_FILE_H_

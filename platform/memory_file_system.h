// An in-memory FileSystem for tests and fuzzing. Files are byte strings kept
// by path; opening follows the sharing rule of the real file systems (a
// writer shares with no one, readers share with each other).
//
// Each file has an owner, a group and permission bits, checked as POSIX
// checks them against |account|, the account the calls run as (root by
// default, which may do anything); the folder is a sticky one that everyone
// may create files in, so only a file's owner or root removes it. A name may
// also hold something that is not a file (a folder, a pipe).
//
// Failures can be injected per kind of call or at any call, and a crash can
// be simulated. Every file keeps two contents: what reads see, and what the
// last Flush made durable. A simulated power loss keeps the durable bytes
// and, for each 512-byte sector written since, keeps the old bytes, takes
// the new ones or tears the sector, as a seed decides.
#ifndef ORVO_PLATFORM_MEMORY_FILE_SYSTEM_H_
#define ORVO_PLATFORM_MEMORY_FILE_SYSTEM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/file_failure.h"
#include "platform/posix_access.h"

namespace orvo::platform {

class MemoryFileSystem final : public FileSystem {
 public:
  static constexpr uint32_t kSectorSize = 512;

  // Calls counted over all files since the last reset of the counters.
  struct Counts {
    int opens = 0;
    int reads = 0;
    int writes = 0;
    int seeks = 0;
    int flushes = 0;
    int sizes = 0;
    int closes = 0;  // of open handles only
    int removes = 0;
    int calls = 0;   // every call counted above, in the order made
    int pauses = 0;  // PauseBeforeRetry; not a call, never fails
  };

  // Injected failures. A per-kind call number counts that kind from 1 over
  // all files; fail_call and crash_call count Counts::calls.
  struct Faults {
    bool fail_open = false;
    bool fail_size = false;
    int fail_read_call = 0;    // that Read call fails
    int fail_write_call = 0;   // that Write call fails having written nothing
    int short_write_call = 0;  // that Write call writes half and fails
    int fail_seek_call = 0;
    int fail_flush_call = 0;
    // That call fails, whatever its kind: an Open gives nothing (access
    // denied), a Write writes the first half of its bytes, a Close still
    // releases the handle.
    int fail_call = 0;
    // The process stops before that call: it and every later call fail
    // without effect (handles closed by a dead process still release their
    // sharing) until Crash.
    int crash_call = 0;
    // The next opens of an existing file meet a writer that holds it: they
    // fail with a sharing violation. Counts down.
    int busy_opens = 0;
    // Every file is read-only: opens that would write or truncate fail with
    // access denied.
    bool read_only = false;
    // The cause a failed Size, Read, Write, Seek or Flush records (see
    // platform/file_failure.h). Failed opens record theirs.
    FileFailure cause = FileFailure::kOther;
  };

  enum class CrashKind {
    kProcessKill,  // the system keeps every write made
    kPowerLoss,    // only flushed bytes are sure to survive
  };

  MemoryFileSystem();
  ~MemoryFileSystem() override;

  // The account the calls run as.
  struct Account {
    uint32_t uid = 0;
    uint32_t gid = 0;
  };

  // What a name may hold besides a file.
  enum class NonFile { kFolder, kPipe };

  std::unique_ptr<File> Open(const char16_t* path, OpenMode mode, Disposition disposition,
                             OpenError* error) override;
  // Counts as an open. REQUIRES: |model| is a file of this file system.
  std::unique_ptr<File> OpenBeside(File* model, const char16_t* path, OpenMode mode,
                                   Disposition disposition, OpenError* error) override;
  bool CreateFolder(const char16_t* path) override;
  // Folders are not kept: every name is a folder but one that holds a file
  // or a pipe.
  bool IsFolder(const char16_t* path) override;
  bool Remove(const char16_t* path) override;
  void PauseBeforeRetry(uint32_t milliseconds) override;

  // Sets a file's content, as flushed.
  void SetFile(const std::u16string& path, const std::string& bytes);
  // What reads see. False when there is no such file.
  bool GetFile(const std::u16string& path, std::string* bytes) const;
  // Every file's path, in order.
  std::vector<std::u16string> Paths() const;

  // Sets a file's owner, group and bits. False when there is no such file.
  bool SetAccess(const std::u16string& path, const PosixAccess& access);
  // A file's owner, group and bits. False when there is no such file.
  bool GetAccess(const std::u16string& path, PosixAccess* access) const;
  // Puts |kind| at |path|, made by |owner|, in place of whatever was there.
  // Opens of it fail with OpenError::kNotAFile; a pipe can be removed by its
  // owner or root, a folder not at all.
  void PlantNonFile(const std::u16string& path, NonFile kind, uint32_t owner);

  // Ends every handle (their calls fail from then on) and leaves the files
  // as the crash leaves them. After a power loss a file made and never
  // flushed may be gone; in every other file each sector that differs from
  // its flushed content keeps the flushed bytes, takes the new ones or is
  // torn (one part new, the rest flushed), and a length that changed since
  // the flush is the old or the new one (bytes past the old end that were
  // not kept read as zeros), all as |seed| decides. Then the files count as
  // flushed, and faults.crash_call is cleared.
  void Crash(CrashKind kind, uint32_t seed);

  // True once the crash_call has been reached.
  bool stopped() const { return stopped_; }

  Counts counts;
  Faults faults;
  Account account;
  // The permission bits of a file that Open makes (0666 less a umask).
  uint32_t create_mode = 0644;

 private:
  struct Entry;
  class MemoryFile;
  enum class Fate { kRun, kFail, kDead };

  std::shared_ptr<Entry> NewEntry();
  File* OpenFile(File* model, const char16_t* path, OpenMode mode, Disposition disposition,
                 OpenError* error);
  // Counts one call of the kind |kind| points at and says how it goes.
  Fate BeginCall(int* kind);

  std::map<std::u16string, std::shared_ptr<Entry>> files_;
  uint64_t epoch_ = 0;  // raised by Crash: handles of an older epoch are dead
  bool stopped_ = false;
  uint64_t serials_ = 0;
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_MEMORY_FILE_SYSTEM_H_

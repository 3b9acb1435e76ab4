// An in-memory FileSystem for tests and fuzzing. Files are byte strings kept
// by path; opening follows the sharing rule of the real file systems (a
// writer shares with no one, readers share with each other); failures can be
// injected per kind of call.
#ifndef ORVO_PLATFORM_MEMORY_FILE_SYSTEM_H_
#define ORVO_PLATFORM_MEMORY_FILE_SYSTEM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/file.h"

namespace orvo::platform {

class MemoryFileSystem final : public FileSystem {
 public:
  // Calls counted over all files since the last Reset of the counters.
  struct Counts {
    int opens = 0;
    int reads = 0;
    int writes = 0;
    int seeks = 0;
    int flushes = 0;
  };

  // Injected failures. A call number counts from 1 over all files.
  struct Faults {
    bool fail_open = false;
    bool fail_size = false;
    int fail_read_call = 0;    // that Read call fails
    int fail_write_call = 0;   // that Write call fails having written nothing
    int short_write_call = 0;  // that Write call writes half and fails
    int fail_seek_call = 0;
    int fail_flush_call = 0;
  };

  MemoryFileSystem();
  ~MemoryFileSystem() override;

  File* Open(const char16_t* path, OpenMode mode, Disposition disposition,
             OpenError* error) override;
  bool CreateFolder(const char16_t* path) override;
  bool Remove(const char16_t* path) override;

  void SetFile(const std::u16string& path, const std::string& bytes);
  // False when there is no such file.
  bool GetFile(const std::u16string& path, std::string* bytes) const;

  Counts counts;
  Faults faults;

 private:
  struct Entry;
  class MemoryFile;
  std::map<std::u16string, std::shared_ptr<Entry>> files_;
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_MEMORY_FILE_SYSTEM_H_

#include "platform/file.h"

#include "platform/file_failure.h"

namespace orvo::platform {

namespace {

FileSystem* g_current = nullptr;

// The pause between two tries of OpenWaitingForSharing.
constexpr uint32_t kRetryPauseMs = 20;

}  // namespace

void FileSystem::PauseBeforeRetry(uint32_t milliseconds) { SleepMilliseconds(milliseconds); }

File* OpenWaitingForSharing(FileSystem* fs, const char16_t* path, OpenMode mode,
                            Disposition disposition, OpenError* error, uint32_t patience_ms) {
  // A wait that ends with the file open leaves no failure behind.
  const FileFailure before = LastFileFailure();
  uint32_t waited = 0;
  for (;;) {
    File* file = fs->Open(path, mode, disposition, error);
    if (file != nullptr && waited > 0) SetLastFileFailure(before);
    if (file != nullptr || *error != OpenError::kSharingViolation || waited >= patience_ms) {
      return file;
    }
    fs->PauseBeforeRetry(kRetryPauseMs);
    waited += kRetryPauseMs;
  }
}

FileSystem* CurrentFileSystem() { return g_current != nullptr ? g_current : RealFileSystem(); }

FileSystem* SetFileSystemForTesting(FileSystem* fs) {
  FileSystem* previous = CurrentFileSystem();
  g_current = fs;
  return previous;
}

}  // namespace orvo::platform

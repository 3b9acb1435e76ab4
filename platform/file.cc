#include "platform/file.h"

#include "platform/file_failure.h"

namespace orvo::platform {

namespace {

FileSystem* g_current = nullptr;

// The pause between two tries of OpenWaitingForSharing.
constexpr uint32_t kRetryPauseMs = 20;

}  // namespace

void FileSystem::PauseBeforeRetry(uint32_t milliseconds) { SleepMilliseconds(milliseconds); }

std::unique_ptr<File> OpenWaitingForSharing(FileSystem* fs, const char16_t* path, OpenMode mode,
                                            Disposition disposition, OpenError* error,
                                            uint32_t patience_ms, File* model) {
  // A wait that ends with the file open leaves no failure behind.
  const FileFailure before = LastFileFailure();
  uint32_t waited = 0;
  for (;;) {
    std::unique_ptr<File> file = model != nullptr
                                     ? fs->OpenBeside(model, path, mode, disposition, error)
                                     : fs->Open(path, mode, disposition, error);
    if (file != nullptr && waited > 0) SetLastFileFailure(before);
    if (file != nullptr || *error != OpenError::kSharingViolation || waited >= patience_ms) {
      return file;
    }
    fs->PauseBeforeRetry(kRetryPauseMs);
    waited += kRetryPauseMs;
  }
}

const char* CompanionTrustText(CompanionTrust trust) {
  switch (trust) {
    case CompanionTrust::kTrusted:
      return "trusted";
    case CompanionTrust::kForeignOwner:
      return "made by an account that may not write the file";
    case CompanionTrust::kWritableByOthers:
      return "writable by accounts that may not write the file";
    case CompanionTrust::kNotAPlainFile:
      return "not a plain file with one name";
    case CompanionTrust::kUnknown:
      break;
  }
  return "its owner or permissions could not be read";
}

FileSystem* CurrentFileSystem() { return g_current != nullptr ? g_current : RealFileSystem(); }

FileSystem* SetFileSystemForTesting(FileSystem* fs) {
  FileSystem* previous = CurrentFileSystem();
  g_current = fs;
  return previous;
}

}  // namespace orvo::platform

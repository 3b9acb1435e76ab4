// Why the most recent file call of this thread failed, for callers that sit
// above an interface which reports only success or failure (a store file's
// Save returns a bool) and must still tell the cause.
//
// The real and the in-memory file systems record a failure here whenever
// Open (for any reason but a missing file), Size, Read, Write, Seek or Flush
// fails. Successful calls, Close, Remove and CreateFolder leave it alone, so
// the cause of a failed sequence survives the handles closed after it.
#ifndef ORVO_PLATFORM_FILE_FAILURE_H_
#define ORVO_PLATFORM_FILE_FAILURE_H_

#include <cstdint>

namespace orvo::platform {

enum class FileFailure : uint8_t {
  kNone,              // no failure recorded since the last reset
  kAccessDenied,      // no permission, a read-only file, or a refused link
  kDiskFull,          // no space left (or the quota is used up)
  kSharingViolation,  // another handle holds the file
  // A name the store keeps beside the file holds something it may not use
  // or replace: a folder, a pipe, a device, a link, or a file made by
  // another account that this one may not remove. Recorded by the store.
  kNameInTheWay,
  kOther,  // anything else
};

// The failure recorded last on the calling thread.
FileFailure LastFileFailure();

// Records |failure| for the calling thread; kNone resets it.
void SetLastFileFailure(FileFailure failure);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_FILE_FAILURE_H_

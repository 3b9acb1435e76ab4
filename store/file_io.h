// Reading and writing whole configuration files: the 512-byte header with its
// two-phase commit, and the body written depth-first.
#ifndef ORVO_STORE_FILE_IO_H_
#define ORVO_STORE_FILE_IO_H_

#include <cstdint>

#include "platform/file.h"
#include "platform/recursive_lock.h"
#include "store/format.h"
#include "store/node.h"

constexpr int kCfHeaderImageSize = 32;

// The first 32 bytes of a header kept by a file object.
struct CfHeaderImage {
  uint8_t bytes[kCfHeaderImageSize];
};

namespace orvo::store {

// Sets |image| to the header of a new tree.
void InitNewHeaderImage(CfHeaderImage* image);

// A new tree: a branch root named "Root", type 0, no value, no children.
// nullptr when memory runs out.
CfNode* NewTree();

}  // namespace orvo::store

// How long a reader that meets a save in progress (a sharing violation)
// keeps trying before it fails.
constexpr uint32_t kCfSharingPatienceMs = 1000;

// What the reader made of a file's content, in the order it tests. kNoMemory
// and kReadError say nothing of the content: they make the open fail (see
// CfOpenFails). kBodyPastEnd and kBadChecksum are damage: the records that
// still parse are read (salvaged). Every other state but kLoaded makes the
// file open as a new tree.
enum class CfFileState {
  kLoaded,        // the tree was read
  kEmpty,         // the file is empty
  kShortHeader,   // the 512-byte header could not be read in full
  kBadMagic,      // the magic number is wrong
  kBadVersion,    // the version is above the highest one known
  kNotCommitted,  // the commit marks differ: a save was interrupted
  kNoBody,        // the body size is 0
  kBodyPastEnd,   // the body size claims more bytes than the file holds (salvaged)
  kNoMemory,      // memory ran out while the file was read (the body or a record)
  kReadError,     // a read failed with an error (not the end of the file)
  kShortBody,     // the body could not be read in full
  kBadChecksum,   // the body's checksum differs from the header's (salvaged)
  kBadRoot,       // the root record cannot be read
};

namespace orvo::store {

// True for the states in which the content is unknown rather than unusable:
// an open fails instead of taking a new tree, so that no save replaces it.
inline bool CfOpenFails(CfFileState state) {
  return state == CfFileState::kNoMemory || state == CfFileState::kReadError;
}

// A short lower-case description of |state|, for messages.
const char* CfFileStateText(CfFileState state);

}  // namespace orvo::store

// What the reading sequence found in a file.
struct CfFileReport {
  // The open failed (then nothing else is set) and why.
  bool opened = false;
  orvo::platform::OpenError open_error = orvo::platform::OpenError::kNone;
  // The size could be had (then it is in file_size).
  bool sized = false;
  uint64_t file_size = 0;
  // The whole header was read (then its fields are decoded).
  bool header_read = false;
  CfHeaderFields header = {};
  // The body was read; its checksum is computed and, for the current version,
  // tested against the header's.
  bool body_read = false;
  bool checksum_tested = false;
  uint32_t checksum_computed = 0;
  CfFileState state = CfFileState::kEmpty;
  // For a body that was parsed: the nodes read, whether reading stopped at a
  // record it could not read, and how many body bytes the tree covers.
  CfParseStats parse;
  uint32_t parsed_bytes = 0;

  bool committed() const { return header_read && header.commit_mark == header.commit_mark_copy; }
  bool checksum_ok() const { return body_read && checksum_computed == header.checksum; }
  // Every record of the file was read.
  bool whole() const { return state == CfFileState::kLoaded && parse.complete; }
};

namespace orvo::store {

// The content checks and the parse of the reading sequence on |file|, read
// from its current position (its start): fills |report| and |header| and
// returns the tree when the state is kLoaded, or what parses of a damaged
// body (kBodyPastEnd, kBadChecksum). With |checksum_always| the
// checksum is also computed for older versions (for reports; it is tested
// only for the current version).
CfNode* ReadConfigContent(orvo::platform::File* file, bool checksum_always, CfFileReport* report,
                          uint8_t (&header)[kCfHeaderSize]);

// The same checks and parse on a file held in memory: the 512-byte |header|
// followed by |body_size| bytes at |body|.
CfNode* ReadConfigImage(const uint8_t* header, const uint8_t* body, uint32_t body_size,
                        CfFileReport* report);

// Writes all |n| bytes at the file pointer.
bool WriteAll(orvo::platform::File* file, const uint8_t* data, uint32_t n);

// Writes |root| as the whole content of |file|, a file its caller has just
// made and still holds (so it held nothing anyone could lose): the first
// header, the body and the final header from |image|, then flushes it. No
// side file is needed for such a file. False when the tree cannot be
// serialised or a write or the flush fails.
bool WriteNewConfigFile(orvo::platform::File* file, const CfHeaderImage& image, const CfNode* root);

// Runs the reading sequence on an existing file (it is never created; the
// side file is not consulted) and reports what it found, waiting like
// LoadConfigFile while a save holds the file. Returns false when the file cannot be opened or
// sized. When |root| is not null and a tree was read (kLoaded, or salvaged
// from a damaged body), *root receives it, owned by the caller; otherwise
// *root is set to nullptr.
// REQUIRES: |path| is NUL-terminated.
bool InspectConfigFile(const CfChar* path, CfFileReport* report, CfNode** root);

}  // namespace orvo::store

#endif  // ORVO_STORE_FILE_IO_H_

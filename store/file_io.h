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

// Sets |image| to the header of a new tree.
void InitNewHeaderImage(CfHeaderImage* image);

// A new tree: a branch root named "Root", type 0, no value, no children.
// nullptr when memory runs out.
CfNode* NewTree();

// Runs the reading sequence on |path| with the creation disposition given.
// Returns false (and sets nothing) when the file cannot be opened or sized.
// Otherwise returns true with *root the loaded tree and *image its header, or,
// for an empty or unusable file, a new tree and a new header image.
// REQUIRES: |path| is NUL-terminated.
bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image);

// Runs the writing sequence: the tree is serialised while |lock| is held
// (*root is read under it), the file written outside it. Returns whether
// the final header write succeeded.
bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock);

// What the reader made of a file's content, in the order it tests. Every state
// but kLoaded makes the file open as a new tree.
enum class CfFileState {
  kLoaded,        // the tree was read
  kEmpty,         // the file is empty
  kShortHeader,   // the 512-byte header could not be read in full
  kBadMagic,      // the magic number is wrong
  kBadVersion,    // the version is above the highest one known
  kNotCommitted,  // the commit marks differ: a save was interrupted
  kNoBody,        // the body size is 0
  kBodyPastEnd,   // the body size claims more bytes than the file holds
  kNoMemory,      // no memory for the body
  kShortBody,     // the body could not be read in full
  kBadChecksum,   // the body's checksum differs from the header's
  kBadRoot,       // the root record cannot be read
};

// A short lower-case description of |state|, for messages.
const char* CfFileStateText(CfFileState state);

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
};

// Runs the reading sequence on an existing file (it is never created) and
// reports what it found. Returns false when the file cannot be opened or
// sized. When |root| is not null and the state is kLoaded, *root receives the
// tree, owned by the caller; otherwise *root is set to nullptr.
// REQUIRES: |path| is NUL-terminated.
bool InspectConfigFile(const CfChar* path, CfFileReport* report, CfNode** root);

#endif  // ORVO_STORE_FILE_IO_H_

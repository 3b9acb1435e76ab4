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

// Beside a file at PATH the store keeps two companions, named PATH plus a
// suffix of four units (so that a path of 255 units still fits MAX_PATH):
//   PATH.new  the side file: every save writes its complete new image there
//             and flushes it before it writes the file in place (after, when
//             the file itself is unusable). It stays after the save.
//   PATH.old  the kept copy: a save that replaces content which could not be
//             read first copies the old bytes there (one copy, the newest).
constexpr CfChar kCfSideFileSuffix[] = u".new";
constexpr CfChar kCfKeptCopySuffix[] = u".old";
constexpr int kCfCompanionSuffixLength = 4;
static_assert(sizeof(kCfSideFileSuffix) / sizeof(CfChar) == kCfCompanionSuffixLength + 1 &&
                  sizeof(kCfKeptCopySuffix) / sizeof(CfChar) == kCfCompanionSuffixLength + 1,
              "companion suffixes have four units");

// How long a reader that meets a save in progress (a sharing violation)
// keeps trying before it fails.
constexpr uint32_t kCfSharingPatienceMs = 1000;

// Where the tree of a load came from.
enum class CfTreeSource {
  kFile,        // the file, read whole
  kFilePart,    // the file, up to a record that could not be read
  kSideFile,    // the side file: the file itself would have opened as a new tree
  kEmpty,       // a new tree: the file is empty and there is no usable side file
  kUnreadable,  // a new tree in place of content that could not be read
};

// What a save must know of the files on disk, from the open that read them;
// the save keeps it up to date as it goes.
struct CfDiskState {
  // The tree does not hold all the file held (it was read in part, or not at
  // all): the old bytes are to be kept before anything replaces them.
  bool keep_old_bytes = false;
  // The file is unusable and the side file holds the only whole copy: the
  // file is written first, the side file after it.
  bool side_file_only = false;
};

// The disk state an open leaves, by where its tree came from.
inline CfDiskState CfDiskStateAfterLoad(CfTreeSource source) {
  CfDiskState state;
  state.keep_old_bytes = source == CfTreeSource::kFilePart || source == CfTreeSource::kUnreadable;
  state.side_file_only = source == CfTreeSource::kSideFile;
  return state;
}

// Runs the reading sequence on |path| with the creation disposition given,
// waiting up to kCfSharingPatienceMs while a save holds the file. Returns
// false (and sets nothing) when the file cannot be opened or sized, and when
// the file or its side file could not be read for lack of memory or a read
// error (CfOpenFails): then nothing on disk is changed.
// Otherwise returns true with *root the loaded tree and *image its header.
// When the file is empty or unusable, the side file's tree and header are
// taken if it holds a usable file; failing that, a new tree and a new header
// image. *source (may be null) tells which. The side file is read only for
// OPEN_EXISTING and OPEN_ALWAYS on a file that exists; when the open makes
// or empties the file (OPEN_ALWAYS on a missing file, CREATE_NEW,
// CREATE_ALWAYS, TRUNCATE_EXISTING), a side file left beside it belongs to
// content removed on purpose and is removed.
// REQUIRES: |path| is NUL-terminated.
bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image,
                    CfTreeSource* source = nullptr);

// Runs the writing sequence: the tree is serialised while |lock| is held
// (*root is read under it), the file written outside it. With the file held
// without sharing, the save
//   1. when state->keep_old_bytes is set, copies the present content to the
//      kept copy and flushes it: the file's bytes, or the side file's when
//      only the side file is usable;
//   2. writes the complete new image to the side file and flushes it;
//   3. writes the file in place: first header (commit marks 1 and 0) and
//      flush, body and flush, final header (2 and 2) and flush.
// When the side file holds the only whole copy (state->side_file_only, or
// found so: the file's header is not committed and the side file is usable),
// step 2 comes after step 3 and only once the file is durable. Either way one
// of the two files is whole at every moment, and a failure before the file
// is touched leaves it as it was. Returns whether the final header was
// written with the new image durable in one of the files. |state| may be
// null (a file that loaded whole).
bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock, CfDiskState* state = nullptr);

// What the reader made of a file's content, in the order it tests. kNoMemory
// and kReadError say nothing of the content: they make the open fail (see
// CfOpenFails). Every other state but kLoaded makes the file open as a new
// tree.
enum class CfFileState {
  kLoaded,        // the tree was read
  kEmpty,         // the file is empty
  kShortHeader,   // the 512-byte header could not be read in full
  kBadMagic,      // the magic number is wrong
  kBadVersion,    // the version is above the highest one known
  kNotCommitted,  // the commit marks differ: a save was interrupted
  kNoBody,        // the body size is 0
  kBodyPastEnd,   // the body size claims more bytes than the file holds
  kNoMemory,      // memory ran out while the file was read (the body or a record)
  kReadError,     // a read failed with an error (not the end of the file)
  kShortBody,     // the body could not be read in full
  kBadChecksum,   // the body's checksum differs from the header's
  kBadRoot,       // the root record cannot be read
};

// True for the states in which the content is unknown rather than unusable:
// an open fails instead of taking a new tree, so that no save replaces it.
inline bool CfOpenFails(CfFileState state) {
  return state == CfFileState::kNoMemory || state == CfFileState::kReadError;
}

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

// Runs the reading sequence on an existing file (it is never created; the
// side file is not consulted) and reports what it found, waiting like
// LoadConfigFile while a save holds the file. Returns false when the file cannot be opened or
// sized. When |root| is not null and the state is kLoaded, *root receives the
// tree, owned by the caller; otherwise *root is set to nullptr.
// REQUIRES: |path| is NUL-terminated.
bool InspectConfigFile(const CfChar* path, CfFileReport* report, CfNode** root);

#endif  // ORVO_STORE_FILE_IO_H_

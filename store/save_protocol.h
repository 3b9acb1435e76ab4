// How a configuration file F is opened and saved so that no crash, stale
// companion file, foreign file or second writer loses a save or brings back
// content that a finished save replaced.
//
// F keeps its format, its place and its in-place write: the first header
// (commit marks 1 and 0), the body, the final header (2 and 2). Other
// programs of the suite read and write F alone. Beside it the store keeps:
//   F.new  the side file: header and body of the image being saved, then a
//          trailer that records the save (in flight or finished), the header
//          F had when the save began and the first header it writes to F.
//          Written in place and reused: never truncated.
//   F.old  the kept copy: bytes of F that could not be read, copied there
//          before anything overwrites them.
//
// Invariants:
// - The side file is "in flight" only from the flush that makes it durable
//   until F's final header is: a save marks it finished right after F's
//   flush. An open takes the side file's tree only while it is in flight and
//   F's header is one the save could have left (each header byte is the one
//   F had, or one of the two headers the save writes): a side file never
//   stands in for an F that was emptied, removed, replaced, or written since
//   by another program.
// - An open takes the side file only when F does not load whole (or, for an
//   F of a version without a checksum, when F still shows the exact header
//   the in-flight save began from). It never reads the side file otherwise.
// - At every moment of a save one whole copy of the newest finished content
//   is on disk: F, or the side file while it is in flight. A save that finds
//   F unreadable but explained by an in-flight side file first copies the
//   side file's image into F and flushes it, and only then reuses the side
//   file.
// - A save decides what F holds from F itself, never from what the saving
//   object remembers alone: it compares F's header and stamp (identity, size,
//   change times) with those of the open or save that last read or wrote it
//   whole, and reads all of F when they differ or were never known.
// - Content of F that the store cannot read whole, and that no in-flight
//   side file explains, is copied to F.old and flushed before F is
//   overwritten. F.old therefore only ever receives bytes that do not load
//   whole: readable content never replaces it.
// - A durable save of a whole F flushes twice: the side file, then F.
#ifndef ORVO_STORE_SAVE_PROTOCOL_H_
#define ORVO_STORE_SAVE_PROTOCOL_H_

#include <cstdint>

#include "platform/file.h"
#include "platform/recursive_lock.h"
#include "store/file_io.h"
#include "store/node.h"

// Companion suffixes have four units, so that a path of 255 units plus one
// stays under MAX_PATH.
constexpr CfChar kCfSideFileSuffix[] = u".new";
constexpr CfChar kCfKeptCopySuffix[] = u".old";
constexpr int kCfCompanionSuffixLength = 4;
static_assert(sizeof(kCfSideFileSuffix) / sizeof(CfChar) == kCfCompanionSuffixLength + 1 &&
                  sizeof(kCfKeptCopySuffix) / sizeof(CfChar) == kCfCompanionSuffixLength + 1,
              "companion suffixes have four units");

// The side file's trailer, right after its body:
//   0   tag kCfSideTrailerTag
//   4   state: kCfSideInFlight or kCfSideFinished
//   8   the first 32 bytes of the first header the save writes to F
//   40  F's 512-byte header when the save began (zeros past F's end)
//   552 CfHash64 of the side file's header and body, then of bytes 8-551:
//       a torn side file never passes for a whole one
constexpr uint32_t kCfSideTrailerTag = 0x5744534F;  // "OSDW"
// The two states differ in every byte: no damaged byte turns one into the
// other (the trailer's checksum leaves the state out, as it is rewritten
// alone).
constexpr uint32_t kCfSideInFlight = 0x54484749;  // "IGHT"
constexpr uint32_t kCfSideFinished = 0x454E4F44;  // "DONE"
static_assert(((kCfSideInFlight ^ kCfSideFinished) & 0xFF) != 0 &&
                  ((kCfSideInFlight ^ kCfSideFinished) & 0xFF00) != 0 &&
                  ((kCfSideInFlight ^ kCfSideFinished) & 0xFF0000) != 0 &&
                  ((kCfSideInFlight ^ kCfSideFinished) & 0xFF000000) != 0,
              "the states differ in every byte");
constexpr size_t kCfSideStateOffset = 4;
constexpr size_t kCfSideFirstHeaderOffset = 8;
constexpr size_t kCfSideBaseHeaderOffset = kCfSideFirstHeaderOffset + kCfHeaderImageSize;
constexpr size_t kCfSideTrailerChecksumOffset = kCfSideBaseHeaderOffset + kCfHeaderSize;
constexpr size_t kCfSideTrailerSize = kCfSideTrailerChecksumOffset + 8;
static_assert(kCfSideTrailerSize == 560, "trailer layout");

// Where the tree of a load came from.
enum class CfTreeSource {
  kFile,        // F, read whole
  kFilePart,    // F, up to a record that could not be read
  kSideFile,    // the side file of a save caught in flight
  kEmpty,       // a new tree: F is empty
  kUnreadable,  // a new tree in place of content that could not be read
};

// What the side file held when an open looked at it.
enum class CfSideState {
  kNotRead,      // F loaded whole: the side file was not needed
  kAbsent,       // no side file, or an empty one
  kNotReadable,  // a read of it failed (an error, no memory): nothing is decided
  kUnusable,     // it does not load whole, or has no trailer
  kFinished,     // its save finished: F holds that content or newer
  kUnrelated,    // in flight, but F's header is not one that save could leave
  kInFlight,     // in flight and F's state is explained by it: its tree is used
};

// A short lower-case description of |state|, for messages.
const char* CfSideStateText(CfSideState state);

// What a load found, for tools that explain it.
struct CfLoadReport {
  CfFileReport file;  // F, as InspectConfigFile reports it
  CfSideState side = CfSideState::kNotRead;
  CfFileReport side_file;  // set when the side file was read
  CfTreeSource source = CfTreeSource::kEmpty;
  // F or its side file could not be read for a reason other than their
  // content (a read error, no memory): the load fails, nothing is decided.
  bool read_failed = false;
};

// What a file object knows of F from the last open or save that read or
// wrote it whole; a save compares it with F before it trusts F to be whole.
struct CfDiskMemory {
  bool known = false;
  uint8_t header[kCfHeaderSize] = {};
  orvo::platform::FileStamp stamp;
};

// Runs the reading sequence on |path| with the creation disposition given,
// waiting up to kCfSharingPatienceMs while a save holds the file. Returns
// false (and sets nothing) when the file cannot be opened or sized, when it
// or its side file cannot be read (an error, no memory: see
// CfLoadReport::read_failed), or when memory for the new tree runs out. Otherwise returns true with
// *root the tree and *image its header (a new tree's when F is empty or unusable and no side file
// stands in for it). |report| and |memory| may be null. When the open makes or empties F
// (OPEN_ALWAYS on a missing file, CREATE_NEW, CREATE_ALWAYS, TRUNCATE_EXISTING) a side file left
// beside it is removed. REQUIRES: |path| is NUL-terminated.
bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image,
                    CfLoadReport* report = nullptr, CfDiskMemory* memory = nullptr);

// Reads an existing F as LoadConfigFile does (the side file included) but
// changes nothing on disk: no file is made or removed. Returns false when F
// cannot be opened, sized or read (then report says why). |root| may be null.
// REQUIRES: |path| is NUL-terminated.
bool ExamineConfigFile(const CfChar* path, CfLoadReport* report, CfNode** root);

// Runs the writing sequence: the tree is serialised while |lock| is held
// (*root is read under it), the files written outside it, with F held
// without sharing throughout. |memory| (may be null) is what the caller
// knows of F; it is updated. Returns true once F's final header is durable.
// On false the tree on disk is the old one, or the new one where a crash
// would leave it so; nothing whole is lost.
bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock, CfDiskMemory* memory = nullptr);

#endif  // ORVO_STORE_SAVE_PROTOCOL_H_

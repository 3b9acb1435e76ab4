// How a configuration file F is opened and saved so that no crash, stale
// companion file, foreign file or second writer loses a save, and nothing
// that another program wrote is undone.
//
// F keeps its format, its place and its in-place write: the first header
// (commit marks 1 and 0), the body, the final header (2 and 2); of the body
// only the sectors that differ from what F holds are written. Other
// programs of the suite read and write F alone, without this protocol.
// Beside it the store keeps:
//   F.new  the side file: the save's final header and a trailer: the save's
//          state (in flight or finished), the first header it writes to F,
//          F's bytes when the save began from the first sector the save
//          changes (the base), and how the image's bytes from there are made
//          of them (an edit script). Sealed by a hash; written in place and
//          reused: never truncated.
//   F.old  the kept copy: bytes of F that could not be read whole, copied
//          there before anything overwrites them.
//
// Rules (code and tests cite them):
// R1 A save makes the side file durable before it writes F, and F durable
//    before it marks the side file finished; it reports success only once
//    that mark is durable. So a side file in flight on disk always belongs to
//    a save that did not report success.
// R2 A side file stands in for F only while it is in flight and F is a
//    strict mix of the save's base and its own writes: every byte of F (every
//    sector, when F loads whole) is the base's or one the save writes there,
//    and F is neither the base nor the image. Anything else that F holds was
//    written by someone else, or is the base untouched, or the save's image
//    complete: F is read by its own rules (R4). The save never shortens F,
//    so an F shorter than the base is not its work. A side file never stands
//    in for an F that is empty, missing, or was written whole since: a revert
//    to the base or to an earlier tree, an edit keeping size and byte sum, a
//    header mixing the bytes of earlier headers -- unless those bytes are,
//    byte for byte, what a power loss in that save leaves, which no reader
//    can tell apart.
// R3 A save decides what F holds from F itself: it compares F's header and
//    stamp with those of the last open or save that read or wrote it whole,
//    reads F through when they differ, and always reads the bytes it is about
//    to overwrite, which the side file keeps as its base (R2).
// R4 F that does not load whole keeps what can still be read: the records
//    that parse (a checksum that does not match included) are the tree. Such
//    an F is copied to F.old and flushed before a save overwrites it; F.old
//    only ever receives bytes that do not load whole.
// R5 A save that finds F torn by an earlier save (R2) first writes the side
//    file's image into F and flushes it, and only then reuses the side file.
// R6 A committed F of a newer format version is never written: the save
//    fails and leaves every file as it was.
// R7 A companion is believed only when no account that may not write F
//    could have made or changed it (File::TrustAsCompanionOf): an untrusted
//    side file is never read, whatever it holds, and a save replaces an
//    untrusted companion with one of its own before it writes there. The
//    store makes companions with F's access, so every account that may
//    write F may write them, and no other. A name that holds no plain file,
//    or an untrusted file that this account may not remove, fails the save
//    and is reported (CfLastSaveObstacle); it is never waited for.
//
// Crash points of a durable save and what the next open reads:
//   before the side file is durable  F as it was (the side file's seal fails
//                                     or it is finished)
//   side durable, F not yet written   F as it was (F is the base: R2)
//   F partly written or torn          the side file's image (R2)
//   F durable, mark not durable       F, the save's image (F is the image)
//   mark durable                      F
// A durable save flushes three times (R1): the side file, so that a torn F
// can be repaired; F, before the side file may be given up; the finished
// mark, so that no later write of F by anyone can be taken for this save's
// unfinished work. Without the third, a power loss after a save that
// reported success could leave its side file in flight, and a later write of
// F that reproduces a mix of base and image would be undone.
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

// The side file: the save's final header, then its trailer, the base bytes
// and the edit script that makes the image of them. The trailer, at 512:
//   0    tag kCfSideTrailerTag
//   4    state: kCfSideInFlight or kCfSideFinished
//   8    the first 32 bytes of the first header the save writes to F
//   40   the base's size: F's size when the save began
//   48   where the kept base bytes start in F (a body offset, sector-aligned):
//        the image's bytes before it are F's, which the save does not write
//   56   how many base bytes are kept (L): up to the end of the image or of
//        the base, whichever comes first
//   64   F's 512-byte header when the save began (zeros past F's end)
//   576  CfHash64Blocks of the image's body
//   584  the length of the edit script (E)
//   592  the L base bytes
//   592+L  the edit script (store/edit_script.h): the image's bytes from the
//        kept ones' start to its end, of literal bytes and copies of the base
//        bytes
//   592+L+E  the seal: CfHash64 of the header, continued over the trailer
//        from byte 8, the base bytes and the script: a torn side file never
//        passes for a whole one.
// So the side file holds one copy of what the save changes, and the image
// is F's unchanged start followed by what the script makes; its body hash
// tells whether F's start is still the one the save began from.
// Base bytes between the header and the kept ones equal the image's; past
// the base's end the base reads as zeros.
constexpr uint32_t kCfSideTrailerTag = 0x3444534F;  // "OSD4"
// Side files of two earlier layouts, left by earlier versions of the store,
// are read as before and never written: the whole image (the final header
// and the body), then a trailer as above up to byte 576, the base bytes and
// the seal. kCfSideTrailerTagWholeImage seals CfHash64Blocks of the body
// continued over the header, the trailer from byte 8 and the base bytes;
// kCfSideTrailerTagEarlier CfHash64 of the header, then of the whole body in
// one piece, then of the trailer and the base bytes.
constexpr uint32_t kCfSideTrailerTagWholeImage = 0x3344534F;  // "OSD3"
constexpr uint32_t kCfSideTrailerTagEarlier = 0x3244534F;     // "OSD2"
// The two states differ in every byte: no damaged byte turns one into the
// other (the seal leaves the state out, as it is rewritten alone).
constexpr uint32_t kCfSideInFlight = 0x54484749;  // "IGHT"
constexpr uint32_t kCfSideFinished = 0x454E4F44;  // "DONE"
static_assert(((kCfSideInFlight ^ kCfSideFinished) & 0xFF) != 0 &&
                  ((kCfSideInFlight ^ kCfSideFinished) & 0xFF00) != 0 &&
                  ((kCfSideInFlight ^ kCfSideFinished) & 0xFF0000) != 0 &&
                  ((kCfSideInFlight ^ kCfSideFinished) & 0xFF000000) != 0,
              "the states differ in every byte");
constexpr size_t kCfSideStateOffset = 4;
constexpr size_t kCfSideFirstHeaderOffset = 8;
constexpr size_t kCfSideBaseSizeOffset = kCfSideFirstHeaderOffset + kCfHeaderImageSize;
constexpr size_t kCfSideBaseFromOffset = kCfSideBaseSizeOffset + 8;
constexpr size_t kCfSideBaseLengthOffset = kCfSideBaseFromOffset + 8;
constexpr size_t kCfSideBaseHeaderOffset = kCfSideBaseLengthOffset + 8;
constexpr size_t kCfSideWholeImageTrailerSize = kCfSideBaseHeaderOffset + kCfHeaderSize;
constexpr size_t kCfSideBodyHashOffset = kCfSideWholeImageTrailerSize;
constexpr size_t kCfSideScriptLengthOffset = kCfSideBodyHashOffset + 8;
constexpr size_t kCfSideTrailerFixedSize = kCfSideScriptLengthOffset + 8;
constexpr size_t kCfSideSealSize = 8;
static_assert(kCfSideWholeImageTrailerSize == 576 && kCfSideTrailerFixedSize == 592,
              "trailer layout");
// Sectors a torn write keeps or replaces whole or in part.
constexpr uint32_t kCfSectorSize = 512;

// Where the tree of a load came from.
enum class CfTreeSource {
  kFile,        // F, read whole
  kFilePart,    // F in part: what parses of a body whose checksum does not
                //   match or that is cut short, up to a record that cannot
                //   be read
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
  kUnrelated,    // in flight, but F is not a mix that save could leave (R2)
  kInFlight,     // in flight and F's state is explained by it: its tree is used
  kUntrusted,    // another account may have made or changed it: not read (R7)
  kInTheWay,     // the name holds no plain file (a folder, a pipe, a link)
};

namespace orvo::store {

// A short lower-case description of |state|, for messages.
const char* CfSideStateText(CfSideState state);

}  // namespace orvo::store

// What a load found, for tools that explain it.
struct CfLoadReport {
  CfFileReport file;  // F, as InspectConfigFile reports it
  CfSideState side = CfSideState::kNotRead;
  // Why the side file was not trusted, when side is kUntrusted.
  orvo::platform::CompanionTrust side_trust = orvo::platform::CompanionTrust::kTrusted;
  CfFileReport side_file;  // set when the side file was read
  CfTreeSource source = CfTreeSource::kEmpty;
  // F or its side file could not be read for a reason other than their
  // content (a read error, no memory): the load fails, nothing is decided.
  bool read_failed = false;
};

// What a file object knows of F on disk from the last open or save that
// read or wrote it whole (its header and stamp then); a save compares it
// with F before it trusts F to be whole.
struct CfFileFingerprint {
  bool known = false;
  uint8_t header[kCfHeaderSize] = {};
  orvo::platform::FileStamp stamp;
};

namespace orvo::store {

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
                    CfLoadReport* report = nullptr, CfFileFingerprint* memory = nullptr);

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
// A save that meets a companion it may neither use nor replace (R7) records
// the failure kNameInTheWay (platform/file_failure.h).
bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock, CfFileFingerprint* memory = nullptr);

}  // namespace orvo::store

// The companions a save may meet in its way (R7).
enum class CfCompanion { kNone, kSideFile, kKeptCopy };

namespace orvo::store {

// The suffix of |companion|'s name (kCfSideFileSuffix, kCfKeptCopySuffix);
// an empty text for kNone.
const CfChar* CfCompanionSuffix(CfCompanion companion);

// Which companion stopped the calling thread's last save that failed with
// kNameInTheWay; kNone when none did.
CfCompanion CfLastSaveObstacle();

}  // namespace orvo::store

#endif  // ORVO_STORE_SAVE_PROTOCOL_H_

#include "store/save_protocol.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/file_failure.h"
#include "platform/malloc_buffer.h"
#include "store/coding.h"
#include "store/edit_script.h"
#include "store/hash64.h"
#include "store/tree.h"

using orvo::platform::CompanionTrust;
using orvo::platform::CurrentFileSystem;
using orvo::platform::Disposition;
using orvo::platform::File;
using orvo::platform::FileStamp;
using orvo::platform::OpenError;
using orvo::platform::OpenMode;

namespace orvo::store {

namespace {

using Buffer = orvo::platform::MallocBuffer;
using Tree = CfTree;  // frees a tree that nobody took

// PATH followed by a companion suffix, on the heap (paths given to the free
// functions have no fixed bound).
class CompanionPath {
 public:
  CompanionPath(const CfChar* path, const CfChar* suffix) {
    size_t n = 0;
    while (path[n] != 0) ++n;
    text_ = static_cast<CfChar*>(std::malloc((n + kCfCompanionSuffixLength + 1) * sizeof(CfChar)));
    if (text_ == nullptr) return;
    std::memcpy(text_, path, n * sizeof(CfChar));
    std::memcpy(text_ + n, suffix, (kCfCompanionSuffixLength + 1) * sizeof(CfChar));
  }
  ~CompanionPath() { std::free(text_); }
  CompanionPath(const CompanionPath&) = delete;
  CompanionPath& operator=(const CompanionPath&) = delete;

  // Null when memory ran out.
  const CfChar* get() const { return text_; }

 private:
  CfChar* text_ = nullptr;
};

// The companion that stopped this thread's last save (R7), or null.
thread_local CfCompanion t_obstacle = CfCompanion::kNone;

// Records that the companion |suffix| is in the way (R7); returns null.
std::unique_ptr<File> InTheWay(const CfChar* suffix) {
  t_obstacle = suffix == kCfKeptCopySuffix ? CfCompanion::kKeptCopy : CfCompanion::kSideFile;
  orvo::platform::SetLastFileFailure(orvo::platform::FileFailure::kNameInTheWay);
  return nullptr;
}

// Opens the companion |suffix| of F (|path|, open in |f|) as it is; null
// (with *error) when it cannot be.
std::unique_ptr<File> OpenCompanion(const CfChar* path, const CfChar* suffix, File* f,
                                    OpenMode mode, OpenError* error) {
  CompanionPath companion(path, suffix);
  if (companion.get() == nullptr) {
    *error = OpenError::kNoMemory;
    return nullptr;
  }
  return orvo::platform::OpenWaitingForSharing(CurrentFileSystem(), companion.get(), mode,
                                               orvo::platform::kOpenExisting, error,
                                               kCfSharingPatienceMs, f);
}

// Opens the companion |suffix| of F (|path|, open in |f|) for writing (R7):
// one that is missing is made with F's access; a trusted one is opened (and
// given F's access where this account may); an untrusted one is removed and
// made anew. |empty|: the companion's old content is dropped. Null on
// failure; a name that holds no plain file, or an untrusted file that cannot
// be removed, records kNameInTheWay.
std::unique_ptr<File> OpenCompanionForWriting(const CfChar* path, const CfChar* suffix, File* f,
                                              bool empty) {
  CompanionPath companion(path, suffix);
  if (companion.get() == nullptr) {
    orvo::platform::SetLastFileFailure(orvo::platform::FileFailure::kOther);
    return nullptr;
  }
  orvo::platform::FileSystem* fs = CurrentFileSystem();
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The second attempt follows a removal: only a file made now will do.
    const Disposition disposition =
        attempt > 0 ? orvo::platform::kCreateNew : orvo::platform::kOpenAlways;
    OpenError error = OpenError::kNone;
    std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
        fs, companion.get(), OpenMode::kReadWrite, disposition, &error, kCfSharingPatienceMs, f));
    if (!file) {
      if (error == OpenError::kNotAFile || error == OpenError::kLinked) return InTheWay(suffix);
      if (error != OpenError::kAccessDenied && attempt == 0) return nullptr;
      // A file this account may not open, or one made again at the name
      // since it was removed: in the way when the name holds something.
      OpenError probe = OpenError::kNone;
      std::unique_ptr<File> there(
          fs->Open(companion.get(), OpenMode::kRead, orvo::platform::kOpenExisting, &probe));
      if (probe == OpenError::kNotFound) return nullptr;
      if (attempt > 0 || !fs->Remove(companion.get())) return InTheWay(suffix);
      continue;
    }
    if (file->TrustAsCompanionOf(f) == CompanionTrust::kTrusted) {
      if (attempt == 0) file->TakeAccessOf(f);  // a courtesy: trusted either way
      if (!empty || attempt > 0) return file;
      // Emptied only now that it is known to be this store's.
      file.reset();
      OpenError error2 = OpenError::kNone;
      return orvo::platform::OpenWaitingForSharing(fs, companion.get(), OpenMode::kReadWrite,
                                                   orvo::platform::kTruncateExisting, &error2,
                                                   kCfSharingPatienceMs, f);
    }
    file.reset();
    if (attempt > 0 || !fs->Remove(companion.get())) return InTheWay(suffix);
  }
  return InTheWay(suffix);
}

// Whether a read of a file failed for a reason other than its content: the
// file says it holds the bytes but they could not be read (an error, a file
// that shrank meanwhile) or held (no memory). Such a file is not unusable:
// nothing is to be decided from it.
bool ReadFailed(const CfFileReport& r) {
  return !r.sized || CfOpenFails(r.state) || (!r.header_read && r.file_size >= kCfHeaderSize) ||
         r.state == CfFileState::kShortBody;
}

// F's bytes from its start: up to |limit| of them (all when it is larger
// than the file), with F's size.
struct Raw {
  uint64_t size = 0;
  Buffer bytes;
  uint64_t held = 0;  // how many of F's bytes |bytes| holds
  uint8_t at(uint64_t i) const { return i < held ? bytes.get()[i] : 0; }
};

// Reads |n| bytes at |at| of |file| into |out|; false when they cannot all
// be read (an error, a file shorter than that).
bool ReadInto(File* file, uint64_t at, uint64_t n, uint8_t* out) {
  if (!file->Seek(at)) return false;
  uint64_t held = 0;
  while (held < n) {
    const uint64_t left = n - held;
    const uint32_t want = left < (1u << 30) ? static_cast<uint32_t>(left) : (1u << 30);
    uint32_t got = 0;
    if (!file->Read(out + held, want, &got) || got == 0) return false;
    held += got;
  }
  return true;
}

// Reads |n| bytes at |at| of |file| into a new buffer; null on failure.
Buffer ReadAt(File* file, uint64_t at, uint64_t n) {
  Buffer out(static_cast<uint8_t*>(std::malloc(n > 0 ? n : 1)));
  if (!out || !ReadInto(file, at, n, out.get())) return Buffer();
  return out;
}

// F's bytes up to |limit| (all when it is larger than the file): false when
// F cannot be read (an error, no memory). REQUIRES: a limit that fits in
// memory is the caller's business (the image size bounds it).
bool ReadRaw(File* file, uint64_t limit, Raw* raw) {
  if (!file->Size(&raw->size)) return false;
  const uint64_t want = raw->size < limit ? raw->size : limit;
  raw->bytes = ReadAt(file, 0, want);  // null too when F shrank meanwhile
  raw->held = raw->bytes ? want : 0;
  return static_cast<bool>(raw->bytes);
}

// The side file of one path, read whole, with the image it makes.
struct Side {
  CfSideState state = CfSideState::kAbsent;
  OpenError open_error = OpenError::kNone;
  CompanionTrust trust = CompanionTrust::kTrusted;
  CfFileReport report;  // the image's, when it was made
  uint8_t header[kCfHeaderSize] = {};
  uint8_t trailer[kCfSideTrailerFixedSize] = {};
  Buffer body;  // the image's body
  Buffer base;  // the kept base bytes
  Tree tree;
  // The image could be made: its body hash matched (F's start is the one
  // the save began from). Without it F is no mix of that save's (R2).
  bool image_found = false;

  uint32_t body_size() const { return DecodeFixed32(header + kCfBodySizeOffset); }
  uint64_t image_size() const { return kCfHeaderSize + uint64_t{body_size()}; }
  uint64_t base_size() const { return DecodeFixed64(trailer + kCfSideBaseSizeOffset); }
  uint64_t base_from() const { return DecodeFixed64(trailer + kCfSideBaseFromOffset); }
  uint64_t base_length() const { return DecodeFixed64(trailer + kCfSideBaseLengthOffset); }

  // The byte the save writes last at |i| (its final header, then the body).
  uint8_t image_at(uint64_t i) const {
    return i < kCfHeaderSize ? header[i] : body.get()[i - kCfHeaderSize];
  }
  // The byte of the first header at |i| (REQUIRES: i < kCfHeaderSize).
  uint8_t first_at(uint64_t i) const {
    return i < kCfHeaderImageSize ? trailer[kCfSideFirstHeaderOffset + i] : 0;
  }
  // The base's byte at |i| (REQUIRES: i < image_size()).
  uint8_t base_at(uint64_t i) const {
    if (i < kCfHeaderSize) return trailer[kCfSideBaseHeaderOffset + i];
    if (i < base_from()) return image_at(i);
    if (i - base_from() < base_length()) return base.get()[i - base_from()];
    return 0;  // past the base's end
  }
};

// The seal of a side file (kCfSideTrailerTag) with |header| and |trailer|,
// |base| and |script|.
uint64_t SideSeal(const uint8_t* header, const uint8_t* trailer, const uint8_t* base,
                  uint64_t base_length, const uint8_t* script, uint64_t script_length) {
  uint64_t h = CfHash64(header, kCfHeaderSize, 0);
  h = CfHash64(trailer + kCfSideFirstHeaderOffset,
               kCfSideTrailerFixedSize - kCfSideFirstHeaderOffset, h);
  h = CfHash64(base, static_cast<size_t>(base_length), h);
  return CfHash64(script, static_cast<size_t>(script_length), h);
}

// The seal a side file of an earlier layout, with trailer |t|, must carry.
uint64_t WholeImageSeal(const uint8_t* header, const uint8_t* body, uint32_t size, const uint8_t* t,
                        const uint8_t* base, uint64_t base_length) {
  uint64_t h = 0;
  if (DecodeFixed32(t) == kCfSideTrailerTagEarlier) {
    h = CfHash64(header, kCfHeaderSize, 0);
    h = CfHash64(body, size, h);
  } else {
    h = CfHash64(header, kCfHeaderSize, CfHash64Blocks(body, size, 0));
  }
  h = CfHash64(t + kCfSideFirstHeaderOffset,
               kCfSideWholeImageTrailerSize - kCfSideFirstHeaderOffset, h);
  return CfHash64(base, static_cast<size_t>(base_length), h);
}

// Sets the side file's state from its trailer, once its seal passed.
void TakeState(Side* side) {
  const uint32_t state = DecodeFixed32(side->trailer + kCfSideStateOffset);
  if (state == kCfSideInFlight) {
    side->state = CfSideState::kInFlight;
  } else {
    side->tree.reset();
    side->state = state == kCfSideFinished ? CfSideState::kFinished : CfSideState::kUnusable;
  }
}

// Reads a side file of an earlier layout (the whole image, then the
// trailer), from its start.
void ReadWholeImageSide(File* file, Side* side) {
  if (!file->Seek(0)) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  side->tree.reset(ReadConfigContent(file, false, &side->report, side->header));
  if (ReadFailed(side->report)) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (!side->report.whole()) {
    side->tree.reset();
    side->state =
        side->report.state == CfFileState::kEmpty ? CfSideState::kAbsent : CfSideState::kUnusable;
    return;
  }
  const uint64_t fixed_end = side->image_size() + kCfSideWholeImageTrailerSize;
  const uint64_t file_size = side->report.file_size;
  uint8_t* t = side->trailer;
  if (file_size < fixed_end + kCfSideSealSize) {
    side->tree.reset();
    side->state = CfSideState::kUnusable;  // no whole trailer: torn or foreign
    return;
  }
  Buffer fixed = ReadAt(file, side->image_size(), kCfSideWholeImageTrailerSize);
  side->body = ReadAt(file, kCfHeaderSize, side->body_size());
  if (!fixed || !side->body) {
    side->tree.reset();
    side->state = CfSideState::kNotReadable;
    return;
  }
  std::memcpy(t, fixed.get(), kCfSideWholeImageTrailerSize);
  const uint64_t length = side->base_length();
  const uint64_t from = side->base_from();
  const uint32_t tag = DecodeFixed32(t);
  const bool shaped = (tag == kCfSideTrailerTagWholeImage || tag == kCfSideTrailerTagEarlier) &&
                      length <= file_size - fixed_end - kCfSideSealSize && from >= kCfHeaderSize &&
                      from <= side->image_size() && length <= side->image_size() - from;
  Buffer seal;
  if (shaped) {
    side->base = ReadAt(file, fixed_end, length);
    seal = ReadAt(file, fixed_end + length, kCfSideSealSize);
    if (!side->base || !seal) {
      side->tree.reset();
      side->state = CfSideState::kNotReadable;
      return;
    }
  }
  if (!shaped ||
      DecodeFixed64(seal.get()) != WholeImageSeal(side->header, side->body.get(), side->body_size(),
                                                  t, side->base.get(), length)) {
    side->tree.reset();
    side->state = CfSideState::kUnusable;
    return;
  }
  side->image_found = true;
  TakeState(side);
}

// Reads a side file of the current layout (|head|: its header and trailer)
// and, when it is in flight, makes its image of F's start (F open in |f|)
// and its script.
void ReadScriptedSide(File* file, File* f, const uint8_t* head, Side* side) {
  std::memcpy(side->header, head, kCfHeaderSize);
  std::memcpy(side->trailer, head + kCfHeaderSize, kCfSideTrailerFixedSize);
  const uint8_t* t = side->trailer;
  uint64_t file_size = 0;
  if (!file->Size(&file_size)) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  constexpr uint64_t kFixedEnd = kCfHeaderSize + kCfSideTrailerFixedSize;
  const uint64_t length = side->base_length();
  const uint64_t script_length = DecodeFixed64(t + kCfSideScriptLengthOffset);
  const uint64_t room =
      file_size >= kFixedEnd + kCfSideSealSize ? file_size - kFixedEnd - kCfSideSealSize : 0;
  if (file_size < kFixedEnd + kCfSideSealSize || length > room || script_length > room - length) {
    side->state = CfSideState::kUnusable;  // no whole trailer: torn or foreign
    return;
  }
  side->base = ReadAt(file, kFixedEnd, length);
  Buffer script = ReadAt(file, kFixedEnd + length, script_length + kCfSideSealSize);
  if (!side->base || !script) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (DecodeFixed64(script.get() + script_length) !=
      SideSeal(side->header, t, side->base.get(), length, script.get(), script_length)) {
    side->state = CfSideState::kUnusable;
    return;
  }
  TakeState(side);
  if (side->state != CfSideState::kInFlight) return;
  // The image: F's start, which the save does not write, then what the
  // script makes of the base bytes.
  const uint64_t from = side->base_from();
  const uint64_t n = side->image_size();
  const uint32_t size = side->body_size();
  if (size == 0 || from < kCfHeaderSize || from > n || length > n - from ||
      length > side->base_size() - (from < side->base_size() ? from : side->base_size())) {
    side->state = CfSideState::kUnusable;
    return;
  }
  // No buffer for an image that the script does not make.
  uint64_t made = 0;
  if (!CfEditsLength(script.get(), script_length, length, &made) || made != n - from) {
    side->state = CfSideState::kUnusable;
    return;
  }
  uint64_t f_size = 0;
  if (!f->Size(&f_size)) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (f_size < from) return;  // F is shorter than what the save left alone
  side->body.reset(static_cast<uint8_t*>(std::malloc(size)));
  if (!side->body) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (!ReadInto(f, kCfHeaderSize, from - kCfHeaderSize, side->body.get())) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (!CfApplyEdits(script.get(), script_length, side->base.get(), length,
                    side->body.get() + (from - kCfHeaderSize), n - from)) {
    side->state = CfSideState::kUnusable;
    return;
  }
  if (CfHash64Blocks(side->body.get(), size, 0) != DecodeFixed64(t + kCfSideBodyHashOffset)) {
    return;  // F's start is not the one the save began from
  }
  side->tree.reset(ReadConfigImage(side->header, side->body.get(), size, &side->report));
  if (ReadFailed(side->report)) {
    side->state = CfSideState::kNotReadable;
  } else if (!side->report.whole()) {
    side->tree.reset();
    side->state = CfSideState::kUnusable;
  } else {
    side->image_found = true;
  }
}

// Reads the side file of |path| (F, open in |f|) whole and checks its seal;
// an untrusted one is not read (R7). Called while F is held, so no save of
// this store is writing it.
void ReadSide(const CfChar* path, File* f, Side* side) {
  std::unique_ptr<File> file(
      OpenCompanion(path, kCfSideFileSuffix, f, OpenMode::kRead, &side->open_error));
  if (!file) {
    // One that is there but cannot be opened may hold the only whole copy.
    switch (side->open_error) {
      case OpenError::kNotFound:
        side->state = CfSideState::kAbsent;
        break;
      case OpenError::kNotAFile:
      case OpenError::kLinked:
        side->state = CfSideState::kInTheWay;
        break;
      default:
        side->state = CfSideState::kNotReadable;
    }
    return;
  }
  side->trust = file->TrustAsCompanionOf(f);
  if (side->trust != CompanionTrust::kTrusted) {
    side->state = CfSideState::kUntrusted;
    return;
  }
  uint8_t head[kCfHeaderSize + kCfSideTrailerFixedSize];
  uint32_t done = 0;
  if (!file->Read(head, sizeof(head), &done)) {
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (done == sizeof(head) && DecodeFixed32(head + kCfHeaderSize) == kCfSideTrailerTag) {
    ReadScriptedSide(file.get(), f, head, side);
  } else {
    ReadWholeImageSide(file.get(), side);
  }
}

// Whether the side file of |path| (F, open in |f|) says in flight, from its
// header and the trailer's tag and state alone: the only case in which it
// must be read whole (R2). Unreadable, untrusted (R7) or odd side files say
// no here; they are judged in full only when F does not load whole.
bool SideSaysInFlight(const CfChar* path, File* f) {
  OpenError error;
  std::unique_ptr<File> file(OpenCompanion(path, kCfSideFileSuffix, f, OpenMode::kRead, &error));
  if (!file || file->TrustAsCompanionOf(f) != CompanionTrust::kTrusted) return false;
  uint8_t head[kCfHeaderSize + 8];
  uint32_t done = 0;
  if (!file->Read(head, sizeof(head), &done) || done != sizeof(head)) return false;
  const uint8_t* t = head + kCfHeaderSize;
  if (DecodeFixed32(t) != kCfSideTrailerTag) {
    // An earlier layout: the trailer follows the whole image.
    const uint64_t at = kCfHeaderSize + uint64_t{DecodeFixed32(head + kCfBodySizeOffset)};
    if (!file->Seek(at) || !file->Read(head, 8, &done) || done != 8) return false;
    t = head;
    if (DecodeFixed32(t) != kCfSideTrailerTagWholeImage &&
        DecodeFixed32(t) != kCfSideTrailerTagEarlier) {
      return false;
    }
  }
  return DecodeFixed32(t + kCfSideStateOffset) == kCfSideInFlight;
}

// Whether F's header sector is torn once between what the disk held (the
// base's header) and one header the save wrote (its first or its final
// one), either part first: what a power loss in that save can leave. A cut
// between the save's two headers cannot be: nothing is flushed between them.
bool HeaderTornOnce(const Side& side, const Raw& raw) {
  for (int which = 0; which < 2; ++which) {
    auto written = [&](uint64_t i) { return which == 0 ? side.first_at(i) : side.image_at(i); };
    auto base = [&](uint64_t i) { return side.base_at(i); };
    for (int base_first = 0; base_first < 2; ++base_first) {
      // The longest start of F that is the one, the longest end that is the
      // other: a cut exists where they meet or overlap.
      uint64_t head = 0, tail = kCfHeaderSize;
      while (head < kCfHeaderSize && raw.at(head) == (base_first ? base(head) : written(head))) {
        ++head;
      }
      while (tail > 0 && raw.at(tail - 1) == (base_first ? written(tail - 1) : base(tail - 1))) {
        --tail;
      }
      if (tail <= head) return true;
    }
  }
  return false;
}

// Whether F (|raw|: all of it up to the side file's image size, and its
// size) is a strict mix of what the in-flight |side| found and wrote (R2).
// |whole|: F loads whole; then each sector must be the base's, the save's,
// or one torn once between them (the header: see HeaderTornOnce).
bool TornBy(const Side& side, const Raw& raw, bool whole) {
  if (!side.image_found) return false;  // F's start is not the save's base
  const uint64_t n = side.image_size();
  const uint64_t base_size = side.base_size();
  if (raw.size == 0) return false;  // emptied since: never stood in for
  // The save writes [0, n) and never shortens F: a shorter F than the base
  // was written by someone else since.
  if (raw.size > (base_size > n ? base_size : n) || raw.size < base_size) return false;
  bool is_base = raw.size == base_size;
  bool is_image = raw.size >= n;
  for (uint64_t start = 0; start < n; start += kCfSectorSize) {
    const uint64_t end = start + kCfSectorSize < n ? start + kCfSectorSize : n;
    // Per sector: where F first leaves each source, and whether every byte
    // is one of them.
    bool base_all = true, image_all = true, first_all = start == 0, any = true;
    uint64_t cuts = 0;
    int from = -1;  // the source of the previous byte: 0 base, 1 image, 2 first
    for (uint64_t i = start; i < end; ++i) {
      const uint8_t f = raw.at(i);
      const bool b = f == side.base_at(i);
      const bool m = f == side.image_at(i);
      const bool h = start == 0 && f == side.first_at(i);
      base_all &= b;
      image_all &= m;
      first_all &= h;
      if (!b && !m && !h) {
        any = false;
        break;
      }
      // Count changes of source where the previous one no longer fits.
      const int prefer = from >= 0 && ((from == 0 && b) || (from == 1 && m) || (from == 2 && h))
                             ? from
                             : (b   ? 0
                                : m ? 1
                                    : 2);
      if (from >= 0 && prefer != from) ++cuts;
      from = prefer;
    }
    if (!any) return false;
    is_base &= base_all;
    is_image &= image_all;
    if (whole && !(base_all || image_all || first_all) &&
        (start == 0 ? !HeaderTornOnce(side, raw) : cuts > 1)) {
      return false;
    }
  }
  return !is_base && !is_image;
}

// Remembers F as whole with |header|, as |file| shows it now.
void Remember(File* file, const uint8_t* header, CfFileFingerprint* memory) {
  if (memory == nullptr) return;
  memory->known = file->Stamp(&memory->stamp);
  std::memcpy(memory->header, header, kCfHeaderSize);
}

void Forget(CfFileFingerprint* memory) {
  if (memory != nullptr) memory->known = false;
}

// What a reading sequence is for: an open (LoadConfigFile), which may make
// F and remove a side file left beside a new one, or an examination
// (ExamineConfigFile), which changes nothing on disk, tests every checksum
// and reports every companion that a save would meet.
enum class Reading { kOpen, kExamination };

// Reads F (open in |file|) and, where F needs it, its side file. Returns
// the tree to use (null: a new tree) and fills |report|; *header receives the
// header of the tree's file. An examination tests every checksum and reports
// a side file that is not trusted or in the way even when F does not need it.
CfNode* ReadWithRecovery(File* file, const CfChar* path, bool may_read_side, Reading reading,
                         CfLoadReport* report, uint8_t (&header)[kCfHeaderSize]) {
  const bool checksum_always = reading == Reading::kExamination;
  Tree tree(ReadConfigContent(file, checksum_always, &report->file, header));
  if (!report->file.sized) return nullptr;
  report->side = CfSideState::kNotRead;
  if (ReadFailed(report->file)) {
    report->read_failed = true;
    return nullptr;
  }
  const bool whole = tree && report->file.whole();
  if (report->file.state == CfFileState::kEmpty) {
    report->source = CfTreeSource::kEmpty;
    return nullptr;
  }
  if (may_read_side && (!whole || SideSaysInFlight(path, file))) {
    Side side;
    ReadSide(path, file, &side);
    report->side = side.state;
    report->side_trust = side.trust;
    report->side_file = side.report;
    if (side.state == CfSideState::kNotReadable) {
      report->read_failed = true;
      return nullptr;
    }
    if (side.state == CfSideState::kInFlight) {
      Raw raw;
      if (!ReadRaw(file, side.image_size(), &raw)) {
        report->read_failed = true;
        return nullptr;
      }
      if (TornBy(side, raw, whole)) {  // R2
        std::memcpy(header, side.header, kCfHeaderSize);
        report->source = CfTreeSource::kSideFile;
        return side.tree.release();
      }
      report->side = CfSideState::kUnrelated;
    }
  }
  if (whole && may_read_side && checksum_always && report->side == CfSideState::kNotRead) {
    // An examination also tells of a side file that a save must replace or
    // that stands in its way (R7), though F does not need it.
    OpenError error = OpenError::kNone;
    std::unique_ptr<File> side(
        OpenCompanion(path, kCfSideFileSuffix, file, OpenMode::kRead, &error));
    if (side) {
      report->side_trust = side->TrustAsCompanionOf(file);
      if (report->side_trust != CompanionTrust::kTrusted) report->side = CfSideState::kUntrusted;
    } else if (error == OpenError::kNotAFile || error == OpenError::kLinked) {
      report->side = CfSideState::kInTheWay;
    }
  }
  if (whole) {
    report->source = CfTreeSource::kFile;
  } else {
    report->source = tree ? CfTreeSource::kFilePart : CfTreeSource::kUnreadable;  // R4
  }
  return tree.release();
}

// Copies |n| bytes from |from| at |at| to |to| at the same offset.
bool CopyRange(File* from, File* to, uint64_t at, uint64_t n) {
  constexpr uint32_t kChunk = 64 * 1024;
  Buffer chunk(static_cast<uint8_t*>(std::malloc(kChunk)));
  if (!chunk || !from->Seek(at) || !to->Seek(at)) return false;
  while (n > 0) {
    const uint32_t want = n < kChunk ? static_cast<uint32_t>(n) : kChunk;
    uint32_t got = 0;
    if (!from->Read(chunk.get(), want, &got) || got != want) return false;
    if (!WriteAll(to, chunk.get(), got)) return false;
    n -= got;
  }
  return true;
}

// Copies all of F (|file|, |size| bytes) to the kept copy and flushes it.
bool KeepOldBytes(const CfChar* path, File* file, uint64_t size) {
  std::unique_ptr<File> kept(OpenCompanionForWriting(path, kCfKeptCopySuffix, file, true));
  if (!kept || !CopyRange(file, kept.get(), 0, size) || !kept->Flush()) return false;
  kept->Close();  // the bytes are durable: a failed close changes nothing
  return true;
}

// Writes the in-flight side file's image into F, body first and header
// last, and flushes it: F is then whole again and the side file free (R5).
bool RestoreFromSide(const CfChar* path, const Side& side, File* file) {
  OpenError error;
  std::unique_ptr<File> from(
      OpenCompanion(path, kCfSideFileSuffix, file, OpenMode::kReadWrite, &error));
  // The side file's bytes may not be durable yet (its save was killed before
  // its flush): they are made so before F is overwritten with them.
  return from && from->Flush() && file->Seek(kCfHeaderSize) &&
         WriteAll(file, side.body.get(), side.body_size()) && file->Seek(0) &&
         WriteAll(file, side.header, kCfHeaderSize) && file->Flush();
}

// What a save finds in F. kKnown: whole, exactly as this object last read
// or wrote it (so no side file can be needed for it, R2).
enum class Found { kKnown, kWhole, kNotWhole, kNotRead };

// Whether F (open in |file|) holds a whole file. Trusts |memory| when F is
// exactly as it was last read or written whole (R3); reads F through
// otherwise. kNotRead: F could not be read (an error, no memory), so nothing
// may be decided from it. *newer: F is a committed file of a newer version.
Found ExamineFile(File* file, const Raw& raw, const CfFileFingerprint* memory, bool* newer) {
  *newer = false;
  if (raw.size == 0) return Found::kNotWhole;
  if (memory != nullptr && memory->known && raw.held >= kCfHeaderSize) {
    FileStamp now;
    if (file->Stamp(&now) && now == memory->stamp &&
        std::memcmp(raw.bytes.get(), memory->header, kCfHeaderSize) == 0) {
      return Found::kKnown;
    }
  }
  CfFileReport report;
  uint8_t header[kCfHeaderSize];
  if (!file->Seek(0)) return Found::kNotRead;
  Tree tree(ReadConfigContent(file, false, &report, header));
  if (ReadFailed(report)) return Found::kNotRead;
  *newer = report.state == CfFileState::kBadVersion && report.committed();
  return tree && report.whole() ? Found::kWhole : Found::kNotWhole;
}

// Marks the side file's save finished. |flush|: and makes the mark durable
// (R1). False when the mark could not be written (or flushed).
bool MarkFinished(File* side, bool flush) {
  uint8_t state[4];
  EncodeFixed32(state, kCfSideFinished);
  return side->Seek(uint64_t{kCfHeaderSize} + kCfSideStateOffset) &&
         WriteAll(side, state, sizeof(state)) && (!flush || side->Flush());
}

// The base bytes a save keeps: from the first body sector where F (|raw|)
// differs from the image to the end of what both hold.
void BaseRange(const Raw& raw, const uint8_t* body, uint32_t size, uint64_t* from,
               uint64_t* length) {
  const uint64_t n = kCfHeaderSize + uint64_t{size};
  const uint64_t both = raw.size < n ? raw.size : n;
  // Sector by sector: |i| stays sector-aligned, and a sector that differs
  // is where the kept bytes start. |raw| holds all |both| bytes.
  uint64_t i = kCfHeaderSize;
  while (i < both) {
    const uint64_t n = both - i < kCfSectorSize ? both - i : kCfSectorSize;
    if (std::memcmp(raw.bytes.get() + i, body + (i - kCfHeaderSize), n) != 0) break;
    i += n;
  }
  *from = i < both ? i - i % kCfSectorSize : both;
  if (*from < kCfHeaderSize) *from = kCfHeaderSize;
  *length = both > *from ? both - *from : 0;
}

// Writes the body sectors that F (|raw|: its bytes up to the image's end)
// does not already hold as the image has them, from the sector that holds
// |from| (BaseRange: every byte before it is the same in both); runs of
// changed sectors less than a page apart go out as one write. Sectors left alone are the base's
// and the image's at once, so whatever a crash keeps of the writes, F is a
// mix of the two as a write of the whole body would leave it (R2).
bool WriteChangedSectors(File* file, const Raw& raw, const uint8_t* body, uint32_t size,
                         uint64_t from) {
  constexpr uint64_t kMergeGap = 4096;
  const uint64_t end = kCfHeaderSize + uint64_t{size};
  uint64_t run = end;  // where the pending run of changed sectors starts
  uint64_t run_end = 0;
  auto flush_run = [&]() {
    if (run >= run_end) return true;
    const bool ok = file->Seek(run) && WriteAll(file, body + (run - kCfHeaderSize),
                                                static_cast<uint32_t>(run_end - run));
    run = end;
    run_end = 0;
    return ok;
  };
  const uint64_t first = from - (from - kCfHeaderSize) % kCfSectorSize;
  for (uint64_t at = first; at < end; at += kCfSectorSize) {
    const uint64_t stop = at + kCfSectorSize < end ? at + kCfSectorSize : end;
    const bool same = stop <= raw.held && std::memcmp(raw.bytes.get() + at,
                                                      body + (at - kCfHeaderSize), stop - at) == 0;
    if (same) continue;
    if (run < run_end && at - run_end >= kMergeGap && !flush_run()) return false;
    if (run >= run_end) run = at;
    run_end = stop;
  }
  return flush_run();
}

// Writes the |n| bytes at |data| to |file| at its pointer.
bool WriteLong(File* file, const uint8_t* data, uint64_t n) {
  for (uint64_t done = 0; done < n;) {
    const uint64_t left = n - done;
    const uint32_t part = left < (1u << 30) ? static_cast<uint32_t>(left) : (1u << 30);
    if (!WriteAll(file, data + done, part)) return false;
    done += part;
  }
  return true;
}

// Writes the side file of a save of |final_header| and |body| over F's
// bytes |base|, in place, and flushes it: the headers, the |length| base
// bytes from |from| (BaseRange) and the script that makes the image's bytes
// from there of them. Returns the open side file, or null on failure.
// |body_hash|: CfHash64Blocks of the body.
std::unique_ptr<File> WriteSide(const CfChar* path, File* f, const uint8_t* final_header,
                                const uint8_t* body, uint32_t size, uint64_t body_hash,
                                const uint8_t* first_header, const Raw& base, uint64_t from,
                                uint64_t length) {
  uint8_t head[kCfHeaderSize + kCfSideTrailerFixedSize] = {};
  std::memcpy(head, final_header, kCfHeaderSize);
  uint8_t* const trailer = head + kCfHeaderSize;
  EncodeFixed32(trailer, kCfSideTrailerTag);
  EncodeFixed32(trailer + kCfSideStateOffset, kCfSideInFlight);
  std::memcpy(trailer + kCfSideFirstHeaderOffset, first_header, kCfHeaderImageSize);
  EncodeFixed64(trailer + kCfSideBaseSizeOffset, base.size);
  EncodeFixed64(trailer + kCfSideBaseFromOffset, from);
  EncodeFixed64(trailer + kCfSideBaseLengthOffset, length);
  for (uint64_t i = 0; i < kCfHeaderSize; ++i) trailer[kCfSideBaseHeaderOffset + i] = base.at(i);
  EncodeFixed64(trailer + kCfSideBodyHashOffset, body_hash);
  const uint8_t* kept = base.bytes.get() + from;
  const uint8_t* changed = body + (from - kCfHeaderSize);
  const uint64_t changed_length = kCfHeaderSize + uint64_t{size} - from;
  CfEditStep steps[kCfEditMaxSteps];
  const size_t count = CfFindEdits(kept, length, changed, changed_length, steps);
  const uint64_t script_length = CfEditScriptSize(steps, count);
  Buffer script(static_cast<uint8_t*>(std::malloc(script_length + kCfSideSealSize)));
  if (!script) return nullptr;
  CfEncodeEdits(steps, count, changed, script.get());
  EncodeFixed64(trailer + kCfSideScriptLengthOffset, script_length);
  EncodeFixed64(script.get() + script_length,
                SideSeal(final_header, trailer, kept, length, script.get(), script_length));
  std::unique_ptr<File> side(OpenCompanionForWriting(path, kCfSideFileSuffix, f, false));
  if (!side) return nullptr;
  if (!side->Seek(0) || !WriteAll(side.get(), head, sizeof(head)) ||
      !WriteLong(side.get(), kept, length) ||
      !WriteLong(side.get(), script.get(), script_length + kCfSideSealSize) || !side->Flush()) {
    MarkFinished(side.get(), false);  // never left in flight by a save that failed before F
    return nullptr;
  }
  return side;
}

// The reading sequence shared by LoadConfigFile and ExamineConfigFile.
bool Load(const CfChar* path, uint32_t disposition, Reading reading, CfNode** root,
          uint8_t (&header)[kCfHeaderSize], CfLoadReport* report, CfFileFingerprint* memory) {
  // A file that OPEN_ALWAYS has to make is known as new: a side file beside
  // it is left over from a file removed since, and is not read.
  const bool keeps_content =
      disposition == orvo::platform::kOpenExisting || disposition == orvo::platform::kOpenAlways;
  OpenError error = OpenError::kNone;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kRead,
      keeps_content ? orvo::platform::kOpenExisting : static_cast<Disposition>(disposition), &error,
      kCfSharingPatienceMs));
  bool made = false;
  if (!file && error == OpenError::kNotFound && disposition == orvo::platform::kOpenAlways &&
      reading == Reading::kOpen) {
    file = orvo::platform::OpenWaitingForSharing(CurrentFileSystem(), path, OpenMode::kRead,
                                                 orvo::platform::kOpenAlways, &error,
                                                 kCfSharingPatienceMs);
    made = true;
  }
  report->file.open_error = error;
  if (!file) return false;
  report->file.opened = true;
  const bool fresh = made || !keeps_content;
  Tree tree(ReadWithRecovery(file.get(), path, !fresh, reading, report, header));
  if (!report->file.sized || report->read_failed) return false;
  // A file that this open made or emptied starts afresh: a side file beside
  // it belongs to content removed on purpose.
  if (fresh) {
    CompanionPath side(path, kCfSideFileSuffix);
    if (side.get() != nullptr) CurrentFileSystem()->Remove(side.get());
  }
  if (report->source == CfTreeSource::kFile) {
    Remember(file.get(), header, memory);
  } else {
    Forget(memory);
  }
  file->Close();
  *root = tree.release();
  return true;
}

}  // namespace

const char* CfSideStateText(CfSideState state) {
  switch (state) {
    case CfSideState::kNotRead:
      return "not needed";
    case CfSideState::kAbsent:
      return "none";
    case CfSideState::kNotReadable:
      return "could not be read";
    case CfSideState::kUnusable:
      return "does not load whole";
    case CfSideState::kFinished:
      return "left by a finished save";
    case CfSideState::kUnrelated:
      return "left by a save that the file has moved on from";
    case CfSideState::kInFlight:
      return "the copy of a save that did not finish";
    case CfSideState::kUntrusted:
      return "not trusted: another account may have made or changed it";
    case CfSideState::kInTheWay:
      return "not a plain file (a folder, a pipe, a device or a link)";
  }
  return "unknown state";
}

bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image,
                    CfLoadReport* report, CfFileFingerprint* memory) {
  CfLoadReport local;
  if (report == nullptr) report = &local;
  *report = CfLoadReport();
  uint8_t header[kCfHeaderSize];
  CfNode* tree = nullptr;
  if (!Load(path, disposition, Reading::kOpen, &tree, header, report, memory)) return false;
  if (tree != nullptr) {
    std::memcpy(image->bytes, header, kCfHeaderImageSize);
  } else {
    tree = NewTree();
    if (tree == nullptr) return false;  // no memory even for a new tree
    InitNewHeaderImage(image);
  }
  *root = tree;
  return true;
}

bool ExamineConfigFile(const CfChar* path, CfLoadReport* report, CfNode** root) {
  *report = CfLoadReport();
  uint8_t header[kCfHeaderSize];
  CfNode* tree = nullptr;
  if (!Load(path, orvo::platform::kOpenExisting, Reading::kExamination, &tree, header, report,
            nullptr)) {
    return false;
  }
  if (root != nullptr) {
    *root = tree;
  } else if (tree != nullptr) {
    FreeNodeTree(tree, nullptr);
  }
  return true;
}

bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock, CfFileFingerprint* memory) {
  t_obstacle = CfCompanion::kNone;
  // A reader of the suite may hold the file for a moment (it re-reads after
  // each broadcast): wait for it as readers wait for a save.
  OpenError error;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kReadWrite, orvo::platform::kOpenAlways, &error,
      kCfSharingPatienceMs));
  if (!file) return false;

  // A consistent snapshot: one walk under the lock, before anything is
  // written, so a tree that cannot be serialised leaves everything as it was.
  // The buffer starts at the size of the body last read or written, with
  // room for growth.
  size_t hint = 0;
  if (memory != nullptr && memory->known) {
    hint = DecodeFixed32(memory->header + kCfBodySizeOffset);
    hint += hint / 8 + kCfHashBlock;
  }
  CfBody made;
  {
    orvo::platform::LockGuard guard(lock);  // none without a lock
    if (!CfSerializeBody(*root, hint, &made)) return false;
  }
  Buffer buffer(made.bytes);
  const uint32_t size = made.size;
  const uint8_t* const body = buffer.get();
  const uint64_t image_size = kCfHeaderSize + uint64_t{size};

  // The first header: the image with the current version and commit marks 1
  // and 0, so F reads as unusable until the final header (size, checksum,
  // marks 2 and 2) is written over it.
  uint8_t first_header[kCfHeaderSize] = {};
  std::memcpy(first_header, image.bytes, kCfHeaderImageSize);
  EncodeFixed32(first_header + kCfVersionOffset, kCfVersion);
  EncodeFixed32(first_header + kCfCommitCopyOffset, 0);
  EncodeFixed32(first_header + kCfCommitOffset, kCfCommitWriting);
  uint8_t final_header[kCfHeaderSize];
  std::memcpy(final_header, first_header, kCfHeaderSize);
  EncodeFixed32(final_header + kCfBodySizeOffset, size);
  EncodeFixed32(final_header + kCfChecksumOffset, made.checksum);
  EncodeFixed32(final_header + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(final_header + kCfCommitCopyOffset, kCfCommitDone);

  // What F holds now, from F itself (R3): the bytes this save overwrites.
  Raw raw;
  if (!ReadRaw(file.get(), image_size, &raw)) return false;
  bool newer = false;
  const Found found = ExamineFile(file.get(), raw, memory, &newer);
  Forget(memory);
  if (found == Found::kNotRead) return false;
  if (newer) return false;  // R6: a newer program's file is never replaced
  const bool whole = found == Found::kWhole || found == Found::kKnown;
  if (raw.size != 0 && (!whole || SideSaysInFlight(path, file.get()))) {
    Side side;
    ReadSide(path, file.get(), &side);
    if (side.state == CfSideState::kNotReadable) {
      // One this account may not even open is no copy of its own (R7).
      if (side.open_error == OpenError::kAccessDenied) InTheWay(kCfSideFileSuffix);
      return false;
    }
    bool torn = false;
    if (side.state == CfSideState::kInFlight) {
      Raw all;
      if (!ReadRaw(file.get(), side.image_size(), &all)) return false;
      torn = TornBy(side, all, whole);
      // Not torn, F may still be that save's image or its base as written
      // and not yet durable: it is made so before the side file, its copy,
      // is reused (R5).
      if (!torn && !file->Flush()) return false;
    }
    if (torn) {
      // F is a save's unfinished work and the side file its only whole
      // copy: make F whole from it before the side file is reused (R5). F
      // holds nothing the side file does not: it is not kept.
      if (!RestoreFromSide(path, side, file.get()) || !ReadRaw(file.get(), image_size, &raw)) {
        return false;
      }
    } else if (!whole && !KeepOldBytes(path, file.get(), raw.size)) {  // R4
      return false;
    }
  }

  // Where F first differs from the image: the side file keeps F's bytes
  // from there, and F is written from there.
  uint64_t from = 0, length = 0;
  BaseRange(raw, body, size, &from, &length);
  std::unique_ptr<File> side(WriteSide(path, file.get(), final_header, body, size, made.hash,
                                       first_header, raw, from, length));
  if (!side) return false;
  // In place, then durable; only then is the side file's save finished, and
  // success is reported once that is durable too (R1). A save that fails
  // before it writes to F finishes the side file.
  if (!file->Seek(0)) {
    MarkFinished(side.get(), false);
    return false;
  }
  if (!WriteAll(file.get(), first_header, kCfHeaderSize) ||
      !WriteChangedSectors(file.get(), raw, body, size, from) || !file->Seek(0) ||
      !WriteAll(file.get(), final_header, kCfHeaderSize) || !file->Flush()) {
    return false;
  }
  if (!MarkFinished(side.get(), true)) return false;  // R1: the save says it failed
  side->Close();
  Remember(file.get(), final_header, memory);
  file->Close();
  return true;
}

CfCompanion CfLastSaveObstacle() { return t_obstacle; }

const CfChar* CfCompanionSuffix(CfCompanion companion) {
  switch (companion) {
    case CfCompanion::kSideFile:
      return kCfSideFileSuffix;
    case CfCompanion::kKeptCopy:
      return kCfKeptCopySuffix;
    case CfCompanion::kNone:
      break;
  }
  return u"";
}

}  // namespace orvo::store

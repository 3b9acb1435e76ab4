#include "store/save_protocol.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "store/coding.h"
#include "store/hash64.h"

using orvo::platform::CurrentFileSystem;
using orvo::platform::Disposition;
using orvo::platform::File;
using orvo::platform::FileStamp;
using orvo::platform::OpenError;
using orvo::platform::OpenMode;

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

// Frees a tree that nobody took.
struct TreeDeleter {
  void operator()(CfNode* node) const { FreeNodeTree(node, nullptr); }
};
using Tree = std::unique_ptr<CfNode, TreeDeleter>;

// Holds |lock| for one scope when there is one.
class MaybeLocked {
 public:
  explicit MaybeLocked(orvo::platform::RecursiveLock* lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->Lock();
  }
  ~MaybeLocked() {
    if (lock_ != nullptr) lock_->Unlock();
  }
  MaybeLocked(const MaybeLocked&) = delete;
  MaybeLocked& operator=(const MaybeLocked&) = delete;

 private:
  orvo::platform::RecursiveLock* lock_;
};

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

// Opens a companion of |path|; null (with *error) when it cannot be.
File* OpenCompanion(const CfChar* path, const CfChar* suffix, OpenMode mode,
                    Disposition disposition, OpenError* error) {
  CompanionPath companion(path, suffix);
  if (companion.get() == nullptr) {
    *error = OpenError::kNoMemory;
    return nullptr;
  }
  return orvo::platform::OpenWaitingForSharing(CurrentFileSystem(), companion.get(), mode,
                                               disposition, error, kCfSharingPatienceMs);
}

// Whether a read of a file failed for a reason other than its content: the
// file says it holds the bytes but they could not be read (an error, a file
// that shrank meanwhile) or held (no memory). Such a file is not unusable:
// nothing is to be decided from it.
bool ReadFailed(const CfFileReport& r) {
  return !r.sized || CfOpenFails(r.state) || (!r.header_read && r.file_size >= kCfHeaderSize) ||
         r.state == CfFileState::kShortBody;
}

// The first bytes of F: its header as it stands, zeros past F's end.
struct Head {
  uint64_t size = 0;
  uint8_t bytes[kCfHeaderSize] = {};
};

bool ReadHead(File* file, Head* head) {
  std::memset(head->bytes, 0, sizeof(head->bytes));
  uint32_t done = 0;
  return file->Size(&head->size) && file->Seek(0) && file->Read(head->bytes, kCfHeaderSize, &done);
}

// The hash that seals a side file: its header, its body, then the trailer's
// bytes 8 to 551.
uint64_t SideHash(const uint8_t* header, const uint8_t* body, uint32_t size,
                  const uint8_t* trailer) {
  uint64_t h = CfHash64(header, kCfHeaderSize, 0);
  h = CfHash64(body, size, h);
  return CfHash64(trailer + kCfSideFirstHeaderOffset,
                  kCfSideTrailerChecksumOffset - kCfSideFirstHeaderOffset, h);
}

// Whether every byte of F's head is one that the save recorded in |trailer|
// could have left there: F's byte when the save began, or the byte of the
// first or of the final header (|final_header|, the side file's own) that it
// writes. Torn sectors mix these bytes; nothing else produces only them.
bool Explains(const uint8_t* trailer, const uint8_t* final_header, const Head& head) {
  if (head.size == 0) return false;  // emptied since: never stood in for
  const uint64_t n = head.size < kCfHeaderSize ? head.size : kCfHeaderSize;
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t b = head.bytes[i];
    const uint8_t first = i < kCfHeaderImageSize ? trailer[kCfSideFirstHeaderOffset + i] : 0;
    if (b != trailer[kCfSideBaseHeaderOffset + i] && b != first && b != final_header[i]) {
      return false;
    }
  }
  return true;
}

// The side file of one path, read whole.
struct Side {
  CfSideState state = CfSideState::kAbsent;
  CfFileReport report;
  uint8_t header[kCfHeaderSize] = {};
  uint8_t trailer[kCfSideTrailerSize] = {};
  Tree tree;
};

// Reads the side file of |path| and judges it against F's |head|. Called
// while F is held, so no save of this store is writing it.
void ReadSide(const CfChar* path, const Head& head, Side* side) {
  OpenError error;
  std::unique_ptr<File> file(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kRead,
                                           orvo::platform::kOpenExisting, &error));
  if (!file) {
    // One that is there but cannot be opened may hold the only whole copy.
    side->state = error == OpenError::kNotFound ? CfSideState::kAbsent : CfSideState::kNotReadable;
    return;
  }
  side->tree.reset(ReadConfigContent(file.get(), false, &side->report, side->header));
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
  // The trailer follows the body, where the read stopped.
  uint32_t done = 0;
  const uint8_t* t = side->trailer;
  const uint32_t size = side->report.header.body_size;
  const bool read = file->Read(side->trailer, kCfSideTrailerSize, &done);
  const uint64_t end = kCfHeaderSize + uint64_t{size} + kCfSideTrailerSize;
  Buffer body(static_cast<uint8_t*>(std::malloc(size)));
  uint32_t got = 0;
  const bool body_read = body && read && file->Seek(kCfHeaderSize) &&
                         file->Read(body.get(), size, &got) && got == size;
  if (!read || (done == kCfSideTrailerSize && !body_read) ||
      (done != kCfSideTrailerSize && side->report.file_size >= end)) {
    side->tree.reset();
    side->state = CfSideState::kNotReadable;
    return;
  }
  if (done != kCfSideTrailerSize || DecodeFixed32(t) != kCfSideTrailerTag ||
      DecodeFixed64(t + kCfSideTrailerChecksumOffset) !=
          SideHash(side->header, body.get(), size, t)) {
    side->tree.reset();
    side->state = CfSideState::kUnusable;
    return;
  }
  if (DecodeFixed32(t + kCfSideStateOffset) != kCfSideInFlight) {
    side->state = CfSideState::kFinished;
  } else if (!Explains(t, side->header, head)) {
    side->state = CfSideState::kUnrelated;
  } else {
    side->state = CfSideState::kInFlight;
  }
  if (side->state != CfSideState::kInFlight) side->tree.reset();
  file->Close();
}

// Whether an F that reads whole may still be a save's unfinished work: a
// power loss can leave a header made of the save's headers (see Explains)
// over a body of old and new sectors whose plain byte sum still matches.
// Only while that save's side file is in flight.
bool MayBeTornBy(const Side& side, const Head& head) {
  return side.state == CfSideState::kInFlight && Explains(side.trailer, side.header, head);
}

// A cheap look at the side file for an F that reads whole: its header and
// trailer only. True when it is in flight and F's header is one its save
// could have left (see MayBeTornBy). Any failure to
// look counts as no: a whole F is not given up on a doubt.
bool SideMayHoldTheSave(const CfChar* path, const Head& head) {
  if (head.size < kCfHeaderSize) return false;
  OpenError error;
  std::unique_ptr<File> file(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kRead,
                                           orvo::platform::kOpenExisting, &error));
  Side side;
  uint32_t done = 0;
  uint64_t size = 0;
  if (!file || !file->Size(&size) || !file->Read(side.header, kCfHeaderSize, &done) ||
      done != kCfHeaderSize) {
    return false;
  }
  const uint64_t at = kCfHeaderSize + uint64_t{DecodeFixed32(side.header + kCfBodySizeOffset)};
  const uint8_t* t = side.trailer;
  if (size < at + kCfSideTrailerSize || !file->Seek(at) ||
      !file->Read(side.trailer, kCfSideTrailerSize, &done) || done != kCfSideTrailerSize ||
      DecodeFixed32(t) != kCfSideTrailerTag ||
      DecodeFixed32(t + kCfSideStateOffset) != kCfSideInFlight) {
    return false;
  }
  side.state = CfSideState::kInFlight;
  return MayBeTornBy(side, head);
}

// Reads F (open in |file|) and, where F needs it, its side file. Returns
// the tree to use (null: a new tree) and fills |report|; *header receives the
// header of the tree's file.
CfNode* ReadWithRecovery(File* file, const CfChar* path, bool may_read_side, bool checksum_always,
                         CfLoadReport* report, uint8_t (&header)[kCfHeaderSize]) {
  Tree tree(ReadConfigContent(file, checksum_always, &report->file, header));
  if (!report->file.sized) return nullptr;
  report->side = CfSideState::kNotRead;
  if (ReadFailed(report->file)) {
    report->read_failed = true;
    return nullptr;
  }
  Head head;
  if (report->file.header_read) {
    head.size = report->file.file_size;
    std::memcpy(head.bytes, header, kCfHeaderSize);
  }
  if (tree && report->file.whole() && (!may_read_side || !SideMayHoldTheSave(path, head))) {
    report->source = CfTreeSource::kFile;
    return tree.release();
  }
  if (report->file.state == CfFileState::kEmpty) {
    report->source = CfTreeSource::kEmpty;
    return nullptr;
  }
  Side side;
  if (may_read_side) {
    if (!ReadHead(file, &head)) {
      report->read_failed = true;
      return nullptr;
    }
    ReadSide(path, head, &side);
    report->side = side.state;
    report->side_file = side.report;
    if (side.state == CfSideState::kNotReadable) {
      report->read_failed = true;
      return nullptr;
    }
  }
  const bool whole = tree && report->file.whole();
  if (side.state == CfSideState::kInFlight && (!whole || MayBeTornBy(side, head))) {
    std::memcpy(header, side.header, kCfHeaderSize);
    report->source = CfTreeSource::kSideFile;
    return side.tree.release();
  }
  if (whole) {
    report->source = CfTreeSource::kFile;
  } else {
    report->source = tree ? CfTreeSource::kFilePart : CfTreeSource::kUnreadable;
  }
  return tree.release();
}

// Remembers F as whole with |header|, as |file| shows it now.
void Remember(File* file, const uint8_t* header, CfDiskMemory* memory) {
  if (memory == nullptr) return;
  memory->known = file->Stamp(&memory->stamp);
  std::memcpy(memory->header, header, kCfHeaderSize);
}

void Forget(CfDiskMemory* memory) {
  if (memory != nullptr) memory->known = false;
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
  OpenError error;
  std::unique_ptr<File> kept(OpenCompanion(path, kCfKeptCopySuffix, OpenMode::kReadWrite,
                                           orvo::platform::kCreateAlways, &error));
  if (!kept || !CopyRange(file, kept.get(), 0, size) || !kept->Flush()) return false;
  kept->Close();  // the bytes are durable: a failed close changes nothing
  return true;
}

// Writes the in-flight side file's image into F, body first and header
// last, and flushes it: F is then whole again and the side file free.
bool RestoreFromSide(const CfChar* path, const Side& side, File* file) {
  OpenError error;
  std::unique_ptr<File> from(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kReadWrite,
                                           orvo::platform::kOpenExisting, &error));
  // The side file's bytes may not be durable yet (its save was killed before
  // its flush): they are made so before F is overwritten with them.
  return from && from->Flush() &&
         CopyRange(from.get(), file, kCfHeaderSize, side.report.header.body_size) &&
         file->Seek(0) && WriteAll(file, side.header, kCfHeaderSize) && file->Flush();
}

// What a save finds in F.
enum class Found { kWhole, kNotWhole, kNotRead };

// Whether F (open in |file|, its head in |head|) holds a whole file. Trusts
// |memory| when F is exactly as it was last read or written whole; reads F
// through otherwise. Sets *torn_suspect when F was read through and found
// whole: it may still be a save's unfinished work (see MayBeTornBy). kNotRead: F could not be read
// (an error, no memory), so nothing may be decided from it.
Found ExamineFile(File* file, const Head& head, const CfDiskMemory* memory, bool* torn_suspect) {
  *torn_suspect = false;
  if (head.size == 0) return Found::kNotWhole;
  if (memory != nullptr && memory->known) {
    FileStamp now;
    if (file->Stamp(&now) && now == memory->stamp &&
        std::memcmp(head.bytes, memory->header, kCfHeaderSize) == 0) {
      return Found::kWhole;
    }
  }
  CfFileReport report;
  uint8_t header[kCfHeaderSize];
  if (!file->Seek(0)) return Found::kNotRead;
  Tree tree(ReadConfigContent(file, false, &report, header));
  if (ReadFailed(report)) return Found::kNotRead;
  *torn_suspect = report.whole();
  return report.whole() ? Found::kWhole : Found::kNotWhole;
}

// Marks the side file's save finished (not flushed: until the mark is
// durable, F's header tells a finished save apart, see Explains).
void MarkFinished(File* side, uint32_t body_size) {
  uint8_t state[4];
  EncodeFixed32(state, kCfSideFinished);
  if (side->Seek(uint64_t{kCfHeaderSize} + body_size + kCfSideStateOffset)) {
    WriteAll(side, state, sizeof(state));
  }
}

// Writes the complete image and its trailer to the side file, in place, and
// flushes it. Returns the open side file, or null on failure.
File* WriteSide(const CfChar* path, const uint8_t* final_header, const uint8_t* body, uint32_t size,
                const uint8_t* first_header, const Head& base) {
  uint8_t trailer[kCfSideTrailerSize] = {};
  EncodeFixed32(trailer, kCfSideTrailerTag);
  EncodeFixed32(trailer + kCfSideStateOffset, kCfSideInFlight);
  std::memcpy(trailer + kCfSideFirstHeaderOffset, first_header, kCfHeaderImageSize);
  std::memcpy(trailer + kCfSideBaseHeaderOffset, base.bytes, kCfHeaderSize);
  EncodeFixed64(trailer + kCfSideTrailerChecksumOffset,
                SideHash(final_header, body, size, trailer));
  OpenError error;
  std::unique_ptr<File> side(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kReadWrite,
                                           orvo::platform::kOpenAlways, &error));
  if (!side) return nullptr;
  if (!side->Seek(0) || !WriteAll(side.get(), final_header, kCfHeaderSize) ||
      !WriteAll(side.get(), body, size) || !WriteAll(side.get(), trailer, kCfSideTrailerSize) ||
      !side->Flush()) {
    MarkFinished(side.get(), size);  // never left in flight by a save that failed before F
    return nullptr;
  }
  return side.release();
}

// The reading sequence shared by LoadConfigFile and ExamineConfigFile.
bool Load(const CfChar* path, uint32_t disposition, bool change_nothing, bool checksum_always,
          CfNode** root, uint8_t (&header)[kCfHeaderSize], CfLoadReport* report,
          CfDiskMemory* memory) {
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
      !change_nothing) {
    file.reset(orvo::platform::OpenWaitingForSharing(CurrentFileSystem(), path, OpenMode::kRead,
                                                     orvo::platform::kOpenAlways, &error,
                                                     kCfSharingPatienceMs));
    made = true;
  }
  report->file.open_error = error;
  if (!file) return false;
  report->file.opened = true;
  const bool fresh = made || !keeps_content;
  Tree tree(ReadWithRecovery(file.get(), path, !fresh, checksum_always, report, header));
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
      return "the complete copy of a save that did not finish";
  }
  return "unknown state";
}

bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image,
                    CfLoadReport* report, CfDiskMemory* memory) {
  CfLoadReport local;
  if (report == nullptr) report = &local;
  *report = CfLoadReport();
  uint8_t header[kCfHeaderSize];
  CfNode* tree = nullptr;
  if (!Load(path, disposition, false, false, &tree, header, report, memory)) return false;
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
  if (!Load(path, orvo::platform::kOpenExisting, true, true, &tree, header, report, nullptr)) {
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
                    orvo::platform::RecursiveLock* lock, CfDiskMemory* memory) {
  // A reader of the suite may hold the file for a moment (it re-reads after
  // each broadcast): wait for it as readers wait for a save.
  OpenError error;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kReadWrite, orvo::platform::kOpenAlways, &error,
      kCfSharingPatienceMs));
  if (!file) return false;

  // A consistent snapshot: both passes under the lock, before anything is
  // written, so a tree that cannot be serialised leaves everything as it was.
  Buffer buffer;
  uint32_t size = 0;
  {
    MaybeLocked guard(lock);
    const CfNode* tree = *root;
    size = SerializeNode(tree, nullptr);
    if (size == 0) return false;
    buffer.reset(static_cast<uint8_t*>(std::malloc(size)));
    if (!buffer) return false;
    uint8_t* cursor = buffer.get();
    if (SerializeNode(tree, &cursor, size) != size) return false;
  }
  const uint8_t* const body = buffer.get();

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
  EncodeFixed32(final_header + kCfChecksumOffset, CfChecksum(body, size));
  EncodeFixed32(final_header + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(final_header + kCfCommitCopyOffset, kCfCommitDone);

  // What F holds now, from F itself.
  Head head;
  if (!ReadHead(file.get(), &head)) return false;
  bool torn_suspect = false;
  const Found found = ExamineFile(file.get(), head, memory, &torn_suspect);
  Forget(memory);
  if (found == Found::kNotRead) return false;
  const bool whole = found == Found::kWhole;
  if ((!whole || torn_suspect) && head.size != 0) {
    Side side;
    ReadSide(path, head, &side);
    if (side.state == CfSideState::kNotReadable) return false;
    if (side.state == CfSideState::kInFlight && (!whole || MayBeTornBy(side, head))) {
      // F is a save's unfinished work and the side file its only whole
      // copy: make F whole from it before the side file is reused. F holds
      // nothing the side file does not (see Explains): it is not kept.
      if (!RestoreFromSide(path, side, file.get()) || !ReadHead(file.get(), &head)) return false;
    } else if (!whole && !KeepOldBytes(path, file.get(), head.size)) {
      return false;
    }
  }

  std::unique_ptr<File> side(WriteSide(path, final_header, body, size, first_header, head));
  if (!side) return false;
  // In place, then durable; only then is the side file's save finished. A
  // save that fails before it writes to F finishes the side file too.
  if (!file->Seek(0)) {
    MarkFinished(side.get(), size);
    return false;
  }
  if (!WriteAll(file.get(), first_header, kCfHeaderSize) || !WriteAll(file.get(), body, size) ||
      !file->Seek(0) || !WriteAll(file.get(), final_header, kCfHeaderSize) || !file->Flush()) {
    return false;
  }
  MarkFinished(side.get(), size);
  side->Close();
  Remember(file.get(), final_header, memory);
  file->Close();
  return true;
}

#include "store/file_io.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "store/coding.h"

using orvo::platform::CurrentFileSystem;
using orvo::platform::Disposition;
using orvo::platform::File;
using orvo::platform::OpenError;
using orvo::platform::OpenMode;

namespace {

static_assert(kCfHeaderImageSize == kCfReserved28Offset + 4,
              "the image ends after the field at 28");

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

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

bool WriteAll(File* file, const uint8_t* data, uint32_t n) {
  uint32_t done = 0;
  return file->Write(data, n, &done) && done == n;
}

// The content checks and the parse of the reading sequence, on an open file.
// Fills |report| and |header|; returns the tree when the state is kLoaded.
// With |checksum_always| the checksum is also computed for older versions
// (for reports; it is tested only for the current version).
CfNode* ReadContent(File* file, bool checksum_always, CfFileReport* report,
                    uint8_t (&header)[kCfHeaderSize]) {
  if (!file->Size(&report->file_size)) return nullptr;
  report->sized = true;
  if (report->file_size == 0) {
    report->state = CfFileState::kEmpty;
    return nullptr;
  }
  uint32_t done = 0;
  if (!file->Read(header, kCfHeaderSize, &done)) {
    report->state = CfFileState::kReadError;
    return nullptr;
  }
  if (done != kCfHeaderSize) {
    report->state = CfFileState::kShortHeader;
    return nullptr;
  }
  report->header_read = true;
  CfHeaderFields& h = report->header;
  DecodeHeaderFields(header, &h);
  if (h.magic != kCfMagic) {
    report->state = CfFileState::kBadMagic;
    return nullptr;
  }
  if (h.version > kCfVersion) {
    report->state = CfFileState::kBadVersion;
    return nullptr;
  }
  if (h.commit_mark != h.commit_mark_copy) {
    report->state = CfFileState::kNotCommitted;
    return nullptr;
  }
  if (h.body_size == 0) {
    report->state = CfFileState::kNoBody;
    return nullptr;
  }
  // Known from the size already: no buffer is taken for a body that is not there.
  if (h.body_size > report->file_size - kCfHeaderSize) {
    report->state = CfFileState::kBodyPastEnd;
    return nullptr;
  }
  Buffer body(static_cast<uint8_t*>(std::malloc(h.body_size)));
  if (!body) {
    report->state = CfFileState::kNoMemory;
    return nullptr;
  }
  if (!file->Read(body.get(), h.body_size, &done)) {
    report->state = CfFileState::kReadError;
    return nullptr;
  }
  if (done != h.body_size) {
    report->state = CfFileState::kShortBody;
    return nullptr;
  }
  report->body_read = true;
  report->checksum_tested = h.version == kCfVersion;
  if (report->checksum_tested || checksum_always) {
    report->checksum_computed = CfChecksum(body.get(), h.body_size);
  }
  if (report->checksum_tested && report->checksum_computed != h.checksum) {
    report->state = CfFileState::kBadChecksum;
    return nullptr;
  }
  const uint8_t* cursor = body.get();
  CfNode* root = ParseNode(&cursor, body.get() + h.body_size, &report->parse);
  if (report->parse.out_of_memory) {
    // A tree cut short by memory is not what the file holds.
    if (root != nullptr) FreeNodeTree(root, nullptr);
    report->state = CfFileState::kNoMemory;
    return nullptr;
  }
  if (root == nullptr) {
    report->state = CfFileState::kBadRoot;
    return nullptr;
  }
  report->parsed_bytes = static_cast<uint32_t>(cursor - body.get());
  report->state = CfFileState::kLoaded;
  return root;
}

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

// Reads the side file of |path| into a tree, its header into |header|.
// Returns the tree, or null with *absent telling whether there is no side
// file at all (missing or empty) rather than one that cannot be used, and
// *failed whether it could not be read for lack of memory or a read error.
CfNode* ReadSideFile(const CfChar* path, uint8_t (&header)[kCfHeaderSize], bool* absent,
                     bool* failed) {
  OpenError error;
  std::unique_ptr<File> side(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kRead,
                                           orvo::platform::kOpenExisting, &error));
  *absent = !side && error == OpenError::kNotFound;
  *failed = !side && error == OpenError::kNoMemory;
  if (!side) return nullptr;
  CfFileReport report;
  CfNode* tree = ReadContent(side.get(), false, &report, header);
  *absent = report.sized && report.state == CfFileState::kEmpty;
  *failed = CfOpenFails(report.state);
  side->Close();
  return tree;
}

// True when the content of |file| (read from its start) would load. *known
// is cleared when that cannot be told (no memory, a read error).
bool Usable(File* file, bool* known) {
  CfFileReport report;
  uint8_t header[kCfHeaderSize];
  CfNode* tree = ReadContent(file, false, &report, header);
  *known = !CfOpenFails(report.state);
  if (tree == nullptr) return false;
  FreeNodeTree(tree, nullptr);
  return true;
}

// Copies all of |from| (from its start) to |to|. False on any failure.
bool CopyFile(File* from, File* to) {
  constexpr uint32_t kChunk = 64 * 1024;
  Buffer chunk(static_cast<uint8_t*>(std::malloc(kChunk)));
  uint64_t size = 0;
  if (!chunk || !from->Size(&size) || !from->Seek(0) || !to->Seek(0)) return false;
  uint64_t copied = 0;
  for (;;) {
    uint32_t got = 0;
    if (!from->Read(chunk.get(), kChunk, &got)) return false;
    if (got == 0) break;
    if (!WriteAll(to, chunk.get(), got)) return false;
    copied += got;
  }
  return copied == size;
}

// Opens the side file of |path| for reading into *side (null when there is
// none) and tells whether it holds a usable file. False when that cannot be
// told: the side file is there but cannot be opened.
bool ExamineSideFile(const CfChar* path, std::unique_ptr<File>* side, bool* usable) {
  OpenError error;
  side->reset(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kRead, orvo::platform::kOpenExisting,
                            &error));
  bool known = true;
  *usable = *side && Usable(side->get(), &known);
  return known && (*side || error == OpenError::kNotFound);
}

// Keeps the old content of the file held by |file| at |path| as the kept
// copy, flushed: the file's bytes, or the side file's when only the side
// file is usable (then *side_file_only is set). Nothing to keep succeeds.
bool KeepOldBytes(File* file, const CfChar* path, bool* side_file_only) {
  uint64_t size = 0;
  if (!file->Size(&size) || !file->Seek(0)) return false;
  bool known = true;
  const bool file_usable = size != 0 && Usable(file, &known);
  if (!known) return false;
  std::unique_ptr<File> side;
  bool side_usable = false;
  if (!file_usable && !ExamineSideFile(path, &side, &side_usable)) return false;
  *side_file_only = !file_usable && side_usable;
  File* source = *side_file_only ? side.get() : file;
  if (source == file && size == 0) return true;
  OpenError error;
  std::unique_ptr<File> kept(OpenCompanion(path, kCfKeptCopySuffix, OpenMode::kReadWrite,
                                           orvo::platform::kCreateAlways, &error));
  if (!kept || !CopyFile(source, kept.get()) || !kept->Flush()) return false;
  kept->Close();
  return true;
}

// Whether the header of |file| is committed: it reads whole, with the magic,
// a known version, equal commit marks and a body inside the file. False when
// the header cannot be read at all.
bool HeaderCommitted(File* file, bool* committed) {
  uint64_t size = 0;
  uint8_t header[kCfHeaderSize] = {};
  uint32_t done = 0;
  if (!file->Size(&size) || !file->Seek(0) || !file->Read(header, kCfHeaderSize, &done)) {
    return false;
  }
  CfHeaderFields h;
  DecodeHeaderFields(header, &h);
  *committed = done == kCfHeaderSize && h.magic == kCfMagic && h.version <= kCfVersion &&
               h.commit_mark == h.commit_mark_copy && h.body_size != 0 &&
               h.body_size <= size - kCfHeaderSize;
  return true;
}

// Writes a complete file, |header| and the |size| bytes of |body|, as the
// side file of |path| and flushes it.
bool WriteSideFile(const CfChar* path, const uint8_t* header, const uint8_t* body, uint32_t size) {
  OpenError error;
  std::unique_ptr<File> side(OpenCompanion(path, kCfSideFileSuffix, OpenMode::kReadWrite,
                                           orvo::platform::kCreateAlways, &error));
  if (!side || !WriteAll(side.get(), header, kCfHeaderSize) || !WriteAll(side.get(), body, size) ||
      !side->Flush()) {
    return false;
  }
  side->Close();  // the bytes are durable: a failed close changes nothing
  return true;
}

}  // namespace

void InitNewHeaderImage(CfHeaderImage* image) {
  std::memset(image->bytes, 0, sizeof(image->bytes));
  EncodeFixed32(image->bytes + kCfMagicOffset, kCfMagic);
  EncodeFixed32(image->bytes + kCfVersionOffset, kCfVersion);
  EncodeFixed32(image->bytes + kCfCommitOffset, kCfCommitWriting);
  EncodeFixed32(image->bytes + kCfHeaderSizeOffset, kCfHeaderSize);
}

CfNode* NewTree() { return CreateNode(u"Root", -1, CfTypeNone, nullptr, 0, 1); }

const char* CfFileStateText(CfFileState state) {
  switch (state) {
    case CfFileState::kLoaded:
      return "loaded";
    case CfFileState::kEmpty:
      return "the file is empty";
    case CfFileState::kShortHeader:
      return "the file is shorter than its 512-byte header";
    case CfFileState::kBadMagic:
      return "the header does not begin with the magic number";
    case CfFileState::kBadVersion:
      return "the format version is newer than this reader";
    case CfFileState::kNotCommitted:
      return "the commit marks differ (a save did not finish)";
    case CfFileState::kNoBody:
      return "the body size is 0";
    case CfFileState::kBodyPastEnd:
      return "the body size runs past the end of the file";
    case CfFileState::kNoMemory:
      return "out of memory while reading the file";
    case CfFileState::kReadError:
      return "a read failed with an error";
    case CfFileState::kShortBody:
      return "the body could not be read in full";
    case CfFileState::kBadChecksum:
      return "the body checksum does not match the header";
    case CfFileState::kBadRoot:
      return "the root record cannot be read";
  }
  return "unknown state";
}

bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image,
                    CfTreeSource* source) {
  // A file that OPEN_ALWAYS has to make is known as new: a side file beside
  // it is left over from a file removed since, and is not read.
  const bool keeps_content =
      disposition == orvo::platform::kOpenExisting || disposition == orvo::platform::kOpenAlways;
  OpenError error;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kRead,
      keeps_content ? orvo::platform::kOpenExisting : static_cast<Disposition>(disposition), &error,
      kCfSharingPatienceMs));
  bool made = false;
  if (!file && error == OpenError::kNotFound && disposition == orvo::platform::kOpenAlways) {
    file.reset(orvo::platform::OpenWaitingForSharing(CurrentFileSystem(), path, OpenMode::kRead,
                                                     orvo::platform::kOpenAlways, &error,
                                                     kCfSharingPatienceMs));
    made = true;
  }
  if (!file) return false;
  CfFileReport report;
  uint8_t header[kCfHeaderSize];
  CfNode* tree = ReadContent(file.get(), false, &report, header);
  if (!report.sized) return false;
  // Content that could not be read for lack of memory or a read error is
  // not known to be unusable: the open fails rather than offer a tree that
  // a save would write over it.
  if (CfOpenFails(report.state)) return false;
  // A file that this open made or emptied starts afresh: a side file beside
  // it belongs to content removed on purpose, which a later open of the
  // still empty file would otherwise bring back.
  if (made || !keeps_content) {
    CompanionPath side(path, kCfSideFileSuffix);
    if (side.get() != nullptr) CurrentFileSystem()->Remove(side.get());
  }
  CfTreeSource from = CfTreeSource::kFile;
  if (tree != nullptr) {
    if (!report.parse.complete) from = CfTreeSource::kFilePart;
  } else {
    // The side file is read while this file is held: no save can be
    // writing it meanwhile.
    bool side_absent = true;
    bool side_failed = false;
    if (keeps_content && !made) tree = ReadSideFile(path, header, &side_absent, &side_failed);
    if (side_failed) return false;  // as for the file itself
    if (tree != nullptr) {
      from = CfTreeSource::kSideFile;
    } else {
      from = report.state == CfFileState::kEmpty && side_absent ? CfTreeSource::kEmpty
                                                                : CfTreeSource::kUnreadable;
    }
  }
  file->Close();
  if (tree != nullptr) {
    std::memcpy(image->bytes, header, kCfHeaderImageSize);
  } else {
    tree = NewTree();
    if (tree == nullptr) return false;  // no memory even for a new tree
    InitNewHeaderImage(image);
  }
  *root = tree;
  if (source != nullptr) *source = from;
  return true;
}

bool InspectConfigFile(const CfChar* path, CfFileReport* report, CfNode** root) {
  *report = CfFileReport();
  if (root != nullptr) *root = nullptr;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kRead, orvo::platform::kOpenExisting,
      &report->open_error, kCfSharingPatienceMs));
  if (!file) return false;
  report->opened = true;
  uint8_t header[kCfHeaderSize];
  CfNode* tree = ReadContent(file.get(), true, report, header);
  file->Close();
  if (root != nullptr) {
    *root = tree;
  } else if (tree != nullptr) {
    FreeNodeTree(tree, nullptr);
  }
  return report->sized;
}

bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock, CfDiskState* state) {
  CfDiskState no_state;
  if (state == nullptr) state = &no_state;
  // A reader of the suite may hold the file for a moment (it re-reads after
  // each broadcast): wait for it as readers wait for a save, instead of
  // dropping the registration at once.
  OpenError error;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kReadWrite, orvo::platform::kOpenAlways, &error,
      kCfSharingPatienceMs));
  if (!file) return false;

  // A consistent snapshot: both passes under the lock. This happens before
  // anything is written, so a tree that cannot be serialised (no memory, a
  // body past 32 bits) leaves everything as it was.
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

  // The header written first: the image with the current version and commit
  // marks 1 and 0, so the file reads as unusable until the final header is
  // written. The final one adds the body's size and checksum and marks 2, 2.
  uint8_t header[kCfHeaderSize] = {};
  std::memcpy(header, image.bytes, kCfHeaderImageSize);
  EncodeFixed32(header + kCfVersionOffset, kCfVersion);
  EncodeFixed32(header + kCfCommitCopyOffset, 0);
  EncodeFixed32(header + kCfCommitOffset, DecodeFixed32(header + kCfCommitCopyOffset) + 1);
  uint8_t final_header[kCfHeaderSize];
  std::memcpy(final_header, header, kCfHeaderSize);
  EncodeFixed32(final_header + kCfBodySizeOffset, size);
  EncodeFixed32(final_header + kCfChecksumOffset, CfChecksum(body, size));
  EncodeFixed32(final_header + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(final_header + kCfCommitCopyOffset, kCfCommitDone);

  // Content the tree does not hold is copied aside before anything replaces
  // it. One of the two files is whole at every moment: when only the side
  // file is, the file is written first.
  bool side_file_only = state->side_file_only;
  if (state->keep_old_bytes) {
    if (!KeepOldBytes(file.get(), path, &side_file_only)) return false;
    state->keep_old_bytes = false;
  } else if (!side_file_only) {
    bool committed = false;
    if (!HeaderCommitted(file.get(), &committed)) return false;
    std::unique_ptr<File> side;
    if (!committed && !ExamineSideFile(path, &side, &side_file_only)) return false;
  }
  if (!side_file_only) {
    if (!WriteSideFile(path, final_header, body, size)) return false;
  }

  // In place. The first header reaches the disk before the body: the old
  // header, with an older version, might otherwise stand over a half-written
  // body it no longer describes. The body is on disk before the final header
  // marks the file committed.
  state->side_file_only = true;
  if (!file->Seek(0) || !WriteAll(file.get(), header, kCfHeaderSize) || !file->Flush() ||
      !WriteAll(file.get(), body, size) || !file->Flush() || !file->Seek(0) ||
      !WriteAll(file.get(), final_header, kCfHeaderSize)) {
    return false;
  }
  // Until the final header is durable the side file holds the only whole
  // copy: written after the file, it is rewritten only once the flush has
  // succeeded; written before, it holds the new image already.
  const bool durable = file->Flush();
  if (side_file_only) {
    if (!durable) return false;
    WriteSideFile(path, final_header, body, size);  // the file holds it now: best effort
  }
  state->side_file_only = !durable;
  file->Close();
  return true;
}

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
  if (!file->Read(header, kCfHeaderSize, &done) || done != kCfHeaderSize) {
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
  if (!file->Read(body.get(), h.body_size, &done) || done != h.body_size) {
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
  if (root == nullptr) {
    report->state = CfFileState::kBadRoot;
    return nullptr;
  }
  report->parsed_bytes = static_cast<uint32_t>(cursor - body.get());
  report->state = CfFileState::kLoaded;
  return root;
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
      return "no memory for the body";
    case CfFileState::kShortBody:
      return "the body could not be read in full";
    case CfFileState::kBadChecksum:
      return "the body checksum does not match the header";
    case CfFileState::kBadRoot:
      return "the root record cannot be read";
  }
  return "unknown state";
}

bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image) {
  OpenError error;
  std::unique_ptr<File> file(CurrentFileSystem()->Open(
      path, OpenMode::kRead, static_cast<Disposition>(disposition), &error));
  if (!file) return false;
  CfFileReport report;
  uint8_t header[kCfHeaderSize];
  CfNode* tree = ReadContent(file.get(), false, &report, header);
  file->Close();
  if (!report.sized) return false;
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

bool InspectConfigFile(const CfChar* path, CfFileReport* report, CfNode** root) {
  *report = CfFileReport();
  if (root != nullptr) *root = nullptr;
  std::unique_ptr<File> file(CurrentFileSystem()->Open(
      path, OpenMode::kRead, orvo::platform::kOpenExisting, &report->open_error));
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
                    orvo::platform::RecursiveLock* lock) {
  OpenError error;
  std::unique_ptr<File> file(
      CurrentFileSystem()->Open(path, OpenMode::kReadWrite, orvo::platform::kOpenAlways, &error));
  if (!file) return false;

  // A consistent snapshot: both passes under the lock. This happens before
  // anything is written, so a tree that cannot be serialised (no memory, a
  // body past 32 bits) leaves the file as it was.
  Buffer body;
  uint32_t size = 0;
  {
    MaybeLocked guard(lock);
    const CfNode* tree = *root;
    size = SerializeNode(tree, nullptr);
    if (size == 0) return false;
    body.reset(static_cast<uint8_t*>(std::malloc(size)));
    if (!body) return false;
    uint8_t* cursor = body.get();
    if (SerializeNode(tree, &cursor, size) != size) return false;
  }

  // First header: marks 1 and 0, so the file reads as unusable until the
  // final header is written.
  uint8_t header[kCfHeaderSize] = {};
  std::memcpy(header, image.bytes, kCfHeaderImageSize);
  EncodeFixed32(header + kCfVersionOffset, kCfVersion);
  EncodeFixed32(header + kCfCommitCopyOffset, 0);
  EncodeFixed32(header + kCfCommitOffset, DecodeFixed32(header + kCfCommitCopyOffset) + 1);
  // It reaches the disk before the body: the old header, with an older
  // version, might otherwise stand over a half-written body it no longer
  // describes.
  if (!file->Seek(0) || !WriteAll(file.get(), header, kCfHeaderSize) || !file->Flush()) {
    return false;
  }

  EncodeFixed32(header + kCfBodySizeOffset, size);
  EncodeFixed32(header + kCfChecksumOffset, CfChecksum(body.get(), size));

  // The body goes right after the first header; it must be on disk before the
  // final header marks the file committed.
  if (!WriteAll(file.get(), body.get(), size) || !file->Flush()) return false;
  body.reset();

  EncodeFixed32(header + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(header + kCfCommitCopyOffset, kCfCommitDone);
  if (!file->Seek(0) || !WriteAll(file.get(), header, kCfHeaderSize)) return false;
  file->Flush();  // best effort: the commit is the write above
  file->Close();
  return true;
}

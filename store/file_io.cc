#include "store/file_io.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/malloc_buffer.h"
#include "store/coding.h"

using orvo::platform::CurrentFileSystem;
using orvo::platform::Disposition;
using orvo::platform::File;
using orvo::platform::OpenError;
using orvo::platform::OpenMode;

namespace orvo::store {

namespace {

static_assert(kCfHeaderImageSize == kCfReserved28Offset + 4,
              "the image ends after the field at 28");

using Buffer = orvo::platform::MallocBuffer;

}  // namespace

bool WriteAll(File* file, const uint8_t* data, uint32_t n) {
  uint32_t done = 0;
  return file->Write(data, n, &done) && done == n;
}

bool WriteNewConfigFile(File* file, const CfHeaderImage& image, const CfNode* root) {
  CfBody made;
  if (!CfSerializeBody(root, 0, &made)) return false;
  Buffer body(made.bytes);
  const uint32_t size = made.size;
  uint8_t header[kCfHeaderSize] = {};
  std::memcpy(header, image.bytes, kCfHeaderImageSize);
  EncodeFixed32(header + kCfVersionOffset, kCfVersion);
  EncodeFixed32(header + kCfCommitOffset, kCfCommitWriting);
  EncodeFixed32(header + kCfCommitCopyOffset, 0);
  if (!file->Seek(0) || !WriteAll(file, header, kCfHeaderSize) ||
      !WriteAll(file, body.get(), size)) {
    return false;
  }
  EncodeFixed32(header + kCfBodySizeOffset, size);
  EncodeFixed32(header + kCfChecksumOffset, made.checksum);
  EncodeFixed32(header + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(header + kCfCommitCopyOffset, kCfCommitDone);
  return file->Seek(0) && WriteAll(file, header, kCfHeaderSize) && file->Flush();
}

namespace {

// The header's tests of the reading sequence on |header|, in order: false
// (with the state) at the first that fails.
bool HeaderPasses(const uint8_t* header, CfFileReport* report) {
  report->header_read = true;
  CfHeaderFields& h = report->header;
  DecodeHeaderFields(header, &h);
  if (h.magic != kCfMagic) {
    report->state = CfFileState::kBadMagic;
  } else if (h.version > kCfVersion) {
    report->state = CfFileState::kBadVersion;
  } else if (h.commit_mark != h.commit_mark_copy) {
    report->state = CfFileState::kNotCommitted;
  } else if (h.body_size == 0) {
    report->state = CfFileState::kNoBody;
  } else {
    return true;
  }
  return false;
}

// How many of the body's bytes the file holds: a body cut short is read as
// far as it goes, its records salvaged (kBodyPastEnd).
uint32_t BodyPresent(CfFileReport* report) {
  const uint32_t size = report->header.body_size;
  if (size <= report->file_size - kCfHeaderSize) return size;
  report->state = CfFileState::kBodyPastEnd;
  return static_cast<uint32_t>(report->file_size - kCfHeaderSize);
}

// The checksum and the parse of the |present| body bytes at |body|.
CfNode* ParseBody(const uint8_t* body, uint32_t present, bool checksum_always,
                  CfFileReport* report) {
  const CfHeaderFields& h = report->header;
  report->body_read = present == h.body_size;
  report->checksum_tested = report->body_read && h.version == kCfVersion;
  if (report->checksum_tested || (report->body_read && checksum_always)) {
    report->checksum_computed = CfChecksum(body, h.body_size);
  }
  // A body that does not match its checksum is damaged, not foreign: what
  // still parses of it is kept (the file does not load whole).
  const bool damaged = report->state == CfFileState::kBodyPastEnd ||
                       (report->checksum_tested && report->checksum_computed != h.checksum);
  if (damaged && report->state != CfFileState::kBodyPastEnd) {
    report->state = CfFileState::kBadChecksum;
  }
  const uint8_t* cursor = body;
  CfNode* root = ParseNode(&cursor, body + present, &report->parse);
  if (report->parse.out_of_memory) {
    // A tree cut short by memory is not what the file holds.
    if (root != nullptr) FreeNodeTree(root, nullptr);
    report->state = CfFileState::kNoMemory;
    return nullptr;
  }
  if (root == nullptr) {
    if (!damaged) report->state = CfFileState::kBadRoot;
    return nullptr;
  }
  report->parsed_bytes = static_cast<uint32_t>(cursor - body);
  if (!damaged) report->state = CfFileState::kLoaded;
  return root;
}

}  // namespace

CfNode* ReadConfigContent(File* file, bool checksum_always, CfFileReport* report,
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
  if (!HeaderPasses(header, report)) return nullptr;
  // Known from the size already: no buffer is taken for bytes that are not there.
  const uint32_t present = BodyPresent(report);
  Buffer body(static_cast<uint8_t*>(std::malloc(present > 0 ? present : 1)));
  if (!body) {
    report->state = CfFileState::kNoMemory;
    return nullptr;
  }
  if (!file->Read(body.get(), present, &done)) {
    report->state = CfFileState::kReadError;
    return nullptr;
  }
  if (done != present) {
    report->state = CfFileState::kShortBody;
    return nullptr;
  }
  return ParseBody(body.get(), present, checksum_always, report);
}

CfNode* ReadConfigImage(const uint8_t* header, const uint8_t* body, uint32_t body_size,
                        CfFileReport* report) {
  report->sized = true;
  report->file_size = kCfHeaderSize + uint64_t{body_size};
  if (!HeaderPasses(header, report)) return nullptr;
  return ParseBody(body, BodyPresent(report), false, report);
}

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

bool InspectConfigFile(const CfChar* path, CfFileReport* report, CfNode** root) {
  *report = CfFileReport();
  if (root != nullptr) *root = nullptr;
  std::unique_ptr<File> file(orvo::platform::OpenWaitingForSharing(
      CurrentFileSystem(), path, OpenMode::kRead, orvo::platform::kOpenExisting,
      &report->open_error, kCfSharingPatienceMs));
  if (!file) return false;
  report->opened = true;
  uint8_t header[kCfHeaderSize];
  CfNode* tree = ReadConfigContent(file.get(), true, report, header);
  file->Close();
  if (root != nullptr) {
    *root = tree;
  } else if (tree != nullptr) {
    FreeNodeTree(tree, nullptr);
  }
  return report->sized;
}

}  // namespace orvo::store

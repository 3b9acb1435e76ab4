// Feeds each input to the reader as a whole file image. A loaded tree must
// save and load back unchanged, and a second save must give the same bytes.
// Its child tables hold whatever ids the input lists, in its order: every
// lookup in them must give the answer table order defines, found by a scan.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "store/child_hints.h"
#include "store/child_table.h"
#include "store/coding.h"
#include "store/file_io.h"
#include "store/format.h"
#include "store/name.h"
#include "store/save_protocol.h"
#include "tests/store/side_file_util.h"

using orvo::store::CfChecksum;
using orvo::store::CfChildren;
using orvo::store::CfIsBranch;
using orvo::store::CfName;
using orvo::store::CfNameHash;
using orvo::store::DecodeFixed32;
using orvo::store::FindChildById;
using orvo::store::FindChildByName;
using orvo::store::FreeNodeTree;
using orvo::store::InspectConfigFile;
using orvo::store::LoadConfigFile;
using orvo::store::OccurrenceAt;
using orvo::store::SaveConfigFile;
using orvo::store::SerializeNode;

namespace {

using orvo::platform::MemoryFileSystem;

constexpr const char16_t* kIn = u"in.set";
constexpr const char16_t* kOut = u"out.set";
constexpr const char16_t* kOut2 = u"out2.set";
constexpr const char16_t* kCaught = u"caught.set";
constexpr const char16_t* kCaughtSide = u"caught.set.new";

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "parse_fuzzer: %s\n", what);
    std::abort();
  }
}

std::string Body(const CfNode* root) {
  const uint32_t size = SerializeNode(root, nullptr);
  Check(size > 0, "a loaded tree does not serialise");
  std::string body(size, '\0');
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&body[0]);
  Check(SerializeNode(root, &cursor, size) == size, "the two serialising passes differ");
  return body;
}

bool SameName(const CfNode* a, const CfNode* b) {
  if (a->name_length != b->name_length) return false;
  for (int i = 0; i < a->name_length; ++i) {
    CfChar x = CfName(a)[i], y = CfName(b)[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<CfChar>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<CfChar>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Lookups by id and by name in the tables of |root| (the first branches met,
// the entries of large tables in part) against scans of the tables; name
// lookups also through hints, often enough for them to be set up.
void CheckLookups(const CfNode* root) {
  std::vector<const CfNode*> pending{root};
  int budget = 20000;  // entries checked in all
  for (int branches = 0; !pending.empty() && branches < 64 && budget > 0; ++branches) {
    const CfNode* node = pending.back();
    pending.pop_back();
    if (!CfIsBranch(node)) continue;
    CfChildTable* t = CfChildren(node);
    CfChildHints hints;
    // Each entry checked costs a scan of its table: large tables are left out.
    const int32_t checked = t->count > 4096 ? 0 : t->count < 64 ? t->count : 64;
    for (int32_t i = 0; i < t->count && i < 256; ++i) pending.push_back(t->entries[i].child);
    for (int32_t k = 0; k < checked && budget > 0; ++k, --budget) {
      const int32_t i = static_cast<int32_t>(static_cast<int64_t>(k) * t->count / checked);
      const CfChildEntry& e = t->entries[i];
      int32_t before = 0, total = 0, last = -1, first_of_name = -1;
      const uint32_t hash = CfNameHash(CfName(e.child), e.child->name_length, nullptr);
      for (int32_t j = 0; j < t->count; ++j) {
        if (t->entries[j].id == e.id) {
          if (j < i) ++before;
          ++total;
          last = j;
        }
        if (first_of_name < 0 && t->entries[j].id == hash &&
            SameName(t->entries[j].child, e.child)) {
          first_of_name = j;
        }
      }
      Check(OccurrenceAt(t, i) == before, "occurrence is not the count of the id before");
      Check(FindChildById(node, e.id, before) == i, "id and occurrence find another entry");
      Check(FindChildById(node, e.id, -1) == last, "occurrence -1 is not the last of the id");
      Check(FindChildById(node, e.id, total) == -1, "an occurrence past the last finds one");
      if (e.child->name_length == 0) continue;
      for (int n = 0; n < 20; ++n) {
        int covered = 0;
        Check(FindChildByName(node, CfName(e.child), e.child->name_length, &covered, &hints) ==
                  first_of_name,
              "a name lookup is not the first entry of the name");
        Check(covered == e.child->name_length, "a name lookup covers another length");
      }
    }
  }
}

MemoryFileSystem* FileSystem() {
  static MemoryFileSystem* fs = [] {
    MemoryFileSystem* m = new MemoryFileSystem();
    orvo::platform::SetFileSystemForTesting(m);
    return m;
  }();
  return fs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem* fs = FileSystem();
  fs->SetFile(kIn, std::string(reinterpret_cast<const char*>(data), size));
  fs->Remove(kOut);
  fs->Remove(kOut2);

  // The reader never fails on an existing file: unusable content gives a
  // new tree, and the report agrees with it.
  CfNode* root = nullptr;
  CfHeaderImage image;
  Check(LoadConfigFile(kIn, orvo::platform::kOpenExisting, &root, &image), "load failed");
  Check(root != nullptr, "no tree");
  CheckLookups(root);
  CfFileReport report;
  CfNode* inspected = nullptr;
  Check(InspectConfigFile(kIn, &report, &inspected), "inspect failed");
  // A tree for a file that loads, or what parses of a damaged body.
  const bool damaged =
      report.state == CfFileState::kBadChecksum || report.state == CfFileState::kBodyPastEnd;
  Check(report.state != CfFileState::kLoaded || inspected != nullptr, "report disagrees");
  Check(inspected == nullptr || report.state == CfFileState::kLoaded || damaged,
        "a tree for a file that does not load");
  if (inspected != nullptr) {
    Check(Body(inspected) == Body(root), "inspect and load read different trees");
    Check(std::memcmp(image.bytes, data, kCfHeaderImageSize) == 0, "image is not the header");
    Check(report.parsed_bytes <= report.header.body_size, "parse ran past the body");
    FreeNodeTree(inspected, nullptr);
  }

  // The same bytes as the side file of a save caught in flight are read the
  // same way: taken only when they load whole.
  const std::string caught(600, 'x');
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The save's first header landed, nothing of its body.
  fs->SetFile(kCaught, orvo::testing::FirstHeaderOf(input) + caught.substr(kCfHeaderSize));
  fs->SetFile(kCaughtSide, orvo::testing::InFlightSideFile(input, caught));
  CfNode* from_side = nullptr;
  CfHeaderImage side_image;
  CfLoadReport load;
  Check(LoadConfigFile(kCaught, orvo::platform::kOpenExisting, &from_side, &side_image, &load),
        "load of a file caught mid-save failed");
  const bool whole = report.state == CfFileState::kLoaded && report.parse.complete;
  Check((load.source == CfTreeSource::kSideFile) == whole, "the side file is read differently");
  if (whole) Check(Body(from_side) == Body(root), "the side file gives another tree");
  FreeNodeTree(from_side, nullptr);

  // Save, and check the file byte by byte.
  const std::string body = Body(root);
  Check(SaveConfigFile(kOut, image, &root, nullptr), "save failed");
  std::string file;
  Check(fs->GetFile(kOut, &file), "no saved file");
  Check(file.size() == kCfHeaderSize + body.size(), "saved file has the wrong size");
  Check(file.compare(kCfHeaderSize, std::string::npos, body) == 0, "saved body differs");
  const uint8_t* h = reinterpret_cast<const uint8_t*>(file.data());
  Check(DecodeFixed32(h + kCfVersionOffset) == kCfVersion, "saved version");
  Check(DecodeFixed32(h + kCfCommitOffset) == kCfCommitDone &&
            DecodeFixed32(h + kCfCommitCopyOffset) == kCfCommitDone,
        "saved commit marks");
  Check(DecodeFixed32(h + kCfBodySizeOffset) == body.size(), "saved body size");
  Check(DecodeFixed32(h + kCfChecksumOffset) ==
            CfChecksum(reinterpret_cast<const uint8_t*>(body.data()), body.size()),
        "saved checksum");
  Check(std::memcmp(h, image.bytes, 4) == 0 && std::memcmp(h + 12, image.bytes + 12, 8) == 0 &&
            std::memcmp(h + 28, image.bytes + 28, 4) == 0,
        "saved header does not come from the image");
  for (size_t i = 32; i < kCfCommitCopyOffset; ++i) Check(h[i] == 0, "saved header not zeroed");

  // Load it back: the same tree, read completely; saving it again gives the
  // same file.
  CfNode* back = nullptr;
  Check(InspectConfigFile(kOut, &report, &back), "inspect of the saved file failed");
  Check(report.state == CfFileState::kLoaded && back != nullptr, "saved file does not load");
  Check(report.parse.complete && report.parsed_bytes == body.size(), "saved file reads partly");
  Check(Body(back) == body, "tree changed on the round trip");
  CfHeaderImage image2;
  std::memcpy(image2.bytes, h, kCfHeaderImageSize);
  Check(SaveConfigFile(kOut2, image2, &back, nullptr), "second save failed");
  std::string file2;
  Check(fs->GetFile(kOut2, &file2) && file2 == file, "second save differs");

  FreeNodeTree(back, nullptr);
  FreeNodeTree(root, nullptr);
  return 0;
}

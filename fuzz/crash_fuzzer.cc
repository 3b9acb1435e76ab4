// A save interrupted anywhere over any file: the input gives the file and
// side file to start from (any bytes), the call at which the save stops and
// whether the process dies or the power goes. Whatever the start, the next
// open reads exactly the tree it read before the save or the one the save
// wrote, and bytes that could not be read stay in the file or in the kept
// copy.
//
// Input: byte 0 bit 0: a file, bit 1: a side file, bit 2: power loss (else
// the process is killed); bytes 1-2: the stopping call (little-endian, taken
// modulo the calls of an undisturbed save plus one); bytes 3-4: the length of
// the file's bytes; then the file's bytes, then the side file's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/memory_file_system.h"
#include "store/coding.h"
#include "store/config_file.h"
#include "store/file_io.h"
#include "store/format.h"
#include "store/key.h"
#include "store/ref.h"
#include "store/save_protocol.h"

using orvo::store::CreateConfigFile;
using orvo::store::DecodeFixed32;
using orvo::store::FreeNodeTree;
using orvo::store::LoadConfigFile;
using orvo::store::SerializeNode;

namespace {

using orvo::platform::MemoryFileSystem;

const std::u16string kPath = u"f.set";
const std::u16string kSide = kPath + kCfSideFileSuffix;
const std::u16string kKept = kPath + kCfKeptCopySuffix;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "crash_fuzzer: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
  }
}

// The body that the next open of the file reads: its tree serialised.
std::string Reads(CfTreeSource* source = nullptr) {
  CfNode* root = nullptr;
  CfHeaderImage image;
  CfLoadReport from;
  Check(LoadConfigFile(kPath.c_str(), orvo::platform::kOpenAlways, &root, &image, &from),
        "the file does not open");
  if (source != nullptr) *source = from.source;
  std::string body(SerializeNode(root, nullptr), '\0');
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&body[0]);
  Check(SerializeNode(root, &cursor, body.size()) == body.size(), "a read tree does not serialise");
  FreeNodeTree(root, nullptr);
  return body;
}

struct Start {
  bool has_file = false, has_side = false;
  std::string file, side;
};

// Whether the start holds a committed file of a newer format version.
bool NewerFile(const Start& s) {
  if (!s.has_file || s.file.size() < kCfHeaderSize) return false;
  const auto* h = reinterpret_cast<const uint8_t*>(s.file.data());
  return DecodeFixed32(h + kCfMagicOffset) == kCfMagic &&
         DecodeFixed32(h + kCfVersionOffset) > kCfVersion &&
         DecodeFixed32(h + kCfCommitOffset) == DecodeFixed32(h + kCfCommitCopyOffset);
}

void Prepare(const Start& s, MemoryFileSystem* fs) {
  if (s.has_file) fs->SetFile(kPath, s.file);
  if (s.has_side) fs->SetFile(kSide, s.side);
}

// Opens, changes and saves; the save stops at |stop| (0: never). Returns the
// number of calls the save made and whether it succeeded.
int OpenChangeSave(int stop, bool* saved, MemoryFileSystem* fs) {
  auto file =
      CfRef<CConfigFile>::Adopt(CreateConfigFile(kPath.c_str(), orvo::platform::kOpenAlways));
  Check(file.get() != nullptr, "the file object cannot be made");
  {
    auto key = CfRef<ICfKey>::Adopt(file->OpenKey(u"Fuzz\\Saved", true));
    Check(key.get() != nullptr, "no key");
    const std::string value(700, 'v');  // spans sectors
    Check(key->SetValue(CfTypeBinary, value.data(), static_cast<int32_t>(value.size())),
          "no value");
  }
  fs->counts = MemoryFileSystem::Counts();
  fs->faults.crash_call = stop;
  *saved = file->Save(nullptr);
  fs->faults = MemoryFileSystem::Faults();
  return fs->counts.calls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  Start start;
  start.has_file = data[0] & 1;
  start.has_side = data[0] & 2;
  const bool power_loss = data[0] & 4;
  const uint32_t stop_in = data[1] | data[2] << 8;
  size_t file_length = data[3] | data[4] << 8;
  if (file_length > size - 5) file_length = size - 5;
  start.file.assign(reinterpret_cast<const char*>(data) + 5, file_length);
  start.side.assign(reinterpret_cast<const char*>(data) + 5 + file_length, size - 5 - file_length);

  // The old tree, and the new one from a save that nothing disturbs.
  std::string old_tree, new_tree;
  int calls = 0;
  {
    MemoryFileSystem fs;
    auto* previous = orvo::platform::SetFileSystemForTesting(&fs);
    Prepare(start, &fs);
    old_tree = Reads();
    bool saved = false;
    calls = OpenChangeSave(0, &saved, &fs);
    if (NewerFile(start)) {
      // A newer version's file is never written, by any save.
      std::string now;
      Check(!saved && fs.GetFile(kPath, &now) && now == start.file, "a newer file was written");
      orvo::platform::SetFileSystemForTesting(previous);
      return 0;
    }
    Check(saved, "an undisturbed save failed");
    new_tree = Reads();
    orvo::platform::SetFileSystemForTesting(previous);
  }

  MemoryFileSystem fs;
  auto* previous = orvo::platform::SetFileSystemForTesting(&fs);
  Prepare(start, &fs);
  CfTreeSource source;
  Reads(&source);
  const int stop = static_cast<int>(stop_in % static_cast<uint32_t>(calls + 1)) + 1;
  bool saved = false;
  OpenChangeSave(stop, &saved, &fs);
  fs.Crash(power_loss ? MemoryFileSystem::CrashKind::kPowerLoss
                      : MemoryFileSystem::CrashKind::kProcessKill,
           stop_in);
  const std::string after = Reads();
  Check(after == old_tree || after == new_tree, "the file reads neither the old nor the new tree");
  if (saved) Check(after == new_tree, "a save that succeeded is lost");

  // Content the open could not read is still somewhere.
  if (source == CfTreeSource::kFilePart || source == CfTreeSource::kUnreadable) {
    std::string file_now, kept;
    fs.GetFile(kPath, &file_now);
    fs.GetFile(kKept, &kept);
    const bool file_kept =
        !start.has_file || start.file.empty() || file_now == start.file || kept == start.file;
    const bool side_kept = kept == start.side;
    Check(file_kept || side_kept, "bytes that could not be read are gone");
  }
  orvo::platform::SetFileSystemForTesting(previous);
  return 0;
}

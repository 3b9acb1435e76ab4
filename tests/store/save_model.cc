#include "tests/store/save_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "store/coding.h"
#include "store/file_io.h"
#include "store/format.h"
#include "store/key.h"
#include "store/ref.h"
#include "store/save_protocol.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/tree_util.h"

using orvo::store::CfChecksum;
using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfValue;
using orvo::store::CreateConfigFile;
using orvo::store::DecodeFixed32;
using orvo::store::DecodeFixed64;
using orvo::store::EncodeFixed32;
using orvo::store::ExamineConfigFile;
using orvo::store::FreeNodeTree;
using orvo::store::InspectConfigFile;
using orvo::store::SerializeNode;

namespace orvo::testing {

namespace {

using platform::MemoryFileSystem;

const std::u16string kPath = u"C:\\ProgramData\\Tamsiver\\InstallApp.set";
const std::u16string kSide = kPath + kCfSideFileSuffix;
const std::u16string kKept = kPath + kCfKeptCopySuffix;

std::string Hex(const void* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

std::string Narrow(const CfChar* s, int32_t n) {
  std::string out;
  for (int32_t i = 0; i < n; ++i) out += static_cast<char>(s[i]);
  return out;
}

// The content of a tree, canonical: "name=value;" for each child of the
// root, in table order. The empty string is a new tree.
std::string Content(const CfNode* root) {
  std::string out;
  for (int32_t i = 0; root != nullptr && i < CfChildCount(root); ++i) {
    const CfNode* c = CfChildren(root)->entries[i].child;
    out += Narrow(CfName(c), c->name_length) + "=" + Hex(CfValue(c), c->value_length) + ";";
  }
  return out;
}

std::string Content(CConfigFile* file) {
  auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
  std::string out;
  for (auto k = CfRef<ICfKey>::Adopt(root ? root->GetFirstChild() : nullptr); k;
       k.attach(k->GetNextSibling())) {
    CfChar name[256];
    const int32_t n = k->GetName(name, 256);
    std::vector<uint8_t> value(static_cast<size_t>(k->GetValueLength()) + 1);
    const int32_t v = k->GetValue(value.data(), static_cast<int32_t>(value.size()));
    out += Narrow(name, n) + "=" + Hex(value.data(), v > 0 ? static_cast<size_t>(v) : 0) + ";";
  }
  return out;
}

std::string Value(uint32_t g, uint32_t arg) {
  std::string v(20 + (arg * 37u + g * 11u) % 1400, '\0');
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<char>(g * 7 + i);
  return v;
}

// Whether |bytes| load whole as a configuration file.
bool LoadsWhole(const std::string& bytes) {
  MemoryFileSystem scratch;
  const ScopedFileSystem swap(&scratch);
  scratch.SetFile(u"x", bytes);
  CfFileReport report;
  return InspectConfigFile(u"x", &report, nullptr) && report.whole();
}

// A complete file as the format's own writer lays it out: |version|, commit
// marks 2 and 2, the body of |tree|.
std::string FileOf(const CfNode* tree, uint32_t version) {
  std::string body(SerializeNode(tree, nullptr), '\0');
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&body[0]);
  SerializeNode(tree, &cursor, body.size());
  uint8_t h[kCfHeaderSize] = {};
  EncodeFixed32(h + kCfMagicOffset, kCfMagic);
  EncodeFixed32(h + kCfVersionOffset, version);
  EncodeFixed32(h + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(h + kCfHeaderSizeOffset, kCfHeaderSize);
  EncodeFixed32(h + kCfBodySizeOffset, static_cast<uint32_t>(body.size()));
  EncodeFixed32(h + kCfChecksumOffset,
                CfChecksum(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  EncodeFixed32(h + kCfCommitCopyOffset, kCfCommitDone);
  return std::string(reinterpret_cast<char*>(h), sizeof(h)) + body;
}

// Whether a crash during the save whose side file |side| is in flight could
// leave F as |f|, F having been durable when the save began (the memory file
// system's crash: each sector the save changed keeps the old bytes, takes the
// new ones or is torn once between them, and F's header is the one it held,
// the first or the final one), F being neither that save's base nor its
// image. No reader can tell such an F from the crash's, whoever wrote it.
bool LeftByInFlightSave(const std::string& side_bytes, const std::string& f) {
  orvo::testing::SideFileParts side;
  if (!orvo::testing::ParseSideFile(side_bytes, &side) || side.state != kCfSideInFlight) {
    return false;
  }
  // The image: F's start (which that save leaves alone) and what the side
  // file makes of the base; none when F's start is not that save's base.
  const std::string image = orvo::testing::SideFileImage(side, f);
  if (image.empty()) return false;
  const auto* s = reinterpret_cast<const uint8_t*>(image.data());
  const uint64_t n = image.size();
  const uint64_t base_size = side.base_size;
  const uint64_t from = side.from;
  auto base_at = [&](uint64_t i) -> uint8_t {
    if (i < kCfHeaderSize) return static_cast<uint8_t>(side.base_header[i]);
    if (i < from) return s[i];
    return i - from < side.kept.size() ? static_cast<uint8_t>(side.kept[i - from]) : 0;
  };
  // The save never shortens F; it lengthens it as it writes past its end.
  if (f.size() < base_size || f.size() > (n > base_size ? n : base_size)) return false;
  const std::string& first = side.first_header;
  const std::string header = f.substr(0, kCfHeaderSize);
  const std::string& base_header = side.base_header;
  bool is_base = header == base_header;
  bool is_image = header == side.final_header;
  // Like every sector, the header may be torn once between the flushed one
  // (the base's) and the one the save wrote last (its first or its final).
  auto torn_once = [&](const std::string& a, const std::string& b) {
    size_t head = 0, tail = kCfHeaderSize;
    while (head < kCfHeaderSize && header[head] == a[head]) ++head;
    while (tail > 0 && header[tail - 1] == b[tail - 1]) --tail;
    return tail <= head;
  };
  const std::string& image_header = side.final_header;
  bool header_ok = is_base || is_image || header == first;
  header_ok = header_ok || torn_once(base_header, first) || torn_once(first, base_header) ||
              torn_once(base_header, image_header) || torn_once(image_header, base_header);
  if (!header_ok) return false;
  is_base &= f.size() == base_size;
  is_image &= f.size() >= n;
  for (uint64_t start = kCfHeaderSize; start < f.size() && start < n; start += kCfSectorSize) {
    const uint64_t end = std::min<uint64_t>({start + kCfSectorSize, n, f.size()});
    // 0: old, 1: new, then at most one change from one to the other.
    int from_source = -1, changes = 0;
    bool base_all = true, image_all = true;
    for (uint64_t i = start; i < end; ++i) {
      const uint8_t byte = static_cast<uint8_t>(f[i]);
      const bool b = byte == base_at(i), m = byte == s[i];
      if (!b && !m) return false;
      base_all &= b;
      image_all &= m;
      const int source = from_source >= 0 && (from_source == 0 ? b : m) ? from_source : (b ? 0 : 1);
      if (from_source >= 0 && source != from_source) ++changes;
      from_source = source;
    }
    if (changes > 1) return false;
    is_base &= base_all;
    is_image &= image_all;
  }
  return !is_base && !is_image;
}

const char* CfTreeSourceName(CfTreeSource s) {
  switch (s) {
    case CfTreeSource::kFile:
      return "the file";
    case CfTreeSource::kFilePart:
      return "part of the file";
    case CfTreeSource::kSideFile:
      return "the side file";
    case CfTreeSource::kEmpty:
      return "an empty file";
    case CfTreeSource::kUnreadable:
      return "an unreadable file";
  }
  return "?";
}

}  // namespace

struct SaveModel::Object {
  CConfigFile* file = nullptr;
  std::string content;
  const char* name;
  explicit Object(const char* n) : name(n) {}
  void Drop() {
    if (file != nullptr) file->Release();
    file = nullptr;
  }
};

SaveModel::SaveModel() : swap_(&fs_), a_(new Object("A")), b_(new Object("B")) {
  allowed_.insert("");
}

SaveModel::~SaveModel() {
  KillObjects();
  delete a_;
  delete b_;
}

void SaveModel::KillObjects() {
  a_->Drop();
  b_->Drop();
}

void SaveModel::Crash(bool power_loss, uint32_t seed) {
  KillObjects();  // the process is gone, and its objects with it
  std::string kept_before;
  fs_.GetFile(kKept, &kept_before);
  fs_.Crash(power_loss ? MemoryFileSystem::CrashKind::kPowerLoss
                       : MemoryFileSystem::CrashKind::kProcessKill,
            seed);
  if (power_loss) {
    // Only a save that did not report success leaves an unflushed mark that
    // a power loss may undo (R1): then its copy may stand in again.
    pending_exempt_ = true;
    if (side_may_be_live_) allowed_.insert(side_contents_.begin(), side_contents_.end());
    // A kept copy cut off mid-write mixes its old and new sectors; such a mix
    // is the crash's, not a copy the store chose to keep.
    std::string kept_after;
    if (fs_.GetFile(kKept, &kept_after) && kept_after != kept_before) {
      kept_after_crash_ = kept_after;
    }
    if (side_lost_) AllowWhatTheFileHolds();
  }
}

bool SaveModel::Ensure(Object* object, std::string* why) {
  if (object->file != nullptr) return true;
  object->file = CreateConfigFile(kPath.c_str(), platform::kOpenAlways);
  if (object->file == nullptr) {
    *why = std::string("object ") + object->name + " cannot open the file";
    return false;
  }
  object->content = Content(object->file);
  if (allowed_.count(object->content) == 0) {
    *why = std::string("object ") + object->name +
           " opened content that is not allowed: " + object->content.substr(0, 120);
    return false;
  }
  return true;
}

// Changes a save makes, from a few bytes in the middle of the file to most
// of it, shrinking and growing it: a save writes what differs from the file.
void SaveModel::Modify(Object* object, uint32_t arg) {
  auto root = CfRef<ICfKey>::Adopt(object->file->GetRootKey());
  auto first = CfRef<ICfKey>::Adopt(root->GetFirstChild());
  const uint32_t how = arg % 8;
  if ((how == 0 || how == 4) && first) {
    first->Delete();  // a record removed: no later open may bring it back
  } else if (how == 2 && first) {
    // A few bytes of one value, its length kept: the file keeps its size.
    auto key = CfRef<ICfKey>::Adopt(first->GetNextSibling());
    ICfKey* target = key ? key.get() : first.get();
    std::string value(65535, '\0');
    const int32_t length = target->GetValue(&value[0], static_cast<int32_t>(value.size()));
    if (length > 0) {
      value.resize(static_cast<size_t>(length));
      value[(arg >> 3) % value.size()] ^= static_cast<char>(1 + (arg >> 11) % 255);
      target->SetValue(CfTypeBinary, value.data(), length);
    }
  } else if (how == 6) {
    // Most of the file: every record but one removed, or several added.
    if (first && (arg >> 3) % 2 == 0) {
      for (auto next = CfRef<ICfKey>::Adopt(first->GetNextSibling()); next;) {
        auto after = CfRef<ICfKey>::Adopt(next->GetNextSibling());
        next->Delete();
        next = std::move(after);
      }
    } else {
      for (int i = 0; i < 3; ++i) AddKey(root.get(), arg + static_cast<uint32_t>(i));
    }
  } else {
    AddKey(root.get(), arg);
  }
  object->content = Content(object->file);
}

void SaveModel::AddKey(ICfKey* root, uint32_t arg) {
  ++counter_;
  const std::string name = "K" + std::to_string(counter_);
  const std::u16string wide(name.begin(), name.end());
  const std::string value = Value(counter_, arg);
  auto key = CfRef<ICfKey>::Adopt(root->CreateChild(wide.c_str(), CfTypeBinary, value.data(),
                                                    static_cast<int32_t>(value.size())));
}

// Whether |bytes| are a committed file of a newer format version.
bool Newer(const std::string& bytes) {
  if (bytes.size() < kCfHeaderSize) return false;
  const auto* h = reinterpret_cast<const uint8_t*>(bytes.data());
  return DecodeFixed32(h + kCfMagicOffset) == kCfMagic &&
         DecodeFixed32(h + kCfVersionOffset) > kCfVersion &&
         DecodeFixed32(h + kCfCommitOffset) == DecodeFixed32(h + kCfCommitCopyOffset);
}

bool SaveModel::Save(Object* object, uint32_t arg, std::string* why) {
  if (!Ensure(object, why)) return false;
  Modify(object, arg >> 8);
  const uint32_t how = arg % 4;  // plain, a failing call, a kill, a power loss
  const int call = 1 + static_cast<int>((arg >> 2) % 48);
  std::string before;
  const bool newer = fs_.GetFile(kPath, &before) && Newer(before);
  fs_.counts = MemoryFileSystem::Counts();
  if (how == 1) fs_.faults.fail_call = call;
  if (how >= 2) fs_.faults.crash_call = call;
  const bool saved = object->file->Save(nullptr);
  fs_.faults = MemoryFileSystem::Faults();
  const std::string content = object->content;
  if (how >= 2) Crash(how == 3, arg);
  if (newer) {
    std::string after;
    if (saved || !fs_.GetFile(kPath, &after) || after != before) {
      *why = "R6: a newer version's file was written";
      return false;
    }
    return true;  // nothing changed: what was allowed still is
  }
  if (saved && how == 0) {
    side_contents_ = {content};
  } else {
    side_contents_.insert(content);
  }
  if (saved) {
    allowed_ = {content};
    // Success is reported once the finished mark is durable (R1): its side
    // file never stands in again, whatever happens to the file.
    side_may_be_live_ = false;
    side_lost_ = false;
  } else {
    allowed_.insert(content);
    side_may_be_live_ = true;
  }
  return PendingKept(why);
}

bool SaveModel::PendingKept(std::string* why) {
  std::string file, kept;
  if (!pending_ || (fs_.GetFile(kPath, &file) && file == pending_bytes_)) return true;
  pending_ = false;  // replaced: from now on the kept copy may move on
  if (!pending_exempt_ && (!fs_.GetFile(kKept, &kept) || kept != pending_bytes_)) {
    *why = "R4: bytes that could not be read were replaced without a kept copy";
    return false;
  }
  return true;
}

bool SaveModel::SaveWithoutPath(uint32_t arg, std::string* why) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(nullptr, platform::kOpenAlways));
  if (!file) {
    *why = "no object without a path";
    return false;
  }
  Object fresh("C");
  fresh.file = file.get();
  Modify(&fresh, arg | 1);
  fresh.file = nullptr;
  std::string before;
  const bool newer = fs_.GetFile(kPath, &before) && Newer(before);
  const bool saved = file->Save(kPath.c_str());
  if (newer) {
    std::string after;
    if (saved || !fs_.GetFile(kPath, &after) || after != before) {
      *why = "R6: a newer version's file was written";
      return false;
    }
    return true;
  }
  if (!saved) {
    *why = "a save without faults failed";
    return false;
  }
  allowed_ = {fresh.content};
  side_contents_ = {fresh.content};
  side_may_be_live_ = false;
  side_lost_ = false;
  return PendingKept(why);
}

bool SaveModel::CrashDuringOpen(uint32_t arg, std::string* why) {
  KillObjects();
  fs_.counts = MemoryFileSystem::Counts();
  const int call = 1 + static_cast<int>(arg % 16);
  if (arg & 0x100) {
    fs_.faults.fail_call = call;
  } else {
    fs_.faults.crash_call = call;
  }
  Object probe("open");
  probe.file = CreateConfigFile(kPath.c_str(), platform::kOpenAlways);
  fs_.faults = MemoryFileSystem::Faults();
  if (probe.file != nullptr) {
    const std::string content = Content(probe.file);
    if (allowed_.count(content) == 0) {
      *why = "an open with a failing call read content that is not allowed";
      probe.Drop();
      return false;
    }
  }
  probe.Drop();
  if (!(arg & 0x100)) Crash((arg & 0x200) != 0, arg);
  return true;
}

// A program of the suite that keeps no side file writes its own content in
// place: first header, body, final header; |finish| false stops it midway.
void SaveModel::WriteInPlace(uint32_t arg, bool finish) {
  CfNode* root = MakeNode(u"Root", 0, "", true);
  const std::string value = Value(++counter_, arg);
  const std::string name = "W" + std::to_string(counter_);
  AddChild(root, MakeNode(std::u16string(name.begin(), name.end()), 0, value));
  std::string image = FileOf(root, kCfVersion);
  FreeNodeTree(root, nullptr);
  std::string file;
  fs_.GetFile(kPath, &file);
  // Its first header: the header it loaded (or a new one), commit marks 1, 0.
  std::string first = image.substr(0, kCfHeaderSize);
  if (file.size() >= kCfHeaderImageSize) first.replace(0, kCfHeaderImageSize, file, 0, 32);
  EncodeFixed32(reinterpret_cast<uint8_t*>(&first[kCfVersionOffset]), kCfVersion);
  EncodeFixed32(reinterpret_cast<uint8_t*>(&first[kCfCommitOffset]), kCfCommitWriting);
  EncodeFixed32(reinterpret_cast<uint8_t*>(&first[kCfCommitCopyOffset]), 0);
  if (file.size() < image.size()) file.resize(image.size());
  if (finish) {
    file.replace(0, image.size(), image);
    fs_.SetFile(kPath, file);
    AfterOutsideChange(true);
    return;
  }
  const size_t body = (image.size() - kCfHeaderSize) * (arg % 3) / 3;
  file.replace(0, kCfHeaderSize, first);
  file.replace(kCfHeaderSize, body, image, kCfHeaderSize, body);
  fs_.SetFile(kPath, file);
  allowed_.insert("");
  AfterOutsideChange(false);
}

// Remembers F when it loads whole, as a generation a revert may bring back.
void SaveModel::NoteGeneration() {
  std::string file;
  if (!fs_.GetFile(kPath, &file) || !LoadsWhole(file)) return;
  for (const std::string& g : generations_) {
    if (g == file) return;
  }
  generations_.push_back(file);
  if (generations_.size() > 8) generations_.erase(generations_.begin());
}

// Another program writes an earlier generation back, byte for byte (an
// uninstaller restoring what it found, an administrator's copy).
void SaveModel::Revert(uint32_t arg) {
  if (generations_.empty()) return;
  fs_.SetFile(kPath, generations_[arg % generations_.size()]);
  AfterOutsideChange(true);
  AllowSideWhereCrashLike();
}

// Another program swaps two different bytes of the body: the size and the
// byte sum stay; a file that loads whole still does, with other content. In
// a file a crash left torn, the swap may fall where that save wrote nothing,
// which its side file's image is made of.
void SaveModel::EditKeepingSum(uint32_t arg) {
  std::string file;
  if (!fs_.GetFile(kPath, &file) || file.size() <= kCfHeaderSize + 1) return;
  const bool whole = LoadsWhole(file);
  const size_t claimed = DecodeFixed32(reinterpret_cast<const uint8_t*>(file.data()) + 20);
  const size_t body = whole ? claimed : file.size() - kCfHeaderSize;
  for (uint32_t attempt = 0; attempt < 64 && body > 1; ++attempt) {
    const size_t at = kCfHeaderSize + (arg + attempt * 7919u) % (body - 1);
    if (file[at] == file[at + 1]) continue;
    std::string edited = file;
    std::swap(edited[at], edited[at + 1]);
    if (whole && !LoadsWhole(edited)) continue;
    fs_.SetFile(kPath, edited);
    AfterOutsideChange(true);
    return;
  }
}

// Another program writes F's body under a header whose every byte is one of
// an earlier generation's headers or the current one's.
void SaveModel::MixHeaders(uint32_t arg) {
  std::string file;
  if (!fs_.GetFile(kPath, &file) || file.size() < kCfHeaderSize || generations_.empty()) return;
  std::mt19937 rng(arg);
  std::string mixed = file;
  for (size_t i = 0; i < kCfHeaderSize; ++i) {
    const std::string& g = generations_[rng() % generations_.size()];
    if (rng() % 2 == 0) mixed[i] = g[i];
  }
  if (mixed == file) return;
  fs_.SetFile(kPath, mixed);
  AfterOutsideChange(LoadsWhole(mixed));
  AllowSideWhereCrashLike();
}

// A revert or a header mix may write F byte for byte as a crash of the save
// in flight leaves it (an earlier generation that was such a state, a mix
// that gives F a header that save leaves there): then its side file stands
// in (R2), as no reader can tell who wrote F.
void SaveModel::AllowSideWhereCrashLike() {
  std::string side, file;
  if (side_may_be_live_ && fs_.GetFile(kSide, &side) && fs_.GetFile(kPath, &file) &&
      LeftByInFlightSave(side, file)) {
    allowed_.insert(side_contents_.begin(), side_contents_.end());
  }
}

// Notes what an outside change left: a file that loads whole is what opens
// read from then on (even a damaged one whose checksum still matches);
// unreadable bytes are to be kept later. |resets|: the change replaced the
// content, so nothing before it may be read again.
void SaveModel::AfterOutsideChange(bool resets) {
  std::string file;
  const bool exists = fs_.GetFile(kPath, &file);
  if (resets) allowed_ = {""};
  pending_ = false;
  if (!exists || file.empty()) return;
  CfFileReport report;
  CfNode* root = nullptr;
  bool whole;
  {
    MemoryFileSystem scratch;
    const ScopedFileSystem swap(&scratch);
    scratch.SetFile(u"x", file);
    whole = InspectConfigFile(u"x", &report, &root) && report.whole();
  }
  if (whole) {
    // Content the change did not alter leaves what was allowed as it was. A
    // side file in flight may stand in for the header it shows still.
    const std::string content = Content(root);
    if (resets || (!side_may_be_live_ && allowed_.count(content) == 0)) {
      allowed_ = {content};
    } else {
      allowed_.insert(content);
    }
  } else {
    // Unreadable: a new tree; read in part (a damaged record after a sum
    // that still matches): the records before it.
    allowed_.insert(root != nullptr ? Content(root) : "");
    if (side_may_be_live_) allowed_.insert(side_contents_.begin(), side_contents_.end());
    pending_ = true;
    pending_exempt_ = side_may_be_live_;
    pending_bytes_ = file;
  }
  if (root != nullptr) FreeNodeTree(root, nullptr);
}

// A side file in flight removed or damaged from outside: what the file
// holds, whole or not, is what is left.
void SaveModel::SideChanged() {
  if (!side_may_be_live_) return;
  side_lost_ = true;
  AllowWhatTheFileHolds();
}

// The side file, whatever it holds, as another account could have made it:
// owned by that account, or writable by accounts that may not write F. An
// open then reads F by F's own rules (R7), and the side file's content is
// no longer a way back to any save.
void SaveModel::SideDistrusted(uint32_t arg) {
  platform::PosixAccess f;
  platform::PosixAccess side;
  if (!fs_.GetAccess(kSide, &side) || !fs_.GetAccess(kPath, &f)) return;
  constexpr uint32_t kNobody = 65534;
  fs_.SetAccess(kSide, arg % 2 == 0 ? platform::PosixAccess{kNobody, kNobody, f.mode, true}
                                    : platform::PosixAccess{f.uid, f.gid, f.mode | 0022, true});
  if ((f.mode & 0022) == 0022 && arg % 2 != 0) return;  // F is everyone's: still trusted
  // A save's copy that is no longer believed is as good as lost: F may still
  // hold that save's unflushed writes, which a power loss may tear or undo
  // with nothing left to repair them.
  side_lost_ = side_lost_ || side_may_be_live_;
  side_may_be_live_ = false;
  side_contents_.clear();
  AfterOutsideChange(true);
}

void SaveModel::AllowWhatTheFileHolds() {
  allowed_.insert("");
  std::string file;
  if (!fs_.GetFile(kPath, &file)) return;
  MemoryFileSystem scratch;
  const ScopedFileSystem swap(&scratch);
  scratch.SetFile(u"x", file);
  CfFileReport report;
  CfNode* root = nullptr;
  if (InspectConfigFile(u"x", &report, &root) && root != nullptr) {
    allowed_.insert(Content(root));
    FreeNodeTree(root, nullptr);
  }
}

bool SaveModel::Check(std::string* why) {
  CfLoadReport report;
  CfNode* root = nullptr;
  std::string content;
  if (ExamineConfigFile(kPath.c_str(), &report, &root)) {
    content = Content(root);
    if (root != nullptr) FreeNodeTree(root, nullptr);
  } else if (report.file.opened) {
    *why = "the file cannot be read without faults";
    return false;
  }
  if (allowed_.count(content) == 0) {
    *why = std::string("R2/R4: an open reads content that is not allowed (") +
           CfTreeSourceName(report.source) + "): " + content.substr(0, 160);
    if (std::getenv("ORVO_MODEL_TRACE") != nullptr) {
      *why += "\nread:    " + content;
      for (const auto& a : allowed_) *why += "\nallowed: " + a;
    }
    return false;
  }
  std::string kept;
  if (fs_.GetFile(kKept, &kept) && kept != kept_after_crash_ && LoadsWhole(kept)) {
    *why = "R4: the kept copy holds readable content";
    return false;
  }
  return true;
}

bool SaveModel::Step(uint32_t op, uint32_t arg, std::string* why) {
  op %= kSteps;
  history_ += std::to_string(op) + ":" + std::to_string(arg) + " ";
  std::string file;
  bool ok = true;
  switch (op) {
    case 0:
      ok = Save(a_, arg, why);
      break;
    case 1:
      ok = Save(b_, arg, why);
      break;
    case 2:
      ok = SaveWithoutPath(arg, why);
      break;
    case 3:
      ok = CrashDuringOpen(arg, why);
      break;
    case 4:  // emptied by an administrator or a program that writes nothing
      fs_.SetFile(kPath, "");
      AfterOutsideChange(true);
      break;
    case 5:
      fs_.Remove(kPath.c_str());
      AfterOutsideChange(true);
      break;
    case 6:
      fs_.Remove(kSide.c_str());
      SideChanged();
      break;
    case 7:
      if (fs_.GetFile(kSide, &file) && !file.empty()) {
        file[arg % file.size()] ^= static_cast<char>(1 + arg % 255);
        fs_.SetFile(kSide, file);
        SideChanged();
      }
      break;
    case 8:  // a flipped byte in the body
      if (fs_.GetFile(kPath, &file) && file.size() > kCfHeaderSize) {
        file[kCfHeaderSize + arg % (file.size() - kCfHeaderSize)] ^= static_cast<char>(0x20);
        fs_.SetFile(kPath, file);
        AfterOutsideChange(false);
      }
      break;
    case 9: {  // a foreign file
      std::string foreign(100 + arg % 2000, '\0');
      for (size_t i = 0; i < foreign.size(); ++i) foreign[i] = static_cast<char>(arg * 13 + i * 7);
      fs_.SetFile(kPath, foreign);
      AfterOutsideChange(true);
      break;
    }
    case 10: {  // a committed file of a newer version
      CfNode* root = MakeNode(u"Root", 0, "", true);
      AddChild(root, MakeNode(u"Newer", 0, Value(arg, arg)));
      fs_.SetFile(kPath, FileOf(root, kCfVersion + 1));
      FreeNodeTree(root, nullptr);
      AfterOutsideChange(true);
      break;
    }
    case 11:
      WriteInPlace(arg, true);
      break;
    case 12:
      WriteInPlace(arg, false);
      break;
    case 13:  // the program ends: its objects are released
      KillObjects();
      break;
    case 14:
      Revert(arg);
      break;
    case 15:
      EditKeepingSum(arg);
      break;
    case 16:
      MixHeaders(arg);
      break;
    case 17:
      SideDistrusted(arg);
      break;
  }
  if (ok) NoteGeneration();
  if (!ok) return false;
  const bool checked = Check(why);
  if (std::getenv("ORVO_MODEL_TRACE") != nullptr) {
    std::string f, sd;
    fs_.GetFile(kPath, &f);
    fs_.GetFile(kSide, &sd);
    CfLoadReport r;
    ExamineConfigFile(kPath.c_str(), &r, nullptr);
    std::fprintf(stderr,
                 "step %u:%u live=%d pending=%d exempt=%d F=%zu S=%zu side=%d src=%d allowed:", op,
                 arg, side_may_be_live_, pending_, pending_exempt_, f.size(), sd.size(),
                 static_cast<int>(r.side), static_cast<int>(r.source));
    for (const auto& a : allowed_) std::fprintf(stderr, " [%.40s]", a.c_str());
    std::fprintf(stderr, "\n");
  }
  return checked;
}

}  // namespace orvo::testing

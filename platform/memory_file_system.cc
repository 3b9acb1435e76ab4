#include "platform/memory_file_system.h"

#include <cstring>
#include <new>
#include <random>
#include <utility>

#include "platform/file_failure.h"

namespace orvo::platform {

// Invariant: readers and writers count the open handles of this epoch.
struct MemoryFileSystem::Entry {
  std::string data;             // what reads see
  std::string durable;          // what the last flush made durable
  bool durable_exists = false;  // the file itself survives a power loss
  uint64_t serial = 0;          // which file this is
  uint64_t changes = 0;         // raised by every change of data
  int readers = 0;
  int writers = 0;
  PosixAccess access{0, 0, 0644, true};  // root's unless made or set otherwise
  bool non_file = false;                 // a folder or a pipe
  bool removable = true;                 // by its owner or root
};

class MemoryFileSystem::MemoryFile final : public File {
 public:
  MemoryFile(MemoryFileSystem* fs, std::shared_ptr<Entry> entry, bool write)
      : fs_(fs), entry_(std::move(entry)), write_(write), epoch_(fs->epoch_) {
    (write_ ? entry_->writers : entry_->readers)++;
  }
  ~MemoryFile() override { Close(); }

  bool Size(uint64_t* size) override {
    if (!Live() || fs_->BeginCall(&fs_->counts.sizes) != Fate::kRun) return Failed();
    if (fs_->faults.fail_size) return Failed();
    *size = entry_->data.size();
    return true;
  }

  bool Stamp(FileStamp* stamp) override {
    if (!Live() || fs_->BeginCall(&fs_->counts.sizes) != Fate::kRun) return false;
    if (fs_->faults.fail_size) return false;
    stamp->part[0] = entry_->serial;
    stamp->part[1] = 0;
    stamp->part[2] = entry_->data.size();
    stamp->part[3] = entry_->changes;
    stamp->part[4] = 0;
    return true;
  }

  bool Read(void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (!Live() || fs_->BeginCall(&fs_->counts.reads) != Fate::kRun) return Failed();
    if (fs_->counts.reads == fs_->faults.fail_read_call) return Failed();
    const std::string& d = entry_->data;
    if (pos_ < d.size()) {
      const uint64_t avail = d.size() - pos_;
      *done = static_cast<uint32_t>(avail < n ? avail : n);
      std::memcpy(buf, d.data() + pos_, *done);
      pos_ += *done;
    }
    return true;
  }

  bool Write(const void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (!Live() || !write_) return Failed();
    const Fate fate = fs_->BeginCall(&fs_->counts.writes);
    if (fate == Fate::kDead) return Failed();
    const int call = fs_->counts.writes;
    if (call == fs_->faults.fail_write_call) return Failed();
    const bool cut = call == fs_->faults.short_write_call || fate == Fate::kFail;
    const uint32_t count = cut ? n / 2 : n;
    std::string& d = entry_->data;
    if (d.size() < pos_ + count) d.resize(pos_ + count);
    if (count > 0) std::memcpy(&d[pos_], buf, count);
    ++entry_->changes;
    pos_ += count;
    *done = count;
    return cut ? Failed() : true;
  }

  bool Seek(uint64_t offset) override {
    if (!Live() || fs_->BeginCall(&fs_->counts.seeks) != Fate::kRun) return Failed();
    if (fs_->counts.seeks == fs_->faults.fail_seek_call) return Failed();
    pos_ = offset;
    return true;
  }

  bool Flush() override {
    if (!Live() || fs_->BeginCall(&fs_->counts.flushes) != Fate::kRun) return Failed();
    if (fs_->counts.flushes == fs_->faults.fail_flush_call) return Failed();
    entry_->durable = entry_->data;
    entry_->durable_exists = true;
    return true;
  }

  CompanionTrust TrustAsCompanionOf(File* model) override {
    auto* other = dynamic_cast<MemoryFile*>(model);
    if (!Live() || fs_->stopped_ || other == nullptr || !other->Live()) {
      return CompanionTrust::kUnknown;
    }
    return JudgeCompanion(entry_->access, other->entry_->access, fs_->account.uid);
  }

  bool TakeAccessOf(File* model) override {
    auto* other = dynamic_cast<MemoryFile*>(model);
    if (!Live() || fs_->stopped_ || other == nullptr || !other->Live()) return Failed();
    const PosixAccess want =
        AccessToGive(entry_->access, other->entry_->access, fs_->account.uid == 0);
    // As chown and chmod: the owner (or root) changes the bits, root alone
    // the owner.
    if (fs_->account.uid != 0 && fs_->account.uid != entry_->access.uid &&
        (want.mode != entry_->access.mode || want.uid != entry_->access.uid)) {
      SetLastFileFailure(FileFailure::kAccessDenied);
      return false;
    }
    entry_->access = want;
    return true;
  }

  bool Close() override {
    if (!entry_) return false;
    const Fate fate = Live() ? fs_->BeginCall(&fs_->counts.closes) : Fate::kDead;
    // The sharing goes with the handle, whatever the outcome.
    (write_ ? entry_->writers : entry_->readers)--;
    entry_.reset();
    return fate == Fate::kRun;
  }

 private:
  bool Live() const { return entry_ && epoch_ == fs_->epoch_; }

  // Records the cause the faults name for a failed call; returns false.
  bool Failed() const {
    SetLastFileFailure(fs_->faults.cause);
    return false;
  }

  MemoryFileSystem* fs_;
  std::shared_ptr<Entry> entry_;
  bool write_;
  uint64_t epoch_;
  uint64_t pos_ = 0;
};

MemoryFileSystem::MemoryFileSystem() = default;

std::shared_ptr<MemoryFileSystem::Entry> MemoryFileSystem::NewEntry() {
  auto entry = std::make_shared<Entry>();
  entry->serial = ++serials_;
  return entry;
}
MemoryFileSystem::~MemoryFileSystem() = default;

MemoryFileSystem::Fate MemoryFileSystem::BeginCall(int* kind) {
  ++*kind;
  const int call = ++counts.calls;
  if (faults.crash_call > 0 && call >= faults.crash_call) stopped_ = true;
  if (stopped_) return Fate::kDead;
  return call == faults.fail_call ? Fate::kFail : Fate::kRun;
}

std::unique_ptr<File> MemoryFileSystem::Open(const char16_t* path, OpenMode mode,
                                             Disposition disposition, OpenError* error) {
  return OpenBeside(nullptr, path, mode, disposition, error);
}

std::unique_ptr<File> MemoryFileSystem::OpenBeside(File* model, const char16_t* path, OpenMode mode,
                                                   Disposition disposition, OpenError* error) {
  std::unique_ptr<File> file(OpenFile(model, path, mode, disposition, error));
  switch (*error) {
    case OpenError::kNone:
    case OpenError::kNotFound:
      break;
    case OpenError::kAccessDenied:
      SetLastFileFailure(FileFailure::kAccessDenied);
      break;
    case OpenError::kSharingViolation:
      SetLastFileFailure(FileFailure::kSharingViolation);
      break;
    default:
      SetLastFileFailure(FileFailure::kOther);
      break;
  }
  return file;
}

File* MemoryFileSystem::OpenFile(File* model, const char16_t* path, OpenMode mode,
                                 Disposition disposition, OpenError* error) {
  *error = OpenError::kNone;
  const Fate fate = BeginCall(&counts.opens);
  if (fate == Fate::kDead) {
    *error = OpenError::kOther;
    return nullptr;
  }
  if (path == nullptr || path[0] == 0) {
    *error = OpenError::kInvalidPath;
    return nullptr;
  }
  if (faults.fail_open || fate == Fate::kFail) {
    *error = OpenError::kAccessDenied;
    return nullptr;
  }
  const bool write = mode == OpenMode::kReadWrite;
  if (faults.read_only &&
      (write || disposition == kCreateAlways || disposition == kTruncateExisting)) {
    *error = OpenError::kAccessDenied;
    return nullptr;
  }
  auto it = files_.find(path);
  const bool exists = it != files_.end();
  if (exists && it->second->non_file) {
    *error = OpenError::kNotAFile;
    return nullptr;
  }
  const bool truncate = disposition == kCreateAlways || disposition == kTruncateExisting;
  if (exists &&
      (!MayAccess(it->second->access, account.uid, account.gid, false) ||
       ((write || truncate) && !MayAccess(it->second->access, account.uid, account.gid, true)))) {
    *error = OpenError::kAccessDenied;
    return nullptr;
  }
  if (exists && faults.busy_opens > 0) {
    --faults.busy_opens;
    *error = OpenError::kSharingViolation;
    return nullptr;
  }
  if (exists && (it->second->writers > 0 || (write && it->second->readers > 0))) {
    *error = OpenError::kSharingViolation;
    return nullptr;
  }
  if (!exists && (disposition == kOpenExisting || disposition == kTruncateExisting)) {
    *error = OpenError::kNotFound;
    return nullptr;
  }
  if (exists && disposition == kCreateNew) {
    *error = OpenError::kOther;
    return nullptr;
  }
  if (disposition < kCreateNew || disposition > kTruncateExisting) {
    *error = OpenError::kOther;
    return nullptr;
  }
  if (!exists) {
    it = files_.emplace(path, NewEntry()).first;
    // A companion is its maker's alone until it has its model's access.
    it->second->access = {account.uid, account.gid, model != nullptr ? 0600u : create_mode, true};
  }
  if (truncate) {
    it->second->data.clear();
    ++it->second->changes;
  }
  MemoryFile* file = new (std::nothrow) MemoryFile(this, it->second, write);
  if (file == nullptr) {
    *error = OpenError::kOther;
  } else if (!exists && model != nullptr && !file->TakeAccessOf(model)) {
    delete file;
    files_.erase(it);
    *error = OpenError::kAccessDenied;
    return nullptr;
  }
  return file;
}

bool MemoryFileSystem::CreateFolder(const char16_t*) { return false; }

bool MemoryFileSystem::IsFolder(const char16_t* path) {
  if (path == nullptr) return false;
  auto it = files_.find(path);
  return it == files_.end() || (it->second->non_file && !it->second->removable);
}

bool MemoryFileSystem::Remove(const char16_t* path) {
  if (BeginCall(&counts.removes) != Fate::kRun || path == nullptr) return false;
  auto it = files_.find(path);
  if (it == files_.end() || it->second->readers > 0 || it->second->writers > 0) return false;
  if (!it->second->removable || (account.uid != 0 && account.uid != it->second->access.uid)) {
    return false;
  }
  files_.erase(it);
  return true;
}

void MemoryFileSystem::PauseBeforeRetry(uint32_t) { ++counts.pauses; }

void MemoryFileSystem::SetFile(const std::u16string& path, const std::string& bytes) {
  auto& entry = files_[path];
  if (!entry) entry = NewEntry();
  entry->data = bytes;
  ++entry->changes;
  entry->durable = bytes;
  entry->durable_exists = true;
}

bool MemoryFileSystem::GetFile(const std::u16string& path, std::string* bytes) const {
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  *bytes = it->second->data;
  return true;
}

bool MemoryFileSystem::SetAccess(const std::u16string& path, const PosixAccess& access) {
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  it->second->access = access;
  return true;
}

bool MemoryFileSystem::GetAccess(const std::u16string& path, PosixAccess* access) const {
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  *access = it->second->access;
  return true;
}

void MemoryFileSystem::PlantNonFile(const std::u16string& path, NonFile kind, uint32_t owner) {
  auto entry = NewEntry();
  entry->non_file = true;
  entry->removable = kind == NonFile::kPipe;
  entry->access = {owner, owner, kind == NonFile::kFolder ? 0777u : 0666u, false};
  entry->durable_exists = true;
  files_[path] = std::move(entry);
}

std::vector<std::u16string> MemoryFileSystem::Paths() const {
  std::vector<std::u16string> paths;
  for (const auto& f : files_) paths.push_back(f.first);
  return paths;
}

namespace {

// What a power loss leaves of a file whose flushed content is |old| and
// whose current content is |now|.
std::string Survivor(const std::string& old, const std::string& now, std::mt19937* rng) {
  constexpr size_t kSector = MemoryFileSystem::kSectorSize;
  const size_t length = old.size() == now.size() || (*rng)() % 2 == 0 ? now.size() : old.size();
  std::string out(length, '\0');
  auto byte = [](const std::string& s, size_t i) { return i < s.size() ? s[i] : '\0'; };
  for (size_t start = 0; start < length; start += kSector) {
    const size_t end = start + kSector < length ? start + kSector : length;
    bool same = true;
    for (size_t i = start; i < end && same; ++i) same = byte(old, i) == byte(now, i);
    // Unchanged sectors keep their bytes; the others are old, new or torn.
    const uint32_t choice = same ? 0 : (*rng)() % 4;
    const size_t cut = start + 1 + (*rng)() % (kSector - 1);
    for (size_t i = start; i < end; ++i) {
      bool take_new;
      switch (choice) {
        case 0:
          take_new = false;
          break;
        case 1:
          take_new = true;
          break;
        case 2:  // the start of the sector reached the disk
          take_new = i < cut;
          break;
        default:  // the end of it did
          take_new = i >= cut;
          break;
      }
      out[i] = take_new ? byte(now, i) : byte(old, i);
    }
  }
  return out;
}

}  // namespace

void MemoryFileSystem::Crash(CrashKind kind, uint32_t seed) {
  std::mt19937 rng(seed);
  std::map<std::u16string, std::shared_ptr<Entry>> after;
  for (const auto& f : files_) {
    const Entry& e = *f.second;
    auto fresh = NewEntry();
    fresh->access = e.access;
    fresh->non_file = e.non_file;
    fresh->removable = e.removable;
    if (kind == CrashKind::kProcessKill) {
      fresh->data = e.data;
      fresh->durable = e.durable;
      fresh->durable_exists = e.durable_exists;
    } else {
      if (!e.durable_exists && rng() % 2 == 0) continue;  // its name never reached the disk
      fresh->data = Survivor(e.durable, e.data, &rng);
      fresh->durable = fresh->data;
      fresh->durable_exists = true;
    }
    after.emplace(f.first, std::move(fresh));
  }
  files_ = std::move(after);
  ++epoch_;
  stopped_ = false;
  faults.crash_call = 0;
}

}  // namespace orvo::platform

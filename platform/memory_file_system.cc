#include "platform/memory_file_system.h"

#include <cstring>
#include <new>

namespace orvo::platform {

struct MemoryFileSystem::Entry {
  std::string data;
  int readers = 0;
  int writers = 0;
};

class MemoryFileSystem::MemoryFile final : public File {
 public:
  MemoryFile(MemoryFileSystem* fs, std::shared_ptr<Entry> entry, bool write)
      : fs_(fs), entry_(std::move(entry)), write_(write) {
    (write_ ? entry_->writers : entry_->readers)++;
  }
  ~MemoryFile() override { Close(); }

  bool Size(uint64_t* size) override {
    if (!entry_ || fs_->faults.fail_size) return false;
    *size = entry_->data.size();
    return true;
  }

  bool Read(void* buf, uint32_t n, uint32_t* done) override {
    *done = 0;
    if (!entry_ || ++fs_->counts.reads == fs_->faults.fail_read_call) return false;
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
    if (!entry_ || !write_) return false;
    const int call = ++fs_->counts.writes;
    if (call == fs_->faults.fail_write_call) return false;
    const bool cut = call == fs_->faults.short_write_call;
    const uint32_t count = cut ? n / 2 : n;
    std::string& d = entry_->data;
    if (d.size() < pos_ + count) d.resize(pos_ + count);
    if (count > 0) std::memcpy(&d[pos_], buf, count);
    pos_ += count;
    *done = count;
    return !cut;
  }

  bool Seek(uint64_t offset) override {
    if (!entry_ || ++fs_->counts.seeks == fs_->faults.fail_seek_call) return false;
    pos_ = offset;
    return true;
  }

  bool Flush() override { return entry_ && ++fs_->counts.flushes != fs_->faults.fail_flush_call; }

  bool Close() override {
    if (!entry_) return false;
    (write_ ? entry_->writers : entry_->readers)--;
    entry_.reset();
    return true;
  }

 private:
  MemoryFileSystem* fs_;
  std::shared_ptr<Entry> entry_;
  bool write_;
  uint64_t pos_ = 0;
};

MemoryFileSystem::MemoryFileSystem() = default;
MemoryFileSystem::~MemoryFileSystem() = default;

File* MemoryFileSystem::Open(const char16_t* path, OpenMode mode, Disposition disposition,
                             OpenError* error) {
  *error = OpenError::kNone;
  ++counts.opens;
  if (path == nullptr || path[0] == 0) {
    *error = OpenError::kInvalidPath;
    return nullptr;
  }
  if (faults.fail_open) {
    *error = OpenError::kAccessDenied;
    return nullptr;
  }
  const bool write = mode == OpenMode::kReadWrite;
  auto it = files_.find(path);
  const bool exists = it != files_.end();
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
  if (!exists) it = files_.emplace(path, std::make_shared<Entry>()).first;
  if (disposition == kCreateAlways || disposition == kTruncateExisting) it->second->data.clear();
  return new (std::nothrow) MemoryFile(this, it->second, write);
}

bool MemoryFileSystem::CreateFolder(const char16_t*) { return false; }

bool MemoryFileSystem::Remove(const char16_t* path) {
  auto it = files_.find(path);
  if (it == files_.end() || it->second->readers > 0 || it->second->writers > 0) return false;
  files_.erase(it);
  return true;
}

void MemoryFileSystem::SetFile(const std::u16string& path, const std::string& bytes) {
  auto& entry = files_[path];
  if (!entry) entry = std::make_shared<Entry>();
  entry->data = bytes;
}

bool MemoryFileSystem::GetFile(const std::u16string& path, std::string* bytes) const {
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  *bytes = it->second->data;
  return true;
}

}  // namespace orvo::platform

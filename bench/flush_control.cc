#include "bench/flush_control.h"

#include <memory>
#include <utility>

namespace orvo::bench {

namespace {

// Forwards to a real file; Flush is either skipped or counted.
class WrappedFile final : public platform::File {
 public:
  WrappedFile(std::unique_ptr<platform::File> inner, bool skip_flush, uint64_t* flushes)
      : inner_(std::move(inner)), skip_flush_(skip_flush), flushes_(flushes) {}
  bool Size(uint64_t* size) override { return inner_->Size(size); }
  bool Stamp(platform::FileStamp* stamp) override { return inner_->Stamp(stamp); }
  bool Read(void* buf, uint32_t n, uint32_t* done) override { return inner_->Read(buf, n, done); }
  bool Write(const void* buf, uint32_t n, uint32_t* done) override {
    return inner_->Write(buf, n, done);
  }
  bool Seek(uint64_t offset) override { return inner_->Seek(offset); }
  bool Flush() override {
    ++*flushes_;
    return skip_flush_ ? true : inner_->Flush();
  }
  bool Close() override { return inner_->Close(); }
  platform::CompanionTrust TrustAsCompanionOf(platform::File* model) override {
    return inner_->TrustAsCompanionOf(Unwrap(model));
  }
  bool TakeAccessOf(platform::File* model) override { return inner_->TakeAccessOf(Unwrap(model)); }

  // The real file behind |file| when it is a wrapped one.
  static platform::File* Unwrap(platform::File* file) {
    auto* wrapped = dynamic_cast<WrappedFile*>(file);
    return wrapped != nullptr ? wrapped->inner_.get() : file;
  }

 private:
  std::unique_ptr<platform::File> inner_;
  bool skip_flush_;
  uint64_t* flushes_;
};

class WrappedFileSystem final : public platform::FileSystem {
 public:
  explicit WrappedFileSystem(bool skip_flush) : skip_flush_(skip_flush) {}
  std::unique_ptr<platform::File> Open(const char16_t* path, platform::OpenMode mode,
                                       platform::Disposition disposition,
                                       platform::OpenError* error) override {
    return Wrap(platform::RealFileSystem()->Open(path, mode, disposition, error));
  }
  std::unique_ptr<platform::File> OpenBeside(platform::File* model, const char16_t* path,
                                             platform::OpenMode mode,
                                             platform::Disposition disposition,
                                             platform::OpenError* error) override {
    return Wrap(platform::RealFileSystem()->OpenBeside(WrappedFile::Unwrap(model), path, mode,
                                                       disposition, error));
  }
  bool CreateFolder(const char16_t* path) override {
    return platform::RealFileSystem()->CreateFolder(path);
  }
  bool Remove(const char16_t* path) override { return platform::RealFileSystem()->Remove(path); }
  bool IsFolder(const char16_t* path) override {
    return platform::RealFileSystem()->IsFolder(path);
  }
  uint64_t flushes() const { return flushes_; }

 private:
  std::unique_ptr<platform::File> Wrap(std::unique_ptr<platform::File> f) {
    if (f == nullptr) return nullptr;
    return std::unique_ptr<platform::File>(new WrappedFile(std::move(f), skip_flush_, &flushes_));
  }

  bool skip_flush_;
  uint64_t flushes_ = 0;
};

WrappedFileSystem* NoFlushFileSystem() {
  static WrappedFileSystem* const fs = new WrappedFileSystem(true);
  return fs;
}

WrappedFileSystem* CountingFileSystem() {
  static WrappedFileSystem* const fs = new WrappedFileSystem(false);
  return fs;
}

}  // namespace

NoFlushScope::NoFlushScope() : previous_(platform::SetFileSystemForTesting(NoFlushFileSystem())) {}
NoFlushScope::~NoFlushScope() { platform::SetFileSystemForTesting(previous_); }

FlushCounterScope::FlushCounterScope()
    : previous_(platform::SetFileSystemForTesting(CountingFileSystem())) {}
FlushCounterScope::~FlushCounterScope() { platform::SetFileSystemForTesting(previous_); }
uint64_t FlushCounterScope::flushes() const { return CountingFileSystem()->flushes(); }

}  // namespace orvo::bench

#include "store/config_file.h"

#include <cstring>
#include <new>

using orvo::platform::LockGuard;

using orvo::store::InitNewHeaderImage;
using orvo::store::LoadConfigFile;
using orvo::store::NewTree;
using orvo::store::SaveConfigFile;

namespace {

// Length of the NUL-terminated |s| when it is at most |limit| units, else -1.
// Reads no further than limit + 1 units.
int BoundedLength(const CfChar* s, int limit) {
  for (int n = 0; n <= limit; ++n) {
    if (s[n] == 0) return n;
  }
  return -1;
}

}  // namespace

namespace orvo::store {

CConfigFile* CreateConfigFile(const CfChar* path, uint32_t disposition) {
  CConfigFile* file = new (std::nothrow) CConfigFile();
  if (file == nullptr) return nullptr;
  file->object_flags_ |= kCfObjectOwned;
  if (file->Open(path, disposition) != 0) {
    file->Release();
    return nullptr;
  }
  return file;
}

}  // namespace orvo::store

int32_t CConfigFile::Open(const CfChar* path, uint32_t disposition) {
  if (root_ != nullptr) return -1;
  if (path == nullptr) {
    path_[0] = 0;
    InitNewHeaderImage(&image_);
    root_ = NewTree();
    if (root_ == nullptr) return -1;
  } else {
    // A path that does not fit is refused whole: never open a cut path.
    const int n = BoundedLength(path, kCfPathCapacity - 1);
    if (n < 0) return -1;
    std::memcpy(path_, path, static_cast<size_t>(n + 1) * sizeof(CfChar));
    CfNode* root = nullptr;
    if (!LoadConfigFile(path_, disposition, &root, &image_, &load_report_, &disk_) ||
        root == nullptr) {
      return -1;
    }
    root_ = root;
  }
  ICfKey* root_key = GetRootKey();
  if (root_key == nullptr) return -1;
  root_key->Release();
  return 0;
}

CConfigFile::~CConfigFile() {
  if (root_key_ != nullptr) {
    CCfKeyInterface* key = root_key_;
    root_key_ = nullptr;
    key->Release();  // usually pools it
  }
  LockGuard guard(lock_);
  // Keys that callers still hold break the contract; they are cut loose so
  // that their operations fail instead of reaching this object, and their
  // last release frees them.
  CCfKeyInterface::CloseTable(&keys_);
}

ICfKey* CConfigFile::GetRootKey() {
  LockGuard guard(lock_);
  if (root_key_ == nullptr) {
    if (root_ == nullptr) return nullptr;
    root_key_ = CCfKeyInterface::ObtainRootKey(&keys_);  // the file object's own reference
    if (root_key_ == nullptr) return nullptr;
  }
  root_key_->AddRef();
  return root_key_;
}

ICfKey* CConfigFile::OpenKey(const CfChar* path, bool create) {
  ICfKey* root = GetRootKey();
  if (root == nullptr) return nullptr;
  ICfKey* key = root->OpenKey(path, create);
  root->Release();
  return key;
}

bool CConfigFile::Save(const CfChar* path) {
  CfChar target[kCfPathCapacity];
  CfFileFingerprint disk;
  {
    LockGuard guard(lock_);
    if (path != nullptr) {
      const int n = BoundedLength(path, kCfPathCapacity - 1);
      if (n < 0) return false;
      const size_t bytes = static_cast<size_t>(n + 1) * sizeof(CfChar);
      // Another file's content was never read: nothing is known of it.
      if (std::memcmp(path_, path, bytes) != 0) disk_.known = false;
      std::memcpy(path_, path, bytes);
    }
    if (path_[0] == 0) return false;
    std::memcpy(target, path_, sizeof(target));
    disk = disk_;
  }
  const bool saved = SaveConfigFile(target, image_, &root_, &lock_, &disk);
  LockGuard guard(lock_);
  disk_ = disk;
  return saved;
}

int32_t CConfigFile::LiveKeyCount() {
  LockGuard guard(lock_);
  return keys_.registry().count();
}

int32_t CConfigFile::PoolSize() {
  LockGuard guard(lock_);
  return keys_.pool_count();
}

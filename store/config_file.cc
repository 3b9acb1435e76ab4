#include "store/config_file.h"

#include <cstring>
#include <new>

using orvo::platform::LockGuard;

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

// Marks the live key object of every key-bound node of a freed subtree
// detached.
class CConfigFile::DetachHook final : public CfDetachHook {
 public:
  explicit DetachHook(CConfigFile* file) : file_(file) {}
  void Detach(CfNode* node) override {
    CCfKeyInterface* key = file_->FindLiveKeyObject(node);
    if (key != nullptr) key->detached_ = true;
  }

 private:
  CConfigFile* file_;
};

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
  for (int32_t i = 0; i < pool_count_; ++i) {
    pool_[i]->DeletingDestructor(kCfDeleteStorage);
    pool_[i] = nullptr;
  }
  pool_count_ = 0;
  if (root_ != nullptr) {
    FreeSubtree(root_);
    root_ = nullptr;
  }
  // Keys that callers still hold break the contract; cut them loose so that
  // their operations fail instead of reaching this object, and their last
  // release frees them.
  for (int32_t i = 0; i < registry_.count(); ++i) {
    CCfKeyInterface* key = registry_.at(i).key;
    key->detached_ = true;
    key->file_ = nullptr;
  }
}

ICfKey* CConfigFile::GetRootKey() {
  LockGuard guard(lock_);
  if (root_key_ == nullptr) {
    if (root_ == nullptr) return nullptr;
    CCfKeyInterface* key = ObtainKeyObject(root_);
    if (key == nullptr) return nullptr;
    key->parent_ = nullptr;
    key->index_ = -1;
    root_key_ = key;  // the file object's own reference
  }
  root_key_->AdjustCount(1);
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
  CfDiskMemory disk;
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

CCfKeyInterface* CConfigFile::ObtainKeyObject(CfNode* node) {
  CCfKeyInterface* key;
  if (pool_count_ > 0) {
    key = pool_[--pool_count_];
    pool_[pool_count_] = nullptr;
    key->object_flags_ &= kCfObjectOwned;
    key->detached_ = false;
    key->file_ = this;
    key->ref_count_.store(1, std::memory_order_relaxed);  // published by the lock
  } else {
    key = new (std::nothrow) CCfKeyInterface(this);
    if (key == nullptr) return nullptr;
  }
  key->node_ = node;
  if (!registry_.Insert(node, key)) {
    key->node_ = nullptr;
    key->ref_count_.store(0, std::memory_order_relaxed);
    if (pool_count_ < kCfIdlePoolLimit) {
      pool_[pool_count_++] = key;
    } else {
      key->DeletingDestructor(kCfDeleteStorage);
    }
    return nullptr;
  }
  return key;
}

CCfKeyInterface* CConfigFile::FindLiveKeyObject(const CfNode* node) {
  for (int32_t i = registry_.LowerBound(node); i < registry_.count(); ++i) {
    const CfKeyEntry& e = registry_.at(i);
    if (e.node != node) break;
    if (!e.key->detached_) return e.key;
  }
  return nullptr;
}

void CConfigFile::ReindexChildKeys(CCfKeyInterface* parent) {
  if (parent->detached_ || !CfIsBranch(parent->node_)) return;
  const CfChildTable* table = CfChildren(parent->node_);
  for (int32_t i = 0; i < table->count; ++i) {
    const CfNode* child = table->entries[i].child;
    // Only key-bound children have a live key object.
    if ((child->flags & kCfKeyBound) == 0) continue;
    CCfKeyInterface* key = FindLiveKeyObject(child);
    if (key != nullptr) key->index_ = i;
  }
}

void CConfigFile::FreeSubtree(CfNode* node) {
  DetachHook hook(this);
  FreeNodeTree(node, &hook);
}

void CConfigFile::RetireKeyObject(CCfKeyInterface* key) {
  // No one else can reach the object until it is in the pool.
  key->hints_.Clear();
  bool destroy;
  {
    LockGuard guard(lock_);
    key->node_ = nullptr;
    key->parent_ = nullptr;
    key->index_ = -1;
    key->next_finished_ = nullptr;
    destroy = pool_count_ >= kCfIdlePoolLimit;
    if (!destroy) pool_[pool_count_++] = key;
  }
  if (destroy) key->DeletingDestructor(kCfDeleteStorage);
}

int32_t CConfigFile::LiveKeyCount() {
  LockGuard guard(lock_);
  return registry_.count();
}

int32_t CConfigFile::PoolSize() {
  LockGuard guard(lock_);
  return pool_count_;
}

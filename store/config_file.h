// The configuration file object: owns one file's node tree, hands out its
// keys and writes the tree back.
//
// One re-entrant lock per file object guards the tree, the key objects'
// counts and fields, the key registry, the idle pool and the path. The file
// object's own count is atomic and takes no lock. Keys hold no reference on
// their file object: release every key before the file object's last
// reference. That last Release frees the tree without saving: call Save
// first to keep changes.
#ifndef ORVO_STORE_CONFIG_FILE_H_
#define ORVO_STORE_CONFIG_FILE_H_

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/recursive_lock.h"
#include "store/base_object.h"
#include "store/file_io.h"
#include "store/key.h"
#include "store/key_table.h"
#include "store/node.h"
#include "store/save_protocol.h"

// The file interface. The order of the operations is a binary contract shared
// with file objects made elsewhere: never reorder, insert or remove.
class IConfigFile : public IBaseObject {
 public:
  // Slots 0-3: IBaseObject (AddRef/Release return the new count).
  // Slot 4. The root key with one new reference for the caller, who
  // releases it; null only when memory runs out.
  virtual ICfKey* CF_CALL GetRootKey() = 0;
  // Slot 5. The key at |path| below the root (see ICfKey::OpenKey), with one
  // new reference for the caller; an empty path gives the root key. Null for
  // a null |path| or a key that is not there (or, with |create|, cannot be
  // made). The callee reads |create|'s low byte.
  virtual ICfKey* CF_CALL OpenKey(const CfChar* path, bool create) = 0;
  // Slot 6. Writes the tree to |path|, which becomes the object's path, or,
  // when |path| is null, to the object's path. False when there is none or
  // the write fails. Keys stay valid.
  virtual bool CF_CALL Save(const CfChar* path) = 0;
  // Slot 7. Destroys the object (kCfDeleteStorage: frees it too). Only
  // Release calls it; callers never do.
  virtual void* CF_CALL DeletingDestructor(uint32_t flags) = 0;

 protected:
  ~IConfigFile() = default;
};

// Creation dispositions for CreateConfigFile and CConfigFile::Open, with the
// values of the Win32 constants of the same names.
constexpr uint32_t kCfCreateNew = 1;         // CREATE_NEW: a new, empty file; fails if it exists
constexpr uint32_t kCfCreateAlways = 2;      // CREATE_ALWAYS: an empty file, made or emptied
constexpr uint32_t kCfOpenExisting = 3;      // OPEN_EXISTING: never makes the file
constexpr uint32_t kCfOpenAlways = 4;        // OPEN_ALWAYS: makes a missing file
constexpr uint32_t kCfTruncateExisting = 5;  // TRUNCATE_EXISTING: empties an existing file
static_assert(kCfCreateNew == orvo::platform::kCreateNew &&
                  kCfCreateAlways == orvo::platform::kCreateAlways &&
                  kCfOpenExisting == orvo::platform::kOpenExisting &&
                  kCfOpenAlways == orvo::platform::kOpenAlways &&
                  kCfTruncateExisting == orvo::platform::kTruncateExisting,
              "the dispositions are the platform's");

// Paths hold at most 255 units plus the NUL.
constexpr int kCfPathCapacity = 256;

class CConfigFile;
namespace orvo::store {
CConfigFile* CreateConfigFile(const CfChar* path, uint32_t disposition);
}  // namespace orvo::store

class CConfigFile final : public cmmBaseObject<CConfigFile, IConfigFile, glszBNCConfigFile> {
 public:
  // Count 1, object flags 0, no path, no tree.
  CConfigFile() = default;

  // Loads |path| (null: no path, a new tree) with the creation disposition
  // given and makes the root key. 0 on success; -1 when the file cannot be
  // opened or sized, the path is longer than 255 units, the object is
  // already open, or memory runs out.
  int32_t Open(const CfChar* path, uint32_t disposition);

  ICfKey* CF_CALL GetRootKey() override;
  ICfKey* CF_CALL OpenKey(const CfChar* path, bool create) override;
  // A path longer than 255 units is refused (false, nothing written, the
  // object's path unchanged). Content on disk that could not be read is
  // kept beside the file before it is replaced (see save_protocol.h).
  bool CF_CALL Save(const CfChar* path) override;

  // What the open found: which copy the tree came from and what the file
  // held (a new tree for a missing, empty, foreign or newer file; a tree read
  // in part from a damaged one). Set by Open, unchanged afterwards.
  const CfLoadReport& load_report() const { return load_report_; }

  // Inspection, for tests and fuzzers. Each takes the lock.
  // Key objects in the registry (the root key included).
  int32_t LiveKeyCount();
  // Key objects in the idle pool.
  int32_t PoolSize();
  // Checks the bookkeeping: registry sorted, every live key registered under
  // its current node and holding its table index, key-bound bits exactly on
  // the nodes with a live non-root key, child tables sorted by id, counts at
  // least the references held by child keys, the pool within its limit.
  // Returns false with a description in *message (may be null) on the first
  // fault. Iterative; false also when its working memory cannot be had.
  bool CheckInvariants(std::string* message);

 private:
  friend class cmmBaseObject<CConfigFile, IConfigFile, glszBNCConfigFile>;
  friend CConfigFile* orvo::store::CreateConfigFile(const CfChar* path, uint32_t disposition);

  ~CConfigFile();

  // Invariant: path_ is NUL-terminated; changed only under lock_.
  CfChar path_[kCfPathCapacity] = {};
  CfHeaderImage image_ = {};
  // What the open or the last save knew of the file on disk; guarded like
  // path_.
  CfFileFingerprint disk_;
  CfLoadReport load_report_;
  CfNode* root_ = nullptr;
  CCfKeyInterface* root_key_ = nullptr;  // holds one reference
  orvo::platform::RecursiveLock lock_;
  // The key objects' registry and idle pool; their life is the key module's.
  CfKeyTable keys_{&lock_, &root_};
};

namespace orvo::store {

// Makes a file object on |path| (null: no path and a new tree) and opens it
// with the creation disposition given (kCfOpenExisting never creates the
// file, kCfOpenAlways creates a missing one). Returns it with one reference
// for the caller, given back with Release; null when the file cannot be
// opened or sized, the path is over 255 units, or memory runs out. A file
// that is empty or cannot be read opens as a new tree, not as null:
// load_report() tells what the open found (its source: the file whole, its
// side file, the records that parse of a damaged file, or a new tree).
CConfigFile* CreateConfigFile(const CfChar* path, uint32_t disposition);

}  // namespace orvo::store

#endif  // ORVO_STORE_CONFIG_FILE_H_

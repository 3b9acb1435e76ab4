// Keys: the handles through which callers see the nodes of a configuration
// tree.
//
// A key object stands for one node. Keys are shared: at most one live key
// object exists per node, and every lookup hands it out with one more
// reference. Keys hold no reference on their file object, so all keys are
// released before the file object's last reference goes. Every operation
// takes the file object's lock (a re-entrant one) for its work.
//
// Results: keys carry one reference for the caller, who gives it back with
// Release, or are null; booleans are false on refusal; lengths, positions and
// counts are -1 on failure; typed readers return the caller's default. A
// key's Release never changes the tree. A detached key (its node was deleted
// or its file object destroyed) fails every operation but Release.
#ifndef ORVO_STORE_KEY_H_
#define ORVO_STORE_KEY_H_

#include <atomic>
#include <cstdint>

#include "store/base_object.h"
#include "store/child_hints.h"
#include "store/key_table.h"
#include "store/node.h"

// The key interface. The order of the operations is a binary contract shared
// with file objects made elsewhere: never reorder, insert or remove.
class ICfKey : public IBaseObject {
 public:
  // Slots 0-3: IBaseObject. For keys, AddRef returns the count before the
  // increment and Release the count after the decrement (-1 for a key that
  // is not registered).

  // Slot 4. Removes this key's node and subtree; live keys on them become
  // detached. False when detached, root, or anything in the subtree is
  // protected. The caller still releases this key.
  virtual bool CF_CALL Delete() = 0;
  // Slot 5. A new unnamed child under |id| (not 0), after (or with |before|,
  // in front of) the children already carrying |id|. The value as SetValue
  // takes it; |data| may be null when |length| is 0. Null on refusal.
  virtual ICfKey* CF_CALL CreateChildWithId(uint32_t id, bool before, int32_t type,
                                            const void* data, int32_t length) = 0;
  // Slot 6. A new named child with a value (as CreateChildWithId); null when
  // the name is taken (ASCII case ignored), invalid ('<', '>') or null.
  virtual ICfKey* CF_CALL CreateChild(const CfChar* name, int32_t type, const void* data,
                                      int32_t length) = 0;
  // Slot 7. The key at a path of names separated by backslash or slash;
  // with |create| missing components are made. An empty path gives this key
  // (one more reference); a null path gives null.
  virtual ICfKey* CF_CALL OpenKey(const CfChar* path, bool create) = 0;
  // Slots 8-12: navigation. Each returns a key with one new reference for
  // the caller, or null when there is none.
  // The parent key; null for the root key.
  virtual ICfKey* CF_CALL GetParent() = 0;
  // The next child of the parent in table order; null after the last, for
  // the root key and when detached.
  virtual ICfKey* CF_CALL GetNextSibling() = 0;
  // The |occurrence|-th child with |id| (0 the first, negative the last).
  virtual ICfKey* CF_CALL GetChildById(uint32_t id, int32_t occurrence) = 0;
  // Child by name (first path component, at most |name_length| units when
  // not negative; null |name| gives null). *consumed (|consumed| may be
  // null) receives the units the name occupied. With |create| a missing
  // child is made.
  virtual ICfKey* CF_CALL FindChild(const CfChar* name, int32_t name_length, int32_t* consumed,
                                    bool create) = 0;
  // The first child in table order; null for a key without children.
  virtual ICfKey* CF_CALL GetFirstChild() = 0;
  // Slots 13-18: as the operation named, then Release this key whatever the
  // result, so a walk reads key = key->MoveToNextSibling(); until null.
  virtual ICfKey* CF_CALL MoveToParent() = 0;
  // Also deletes this key first when |delete_this|.
  virtual ICfKey* CF_CALL MoveToNextSiblingEx(bool delete_this) = 0;
  virtual ICfKey* CF_CALL MoveToNextSibling() = 0;
  virtual ICfKey* CF_CALL MoveToChild(const CfChar* name, int32_t name_length) = 0;
  virtual ICfKey* CF_CALL MoveToChildById(uint32_t id) = 0;
  virtual ICfKey* CF_CALL MoveToFirstChild() = 0;
  // Slots 19-21, each 0 when detached. The value's type code (CfType*).
  virtual int32_t CF_CALL GetType() = 0;
  // The attribute nibble, bits 4-7 (kCfProtected among them).
  virtual uint8_t CF_CALL GetAttributes() = 0;
  // The value's length in bytes, 0 to 65535.
  virtual int32_t CF_CALL GetValueLength() = 0;
  // Slot 22. Copies the name and its NUL into |buffer| (|capacity| units);
  // returns the name length. A null buffer only asks for the length; -1 when
  // detached or |capacity| is below length + 1. An empty name copies nothing.
  virtual int32_t CF_CALL GetName(CfChar* buffer, int32_t capacity) = 0;
  // Slot 23. On a collision fails (|fail_if_exists|) or takes the first free
  // name formed by appending 0, 1, ... 999. False for a null or invalid name,
  // the root key, a protected or detached key.
  virtual bool CF_CALL Rename(const CfChar* new_name, bool fail_if_exists) = 0;
  // Slot 24. The child id in the parent (0 for the root and when detached);
  // *occurrence (|occurrence| may be null) the number of entries with the
  // same id before this one.
  virtual uint32_t CF_CALL GetId(int32_t* occurrence) = 0;
  // Slot 25. Position in the parent's child table; -1 for the root and when
  // detached.
  virtual int32_t CF_CALL GetIndex() = 0;
  // Slots 26-28: values.
  // Replaces the value: |type| a type code, optionally with attribute bits
  // 4-7; |length| 0-65535, or -1 for a string's length up to its NUL (with
  // it). |data| is copied and may be null only for length 0. False for the
  // root key, a protected or detached key, or bad arguments.
  virtual bool CF_CALL SetValue(int32_t type, const void* data, int32_t length) = 0;
  // Copies the value into |buffer| (|capacity| bytes); returns its length,
  // or -1 when |buffer| is null or too small or the key is detached.
  virtual int32_t CF_CALL GetValue(void* buffer, int32_t capacity) = 0;
  // Sets the attribute nibble from bits 4-7 of |attributes|; the type stays.
  virtual bool CF_CALL SetAttributes(uint8_t attributes) = 0;
  // Slots 29-31: a 4-byte value as a number, else |def|.
  virtual int32_t CF_CALL GetInt(int32_t def) = 0;
  virtual float CF_CALL GetFloat(float def) = 0;
  virtual uint32_t CF_CALL GetDword(uint32_t def) = 0;
  // Slots 32-38: the readers above applied to a child, by id (occurrence 0)
  // or by path (as OpenKey); |def| (GetChildValue: -1) when there is none.
  virtual int32_t CF_CALL GetChildIntById(uint32_t id, int32_t def) = 0;
  virtual int32_t CF_CALL GetChildInt(const CfChar* path, int32_t def) = 0;
  virtual float CF_CALL GetChildFloatById(uint32_t id, float def) = 0;
  virtual float CF_CALL GetChildFloat(const CfChar* path, float def) = 0;
  virtual uint32_t CF_CALL GetChildDwordById(uint32_t id, uint32_t def) = 0;
  virtual uint32_t CF_CALL GetChildDword(const CfChar* path, uint32_t def) = 0;
  virtual int32_t CF_CALL GetChildValue(const CfChar* path, void* buffer, int32_t capacity) = 0;
  // Slot 39. Destroys the object; called only by the file object, never by
  // callers (they Release).
  virtual void* CF_CALL DeletingDestructor(uint32_t flags) = 0;

 protected:
  ~ICfKey() = default;
};

// The store's key object. Its life (counts, the registry, the idle pool) is
// the key module's alone: the file object reaches it through the static
// functions of the key table's section below.
class CCfKeyInterface final : public cmmBaseObject<CCfKeyInterface, ICfKey, glszBNCCfKeyInterface> {
 public:
  int32_t CF_CALL AddRef() override;
  int32_t CF_CALL Release() override;
  bool CF_CALL Delete() override;
  ICfKey* CF_CALL CreateChildWithId(uint32_t id, bool before, int32_t type, const void* data,
                                    int32_t length) override;
  ICfKey* CF_CALL CreateChild(const CfChar* name, int32_t type, const void* data,
                              int32_t length) override;
  ICfKey* CF_CALL OpenKey(const CfChar* path, bool create) override;
  ICfKey* CF_CALL GetParent() override;
  ICfKey* CF_CALL GetNextSibling() override;
  ICfKey* CF_CALL GetChildById(uint32_t id, int32_t occurrence) override;
  ICfKey* CF_CALL FindChild(const CfChar* name, int32_t name_length, int32_t* consumed,
                            bool create) override;
  ICfKey* CF_CALL GetFirstChild() override;
  ICfKey* CF_CALL MoveToParent() override;
  ICfKey* CF_CALL MoveToNextSiblingEx(bool delete_this) override;
  ICfKey* CF_CALL MoveToNextSibling() override;
  ICfKey* CF_CALL MoveToChild(const CfChar* name, int32_t name_length) override;
  ICfKey* CF_CALL MoveToChildById(uint32_t id) override;
  ICfKey* CF_CALL MoveToFirstChild() override;
  int32_t CF_CALL GetType() override;
  uint8_t CF_CALL GetAttributes() override;
  int32_t CF_CALL GetValueLength() override;
  int32_t CF_CALL GetName(CfChar* buffer, int32_t capacity) override;
  bool CF_CALL Rename(const CfChar* new_name, bool fail_if_exists) override;
  uint32_t CF_CALL GetId(int32_t* occurrence) override;
  int32_t CF_CALL GetIndex() override;
  bool CF_CALL SetValue(int32_t type, const void* data, int32_t length) override;
  int32_t CF_CALL GetValue(void* buffer, int32_t capacity) override;
  bool CF_CALL SetAttributes(uint8_t attributes) override;
  int32_t CF_CALL GetInt(int32_t def) override;
  float CF_CALL GetFloat(float def) override;
  uint32_t CF_CALL GetDword(uint32_t def) override;
  int32_t CF_CALL GetChildIntById(uint32_t id, int32_t def) override;
  int32_t CF_CALL GetChildInt(const CfChar* path, int32_t def) override;
  float CF_CALL GetChildFloatById(uint32_t id, float def) override;
  float CF_CALL GetChildFloat(const CfChar* path, float def) override;
  uint32_t CF_CALL GetChildDwordById(uint32_t id, uint32_t def) override;
  uint32_t CF_CALL GetChildDword(const CfChar* path, uint32_t def) override;
  int32_t CF_CALL GetChildValue(const CfChar* path, void* buffer, int32_t capacity) override;

  // Life in a key table (key_life.cc), for the file object that owns it.
  // The key object for the table's root node: count 1 (the caller's), no
  // parent, index -1, registered. Null when none can be had.
  // REQUIRES: table->lock() is held.
  static CCfKeyInterface* ObtainRootKey(CfKeyTable* table);
  // Frees a subtree that is no longer in the tree, marking the live key
  // objects of its nodes detached.
  // REQUIRES: table->lock() is held.
  static void FreeSubtree(CfKeyTable* table, CfNode* node);
  // Ends the table with its file object: destroys the pooled objects, frees
  // the tree and cuts the keys that callers still hold loose, so that their
  // operations fail and their last Release frees them.
  // REQUIRES: table->lock() is held.
  static void CloseTable(CfKeyTable* table);

  // Inspection, for the file object's bookkeeping check.
  // REQUIRES: the table's lock is held.
  bool detached() const { return detached_; }
  const CfNode* node() const { return node_; }
  const CCfKeyInterface* parent() const { return parent_; }
  int32_t index() const { return index_; }
  const CfKeyTable* table() const { return table_; }
  int32_t count() const { return ref_count_.load(std::memory_order_relaxed); }

 private:
  friend class cmmBaseObject<CCfKeyInterface, ICfKey, glszBNCCfKeyInterface>;

  // A key object of |table|: count 1, owned by the store, not registered.
  explicit CCfKeyInterface(CfKeyTable* table) : table_(table) { object_flags_ = kCfObjectOwned; }
  ~CCfKeyInterface() = default;

  // A key object for |node|: the most recently pooled one or a new one,
  // count 1, detached clear, registered. Null when none can be had.
  // REQUIRES: table->lock() is held.
  static CCfKeyInterface* ObtainKeyObject(CfKeyTable* table, CfNode* node);
  // The live (not detached) key object registered for |node|, or null.
  // REQUIRES: table.lock() is held.
  static CCfKeyInterface* FindLiveKeyObject(const CfKeyTable& table, const CfNode* node);
  // Puts a finished key object (count 0, unregistered) into the idle pool,
  // or destroys it when the pool is full. Takes the lock.
  static void RetireKeyObject(CfKeyTable* table, CCfKeyInterface* key);
  // Sets the index of every live key of a child of this key's node.
  // REQUIRES: the table's lock is held.
  void ReindexChildKeys();

  // The key of the child at |index| of |parent|'s node, with one new
  // reference: the live one if the child has one, else a pooled or new
  // object. Null for a bad index, a detached parent, a leaf, or no memory.
  // REQUIRES: the table's lock is held.
  static CCfKeyInterface* ObtainChildKey(CCfKeyInterface* parent, int32_t index);

  // Adds |delta| to the count and returns the new count. The table's lock
  // orders these changes, so no locked instruction is needed; only an
  // orphaned key's count changes without the lock (atomically, see
  // ReleaseOrphan), and no change under the lock follows orphaning.
  // REQUIRES: the table's lock is held.
  int32_t AdjustCount(int32_t delta) {
    const int32_t count = ref_count_.load(std::memory_order_relaxed) + delta;
    ref_count_.store(count, std::memory_order_relaxed);
    return count;
  }

  // Release of a key that outlived its file object (its holder broke the
  // contract): the count falls without a lock, and the object and the
  // ancestors that only it held are freed at 0.
  int32_t ReleaseOrphan();

  // The parent's table entry of this key's node, or null when this key is
  // detached, the root, or out of step with the table (never expected).
  // REQUIRES: the table's lock is held.
  CfChildEntry* ParentEntry();

  // Makes a record that replaces this key's node: |name| (at most
  // |name_limit| units), |flags|, the value, and the old node's children
  // moved over. A branch when |branch|. Null on failure, nothing changed.
  // REQUIRES: the table's lock is held.
  CfNode* RebuildNode(const CfChar* name, int name_limit, uint8_t flags, const void* data,
                      int32_t length, bool branch);

  // Points this key at |record|, which the caller already stored where the
  // old node was referenced (parent's entry or the file's root); frees the
  // old record (not its children). Cannot fail.
  // REQUIRES: the table's lock is held.
  void RebindKeyNode(CfNode* record);

  // Inserts |node| into this key's table under |id| (0: the hash of the
  // node's name), turning a leaf into a branch first. Returns the position,
  // or -1 with nothing changed.
  // REQUIRES: the table's lock is held.
  int32_t AddChildNode(CfNode* node, uint32_t id, bool before);

  // Adds the new |node| (null: none could be made) under |id| as
  // AddChildNode does and returns its key with one new reference. Null when
  // the node cannot be added (it is freed) or its key cannot be had (the
  // node stays in the tree).
  // REQUIRES: the table's lock is held.
  ICfKey* AdoptChildNode(CfNode* node, uint32_t id, bool before);

  // CreateChild with the name cut at |name_limit| units (negative: 255).
  ICfKey* CreateNamedChild(const CfChar* name, int name_limit, int32_t type, const void* data,
                           int32_t length);

  // Invariant: fields below are read and written only under table_->lock(),
  // except table_, which is set while no one else can reach the object.
  bool detached_ = false;
  CfNode* node_ = nullptr;
  CCfKeyInterface* parent_ = nullptr;  // counted reference; null for the root key
  int32_t index_ = -1;
  CfKeyTable* table_;  // its file object's; null once orphaned (the file object is gone)
  CCfKeyInterface* next_finished_ = nullptr;  // Release's list of finished objects
  CfChildHints hints_;  // FindChild's, for this key's node's table; none while pooled
};

#endif  // ORVO_STORE_KEY_H_

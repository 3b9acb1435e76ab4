// Key objects: values, attributes, typed readers, and record rebuilding.
#include <cstring>

#include "store/child_table.h"
#include "store/key.h"
#include "store/value_args.h"

using orvo::platform::LockGuard;

using orvo::store::AppendChild;
using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfInferValueLength;
using orvo::store::CfIsBranch;
using orvo::store::CfLengthArgumentValid;
using orvo::store::CfName;
using orvo::store::CfType;
using orvo::store::CfTypeArgumentValid;
using orvo::store::CfValue;
using orvo::store::CreateNode;
using orvo::store::FreeNodeRecord;

CfNode* CCfKeyInterface::RebuildNode(const CfChar* name, int name_limit, uint8_t flags,
                                     const void* data, int32_t length, bool branch) {
  // Never drop children: a node that has some stays a branch.
  if (CfChildCount(node_) > 0) branch = true;
  CfNode* record = CreateNode(name, name_limit, flags, data, length, branch ? 1 : 0);
  if (record == nullptr) return nullptr;
  if (CfIsBranch(node_) && branch) {
    const CfChildTable* from = CfChildren(node_);
    CfChildTable* to = CfChildren(record);
    for (int32_t i = 0; i < from->count; ++i) {
      if (AppendChild(to, from->entries[i]) < 0) {
        FreeNodeRecord(record);  // the children stay with the old record
        return nullptr;
      }
    }
  }
  return record;
}

void CCfKeyInterface::RebindKeyNode(CfNode* record) {
  CfKeyRegistry& registry = table_->registry();
  const int32_t i = registry.Find(node_, this);
  FreeNodeRecord(node_);
  // The root node never carries the key-bound bit: no parent table refers to
  // its key.
  if (parent_ != nullptr) record->flags |= kCfKeyBound;
  node_ = record;
  if (i >= 0) registry.Rekey(i, record);
}

bool CCfKeyInterface::SetValue(int32_t type, const void* data, int32_t length) {
  if (!CfTypeArgumentValid(type) || !CfLengthArgumentValid(length)) return false;
  if (length == -1) {
    length = CfInferValueLength(type == CfTypeString || type == CfTypeWString ? type : 0, data);
    if (length < 0) return false;
  }
  if (length > 0 && data == nullptr) return false;
  if (table_ == nullptr) return false;
  LockGuard guard(table_->lock());
  if (detached_ || parent_ == nullptr || parent_->detached_) return false;
  if ((node_->flags & kCfProtected) != 0) return false;
  const uint8_t type_bits = static_cast<uint8_t>(type & kCfTypeMask);
  if (length <= node_->value_length) {
    if (length > 0) std::memmove(CfValue(node_), data, static_cast<size_t>(length));
    node_->value_length = static_cast<uint16_t>(length);
    node_->flags = static_cast<uint8_t>((node_->flags & ~kCfTypeMask) | type_bits);
    return true;
  }
  CfChildEntry* entry = ParentEntry();
  if (entry == nullptr) return false;
  // The new record's flags are the type argument whole: its bits 4-7 become
  // the attribute nibble, and the old nibble is not carried over.
  const uint8_t flags = static_cast<uint8_t>(type & (kCfTypeMask | kCfAttributeMask));
  CfNode* record =
      RebuildNode(CfName(node_), node_->name_length, flags, data, length, CfChildCount(node_) > 0);
  if (record == nullptr) return false;
  entry->child = record;
  RebindKeyNode(record);
  return true;
}

int32_t CCfKeyInterface::GetType() {
  if (table_ == nullptr) return 0;
  LockGuard guard(table_->lock());
  return detached_ ? 0 : CfType(node_);
}

uint8_t CCfKeyInterface::GetAttributes() {
  if (table_ == nullptr) return 0;
  LockGuard guard(table_->lock());
  return detached_ ? 0 : static_cast<uint8_t>(node_->flags & kCfAttributeMask);
}

int32_t CCfKeyInterface::GetValueLength() {
  if (table_ == nullptr) return 0;
  LockGuard guard(table_->lock());
  return detached_ ? 0 : node_->value_length;
}

int32_t CCfKeyInterface::GetValue(void* buffer, int32_t capacity) {
  if (buffer == nullptr || table_ == nullptr) return -1;
  LockGuard guard(table_->lock());
  if (detached_) return -1;
  const int32_t length = node_->value_length;
  if (capacity < length) return -1;
  if (length > 0) std::memcpy(buffer, CfValue(node_), static_cast<size_t>(length));
  return length;
}

bool CCfKeyInterface::SetAttributes(uint8_t attributes) {
  if (table_ == nullptr) return true;
  LockGuard guard(table_->lock());
  if (!detached_) {
    node_->flags =
        static_cast<uint8_t>((node_->flags & ~kCfAttributeMask) | (attributes & kCfAttributeMask));
  }
  return true;
}

int32_t CCfKeyInterface::GetInt(int32_t def) {
  if (table_ == nullptr) return def;
  LockGuard guard(table_->lock());
  if (detached_ || node_->value_length != 4) return def;
  int32_t v;
  std::memcpy(&v, CfValue(node_), sizeof(v));
  return v;
}

float CCfKeyInterface::GetFloat(float def) {
  if (table_ == nullptr) return def;
  LockGuard guard(table_->lock());
  if (detached_ || node_->value_length != 4) return def;
  float v;
  std::memcpy(&v, CfValue(node_), sizeof(v));
  return v;
}

uint32_t CCfKeyInterface::GetDword(uint32_t def) {
  if (table_ == nullptr) return def;
  LockGuard guard(table_->lock());
  if (detached_ || node_->value_length != 4) return def;
  uint32_t v;
  std::memcpy(&v, CfValue(node_), sizeof(v));
  return v;
}

int32_t CCfKeyInterface::GetChildIntById(uint32_t id, int32_t def) {
  ICfKey* child = GetChildById(id, 0);
  if (child == nullptr) return def;
  const int32_t v = child->GetInt(def);
  child->Release();
  return v;
}

int32_t CCfKeyInterface::GetChildInt(const CfChar* path, int32_t def) {
  ICfKey* child = OpenKey(path, false);
  if (child == nullptr) return def;
  const int32_t v = child->GetInt(def);
  child->Release();
  return v;
}

float CCfKeyInterface::GetChildFloatById(uint32_t id, float def) {
  ICfKey* child = GetChildById(id, 0);
  if (child == nullptr) return def;
  const float v = child->GetFloat(def);
  child->Release();
  return v;
}

float CCfKeyInterface::GetChildFloat(const CfChar* path, float def) {
  ICfKey* child = OpenKey(path, false);
  if (child == nullptr) return def;
  const float v = child->GetFloat(def);
  child->Release();
  return v;
}

uint32_t CCfKeyInterface::GetChildDwordById(uint32_t id, uint32_t def) {
  ICfKey* child = GetChildById(id, 0);
  if (child == nullptr) return def;
  const uint32_t v = child->GetDword(def);
  child->Release();
  return v;
}

uint32_t CCfKeyInterface::GetChildDword(const CfChar* path, uint32_t def) {
  ICfKey* child = OpenKey(path, false);
  if (child == nullptr) return def;
  const uint32_t v = child->GetDword(def);
  child->Release();
  return v;
}

int32_t CCfKeyInterface::GetChildValue(const CfChar* path, void* buffer, int32_t capacity) {
  ICfKey* child = OpenKey(path, false);
  if (child == nullptr) return -1;
  const int32_t v = child->GetValue(buffer, capacity);
  child->Release();
  return v;
}

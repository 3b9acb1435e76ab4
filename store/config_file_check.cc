// The bookkeeping check of a file object, for tests and fuzzers.
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/config_file.h"

using orvo::platform::LockGuard;

using orvo::store::CfChildren;
using orvo::store::CfIsBranch;

namespace {

std::string Describe(const char* what, const void* p) {
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), " (%p)", p);
  return std::string(what) + buffer;
}

// What the registry walk finds, for the checks that follow it.
struct Census {
  std::unordered_set<const CCfKeyInterface*> registered;
  std::unordered_map<const CfNode*, const CCfKeyInterface*> live_by_node;
  std::unordered_set<const CfNode*> in_tree;
};

// Each check below returns false with a description in *fault on the first
// fault it finds.
bool Fail(std::string* fault, std::string text) {
  *fault = std::move(text);
  return false;
}

// Registry: sorted by node address, each key once, counted, and (for live
// keys) at most one per node. Fills census->registered and live_by_node.
bool CheckRegistry(const CfKeyTable& keys, Census* census, std::string* fault) {
  Census& c = *census;
  const CfKeyRegistry& registry = keys.registry();
  for (int32_t i = 0; i < registry.count(); ++i) {
    const CfKeyEntry& e = registry.at(i);
    if (i > 0 && reinterpret_cast<uintptr_t>(registry.at(i - 1).node) >
                     reinterpret_cast<uintptr_t>(e.node)) {
      return Fail(fault, "registry not sorted by node");
    }
    if (e.key == nullptr) return Fail(fault, "registry entry without a key");
    if (!c.registered.insert(e.key).second)
      return Fail(fault, Describe("key registered twice", e.key));
    if (e.key->node() != e.node)
      return Fail(fault, Describe("key registered under another node", e.key));
    if (e.key->table() != &keys) return Fail(fault, Describe("key of another file", e.key));
    if (e.key->count() < 1) return Fail(fault, Describe("registered key with count 0", e.key));
    if (!e.key->detached() && !c.live_by_node.emplace(e.node, e.key).second) {
      return Fail(fault, Describe("two live keys for one node", e.node));
    }
  }
  return true;
}

// Idle pool: within its limit, not registered, distinct.
bool CheckPool(const CfKeyTable& keys, const Census& c, std::string* fault) {
  if (keys.pool_count() < 0 || keys.pool_count() > kCfIdlePoolLimit)
    return Fail(fault, "idle pool over its limit");
  for (int32_t i = 0; i < keys.pool_count(); ++i) {
    if (keys.pooled(i) == nullptr || c.registered.count(keys.pooled(i)) != 0) {
      return Fail(fault, Describe("pooled key still registered", keys.pooled(i)));
    }
    for (int32_t j = 0; j < i; ++j) {
      if (keys.pooled(j) == keys.pooled(i))
        return Fail(fault, Describe("key pooled twice", keys.pooled(i)));
    }
  }
  return true;
}

// A root, and a root key (if any) registered and standing for it.
bool CheckRootKey(const CfNode* root, const CCfKeyInterface* root_key, const Census& c,
                  std::string* fault) {
  if (root == nullptr) return Fail(fault, "no root");
  if (root_key != nullptr) {
    if (c.registered.count(root_key) == 0) return Fail(fault, "root key not registered");
    if (root_key->detached() || root_key->node() != root || root_key->parent() != nullptr ||
        root_key->index() != -1) {
      return Fail(fault, "root key does not stand for the root");
    }
  }
  return true;
}

// A child table: its count within its capacity, and its order index (if
// any) a permutation of its positions in order.
bool CheckChildTable(const CfNode* node, const CfChildTable* table, std::string* fault) {
  if (table == nullptr) return Fail(fault, Describe("branch without a table", node));
  if (table->count < 0 || table->count > table->capacity) {
    return Fail(fault, Describe("child table count out of range", node));
  }
  if (table->order != nullptr) {
    if (table->sorted) return Fail(fault, Describe("sorted child table with an order index", node));
    std::vector<bool> seen(static_cast<size_t>(table->count), false);
    for (int32_t k = 0; k < table->count; ++k) {
      const int32_t at = table->order[k];
      if (at < 0 || at >= table->count || seen[static_cast<size_t>(at)]) {
        return Fail(fault, Describe("order index not a permutation", node));
      }
      seen[static_cast<size_t>(at)] = true;
      const int32_t prev = k > 0 ? table->order[k - 1] : -1;
      if (prev >= 0 && (table->entries[prev].id > table->entries[at].id ||
                        (table->entries[prev].id == table->entries[at].id && prev > at))) {
        return Fail(fault, Describe("order index out of order", node));
      }
    }
  }
  return true;
}

// Tree: walked without recursion. Child tables marked sorted are; the
// key-bound bit exactly on nodes with a live non-root key. Fills
// census->in_tree.
bool CheckTree(const CfNode* root, const CCfKeyInterface* root_key, Census* census,
               std::string* fault) {
  Census& c = *census;
  std::vector<const CfNode*> pending{root};
  while (!pending.empty()) {
    const CfNode* node = pending.back();
    pending.pop_back();
    if (!c.in_tree.insert(node).second) return Fail(fault, Describe("node reached twice", node));
    const auto live = c.live_by_node.find(node);
    const bool has_live_child_key =
        live != c.live_by_node.end() && live->second != root_key && node != root;
    if (((node->flags & kCfKeyBound) != 0) != has_live_child_key) {
      return Fail(fault, Describe("key-bound bit out of step", node));
    }
    if (!CfIsBranch(node)) continue;
    const CfChildTable* table = CfChildren(node);
    if (!CheckChildTable(node, table, fault)) return false;
    for (int32_t i = 0; i < table->count; ++i) {
      if (table->entries[i].child == nullptr)
        return Fail(fault, Describe("empty child entry", node));
      if (table->sorted && i > 0 && table->entries[i - 1].id > table->entries[i].id) {
        return Fail(fault, Describe("child table marked sorted is not", node));
      }
      pending.push_back(table->entries[i].child);
    }
  }
  return true;
}

// Keys: live ones stand for a node of the tree at their index; every key's
// parent is registered and counts the reference it holds.
bool CheckKeys(const CfKeyTable& keys, const CCfKeyInterface* root_key, const Census& c,
               std::string* fault) {
  std::unordered_map<const CCfKeyInterface*, int32_t> child_refs;
  for (int32_t i = 0; i < keys.registry().count(); ++i) {
    const CCfKeyInterface* key = keys.registry().at(i).key;
    if (key->parent() != nullptr) {
      if (c.registered.count(key->parent()) == 0) {
        return Fail(fault, Describe("parent of a key not registered", key));
      }
      ++child_refs[key->parent()];
    }
    if (key->detached()) continue;
    if (c.in_tree.count(key->node()) == 0)
      return Fail(fault, Describe("live key off the tree", key));
    if (key == root_key) continue;
    const CCfKeyInterface* parent = key->parent();
    if (parent == nullptr) return Fail(fault, Describe("second key without a parent", key));
    if (parent->detached() || !CfIsBranch(parent->node())) {
      return Fail(fault, Describe("live key under a detached or leaf parent", key));
    }
    const CfChildTable* table = CfChildren(parent->node());
    if (key->index() < 0 || key->index() >= table->count ||
        table->entries[key->index()].child != key->node()) {
      return Fail(fault, Describe("key index out of step with its parent's table", key));
    }
  }
  for (int32_t i = 0; i < keys.registry().count(); ++i) {
    const CCfKeyInterface* key = keys.registry().at(i).key;
    const auto it = child_refs.find(key);
    const int32_t held = (it == child_refs.end() ? 0 : it->second) + (key == root_key ? 1 : 0);
    if (key->count() < held) return Fail(fault, Describe("count below the references held", key));
  }
  return true;
}

}  // namespace

bool CConfigFile::CheckInvariants(std::string* message) {
  std::string fault;
  try {
    LockGuard guard(lock_);
    Census census;
    if (CheckRegistry(keys_, &census, &fault) && CheckPool(keys_, census, &fault) &&
        CheckRootKey(root_, root_key_, census, &fault) &&
        CheckTree(root_, root_key_, &census, &fault) &&
        CheckKeys(keys_, root_key_, census, &fault)) {
      return true;
    }
  } catch (const std::bad_alloc&) {
    fault = "out of memory while checking";
  }
  if (message != nullptr) message->swap(fault);
  return false;
}

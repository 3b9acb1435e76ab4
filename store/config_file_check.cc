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

}  // namespace

bool CConfigFile::CheckInvariants(std::string* message) {
  std::string fault;
  try {
    LockGuard guard(lock_);
    auto fail = [&fault](std::string text) {
      fault = std::move(text);
      return false;
    };
    const CfKeyRegistry& registry = keys_.registry();
    auto check = [&]() -> bool {
      // Registry: sorted by node address, each key once, counted, and (for
      // live keys) at most one per node.
      std::unordered_set<const CCfKeyInterface*> registered;
      std::unordered_map<const CfNode*, const CCfKeyInterface*> live_by_node;
      for (int32_t i = 0; i < registry.count(); ++i) {
        const CfKeyEntry& e = registry.at(i);
        if (i > 0 && reinterpret_cast<uintptr_t>(registry.at(i - 1).node) >
                         reinterpret_cast<uintptr_t>(e.node)) {
          return fail("registry not sorted by node");
        }
        if (e.key == nullptr) return fail("registry entry without a key");
        if (!registered.insert(e.key).second) return fail(Describe("key registered twice", e.key));
        if (e.key->node() != e.node)
          return fail(Describe("key registered under another node", e.key));
        if (e.key->table() != &keys_) return fail(Describe("key of another file", e.key));
        if (e.key->count() < 1) return fail(Describe("registered key with count 0", e.key));
        if (!e.key->detached() && !live_by_node.emplace(e.node, e.key).second) {
          return fail(Describe("two live keys for one node", e.node));
        }
      }

      // Idle pool: within its limit, not registered, distinct.
      if (keys_.pool_count() < 0 || keys_.pool_count() > kCfIdlePoolLimit)
        return fail("idle pool over its limit");
      for (int32_t i = 0; i < keys_.pool_count(); ++i) {
        if (keys_.pooled(i) == nullptr || registered.count(keys_.pooled(i)) != 0) {
          return fail(Describe("pooled key still registered", keys_.pooled(i)));
        }
        for (int32_t j = 0; j < i; ++j) {
          if (keys_.pooled(j) == keys_.pooled(i))
            return fail(Describe("key pooled twice", keys_.pooled(i)));
        }
      }

      // Root key.
      if (root_ == nullptr) return fail("no root");
      if (root_key_ != nullptr) {
        if (registered.count(root_key_) == 0) return fail("root key not registered");
        if (root_key_->detached() || root_key_->node() != root_ || root_key_->parent() != nullptr ||
            root_key_->index() != -1) {
          return fail("root key does not stand for the root");
        }
      }

      // Tree: walked without recursion. Child tables marked sorted are; the
      // key-bound bit exactly on nodes with a live non-root key.
      std::unordered_set<const CfNode*> in_tree;
      std::vector<const CfNode*> pending{root_};
      while (!pending.empty()) {
        const CfNode* node = pending.back();
        pending.pop_back();
        if (!in_tree.insert(node).second) return fail(Describe("node reached twice", node));
        const auto live = live_by_node.find(node);
        const bool has_live_child_key =
            live != live_by_node.end() && live->second != root_key_ && node != root_;
        if (((node->flags & kCfKeyBound) != 0) != has_live_child_key) {
          return fail(Describe("key-bound bit out of step", node));
        }
        if (!CfIsBranch(node)) continue;
        const CfChildTable* table = CfChildren(node);
        if (table == nullptr) return fail(Describe("branch without a table", node));
        if (table->count < 0 || table->count > table->capacity) {
          return fail(Describe("child table count out of range", node));
        }
        if (table->order != nullptr) {
          if (table->sorted) return fail(Describe("sorted child table with an order index", node));
          std::vector<bool> seen(static_cast<size_t>(table->count), false);
          for (int32_t k = 0; k < table->count; ++k) {
            const int32_t at = table->order[k];
            if (at < 0 || at >= table->count || seen[static_cast<size_t>(at)]) {
              return fail(Describe("order index not a permutation", node));
            }
            seen[static_cast<size_t>(at)] = true;
            const int32_t prev = k > 0 ? table->order[k - 1] : -1;
            if (prev >= 0 && (table->entries[prev].id > table->entries[at].id ||
                              (table->entries[prev].id == table->entries[at].id && prev > at))) {
              return fail(Describe("order index out of order", node));
            }
          }
        }
        for (int32_t i = 0; i < table->count; ++i) {
          if (table->entries[i].child == nullptr) return fail(Describe("empty child entry", node));
          if (table->sorted && i > 0 && table->entries[i - 1].id > table->entries[i].id) {
            return fail(Describe("child table marked sorted is not", node));
          }
          pending.push_back(table->entries[i].child);
        }
      }

      // Keys: live ones stand for a node of the tree at their index; every
      // key's parent is registered and counts the reference it holds.
      std::unordered_map<const CCfKeyInterface*, int32_t> child_refs;
      for (int32_t i = 0; i < registry.count(); ++i) {
        const CCfKeyInterface* key = registry.at(i).key;
        if (key->parent() != nullptr) {
          if (registered.count(key->parent()) == 0) {
            return fail(Describe("parent of a key not registered", key));
          }
          ++child_refs[key->parent()];
        }
        if (key->detached()) continue;
        if (in_tree.count(key->node()) == 0) return fail(Describe("live key off the tree", key));
        if (key == root_key_) continue;
        const CCfKeyInterface* parent = key->parent();
        if (parent == nullptr) return fail(Describe("second key without a parent", key));
        if (parent->detached() || !CfIsBranch(parent->node())) {
          return fail(Describe("live key under a detached or leaf parent", key));
        }
        const CfChildTable* table = CfChildren(parent->node());
        if (key->index() < 0 || key->index() >= table->count ||
            table->entries[key->index()].child != key->node()) {
          return fail(Describe("key index out of step with its parent's table", key));
        }
      }
      for (int32_t i = 0; i < registry.count(); ++i) {
        const CCfKeyInterface* key = registry.at(i).key;
        const auto it = child_refs.find(key);
        const int32_t held = (it == child_refs.end() ? 0 : it->second) + (key == root_key_ ? 1 : 0);
        if (key->count() < held) return fail(Describe("count below the references held", key));
      }
      return true;
    };
    if (check()) return true;
  } catch (const std::bad_alloc&) {
    fault = "out of memory while checking";
  }
  if (message != nullptr) message->swap(fault);
  return false;
}

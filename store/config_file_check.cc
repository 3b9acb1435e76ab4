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
    auto check = [&]() -> bool {
      // Registry: sorted by node address, each key once, counted, and (for
      // live keys) at most one per node.
      std::unordered_set<const CCfKeyInterface*> registered;
      std::unordered_map<const CfNode*, const CCfKeyInterface*> live_by_node;
      for (int32_t i = 0; i < registry_.count(); ++i) {
        const CfKeyEntry& e = registry_.at(i);
        if (i > 0 && reinterpret_cast<uintptr_t>(registry_.at(i - 1).node) >
                         reinterpret_cast<uintptr_t>(e.node)) {
          return fail("registry not sorted by node");
        }
        if (e.key == nullptr) return fail("registry entry without a key");
        if (!registered.insert(e.key).second) return fail(Describe("key registered twice", e.key));
        if (e.key->node_ != e.node)
          return fail(Describe("key registered under another node", e.key));
        if (e.key->file_ != this) return fail(Describe("key of another file", e.key));
        if (e.key->ref_count_ < 1) return fail(Describe("registered key with count 0", e.key));
        if (!e.key->detached_ && !live_by_node.emplace(e.node, e.key).second) {
          return fail(Describe("two live keys for one node", e.node));
        }
      }

      // Idle pool: within its limit, not registered, distinct.
      if (pool_count_ < 0 || pool_count_ > kCfIdlePoolLimit)
        return fail("idle pool over its limit");
      for (int32_t i = 0; i < pool_count_; ++i) {
        if (pool_[i] == nullptr || registered.count(pool_[i]) != 0) {
          return fail(Describe("pooled key still registered", pool_[i]));
        }
        for (int32_t j = 0; j < i; ++j) {
          if (pool_[j] == pool_[i]) return fail(Describe("key pooled twice", pool_[i]));
        }
      }

      // Root key.
      if (root_ == nullptr) return fail("no root");
      if (root_key_ != nullptr) {
        if (registered.count(root_key_) == 0) return fail("root key not registered");
        if (root_key_->detached_ || root_key_->node_ != root_ || root_key_->parent_ != nullptr ||
            root_key_->index_ != -1) {
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
      for (int32_t i = 0; i < registry_.count(); ++i) {
        const CCfKeyInterface* key = registry_.at(i).key;
        if (key->parent_ != nullptr) {
          if (registered.count(key->parent_) == 0) {
            return fail(Describe("parent of a key not registered", key));
          }
          ++child_refs[key->parent_];
        }
        if (key->detached_) continue;
        if (in_tree.count(key->node_) == 0) return fail(Describe("live key off the tree", key));
        if (key == root_key_) continue;
        const CCfKeyInterface* parent = key->parent_;
        if (parent == nullptr) return fail(Describe("second key without a parent", key));
        if (parent->detached_ || !CfIsBranch(parent->node_)) {
          return fail(Describe("live key under a detached or leaf parent", key));
        }
        const CfChildTable* table = CfChildren(parent->node_);
        if (key->index_ < 0 || key->index_ >= table->count ||
            table->entries[key->index_].child != key->node_) {
          return fail(Describe("key index out of step with its parent's table", key));
        }
      }
      for (int32_t i = 0; i < registry_.count(); ++i) {
        const CCfKeyInterface* key = registry_.at(i).key;
        const auto it = child_refs.find(key);
        const int32_t held = (it == child_refs.end() ? 0 : it->second) + (key == root_key_ ? 1 : 0);
        if (key->ref_count_ < held) return fail(Describe("count below the references held", key));
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

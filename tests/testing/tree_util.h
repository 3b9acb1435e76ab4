// Building and describing node trees in tests.
#ifndef ORVO_TESTS_TESTING_TREE_UTIL_H_
#define ORVO_TESTS_TESTING_TREE_UTIL_H_

#include <cstdio>
#include <string>
#include <vector>

#include "store/child_table.h"
#include "store/name.h"
#include "store/node.h"
#include "store/tree.h"

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfIsBranch;
using orvo::store::CfName;
using orvo::store::CfNameHash;
using orvo::store::CfValue;
using orvo::store::CreateNode;
using orvo::store::FreeNodeTree;
using orvo::store::InsertChild;

namespace orvo::testing {

inline CfNode* MakeNode(const std::u16string& name, uint8_t flags = 0,
                        const std::string& value = std::string(), bool branch = false) {
  return CreateNode(name.c_str(), static_cast<int>(name.size()), flags, value.data(),
                    static_cast<int>(value.size()), branch ? 1 : 0);
}

// Adds |child| to the branch |parent| under its name's hash, or under |id|
// when one is given, at its sorted place.
inline CfNode* AddChild(CfNode* parent, CfNode* child, long long id = -1) {
  if (child == nullptr) return nullptr;
  const uint32_t key =
      id >= 0 ? static_cast<uint32_t>(id) : CfNameHash(CfName(child), child->name_length, nullptr);
  if (InsertChild(CfChildren(parent), {key, child}, false) < 0) return nullptr;
  return child;
}

// One line per node, depth-first, indented by depth:
//   [id] name flags=0xNN value=hex (leaf|branch)
// Walks without recursion.
inline std::string DescribeTree(const CfNode* root) {
  struct Frame {
    const CfNode* node;
    uint32_t id;
    size_t depth;
  };
  std::string out;
  std::vector<Frame> stack = {{root, 0, 0}};
  while (!stack.empty()) {
    const Frame f = stack.back();
    stack.pop_back();
    char buf[64];
    out.append(2 * f.depth, ' ');
    std::snprintf(buf, sizeof(buf), "[%u] ", static_cast<unsigned>(f.id));
    out += buf;
    const CfChar* name = CfName(f.node);
    for (int i = 0; i < f.node->name_length; ++i) {
      if (name[i] < 0x80) {
        out += static_cast<char>(name[i]);
      } else {
        std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(name[i]));
        out += buf;
      }
    }
    std::snprintf(buf, sizeof(buf), " flags=0x%02x value=", f.node->flags);
    out += buf;
    for (int i = 0; i < f.node->value_length; ++i) {
      std::snprintf(buf, sizeof(buf), "%02x", CfValue(f.node)[i]);
      out += buf;
    }
    out += CfIsBranch(f.node) ? " branch\n" : " leaf\n";
    for (int32_t i = CfChildCount(f.node) - 1; i >= 0; --i) {
      const CfChildEntry& e = CfChildren(f.node)->entries[i];
      stack.push_back({e.child, e.id, f.depth + 1});
    }
  }
  return out;
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_TREE_UTIL_H_

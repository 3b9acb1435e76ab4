// Node trees as JSON, one object per node:
//   {"name": "...", "flags": N, "value_hex": "...",
//    "children": [{"id": N, "node": {...}}, ...]}
// flags is the flags byte without the branch and key-bound bits; value_hex is
// the value in lower-case hex; children stand in table order.
#ifndef ORVO_TOOLS_SETTOOL_TREE_JSON_H_
#define ORVO_TOOLS_SETTOOL_TREE_JSON_H_

#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "store/node.h"
#include "tools/settool/key_path.h"

namespace orvo::settool {

// Writes |root| as one line of JSON followed by a newline. Walks without
// recursion. False when a write to |out| fails.
bool WriteTreeJson(const CfNode* root, std::FILE* out);

// Appends the same text to *out.
void AppendTreeJson(const CfNode* root, std::string* out);

// Appends |node| without its children: {"name": ..., "flags": ..., value}.
void AppendNodeJson(const CfNode* node, std::string* out);

// Writes the subtree at |steps| below |root| (key_path.h) as a tree from the
// root down, one line and a newline: the keys on the way as bare nodes
// ({"name": ..., "children": [...]}, neither flags nor a value), each with
// the siblings before it that share its child id (bare too), so that it
// keeps its occurrence; then the subtree in full. False when a write fails.
bool WriteTreeJsonFromRoot(CfNode* root, const std::vector<NodeStep>& steps, std::FILE* out);
void AppendTreeJsonFromRoot(CfNode* root, const std::vector<NodeStep>& steps, std::string* out);

// Whether an error of ParseTreeJson is a lack of memory, not bad input.
inline bool IsOutOfMemory(const std::string& error) {
  static const std::string kTail = "out of memory";
  return error.size() >= kTail.size() &&
         error.compare(error.size() - kTail.size(), kTail.size(), kTail) == 0;
}

// Builds a tree from |text|. Every child is inserted at its sorted place after
// the children with the same id, in the order given, so a tree written in
// table order comes back the same. "name" and "flags" are required,
// "value_hex" and "children" may be left out; other members are refused.
// The branch and key-bound bits of flags are ignored (a node with children is
// a branch). Returns nullptr with *error set ("line L, column C: why") on bad
// input. Reads without recursion, however deep the nesting. With |bare|,
// receives the nodes that gave neither "flags" nor a value member.
CfNode* ParseTreeJson(const std::string& text, std::string* error,
                      std::unordered_set<const CfNode*>* bare = nullptr);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_TREE_JSON_H_

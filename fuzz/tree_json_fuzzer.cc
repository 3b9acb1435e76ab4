// Feeds each input to settool's JSON tree reader. A tree it accepts must
// write out as JSON that reads back to the same tree, byte for byte (typed
// values included: a typed member is written only where it is exact), and
// to the same text. A key chosen by the input's bytes must be named back by
// the path settool prints for it, and its export (the tree from the root
// down to it) must read back with the same subtree at that path.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/format.h"
#include "tools/settool/key_path.h"
#include "tools/settool/tree_json.h"

using orvo::store::CfChildCount;
using orvo::store::FreeNodeTree;
using orvo::store::SerializeNode;

namespace {

// The tree's serialised body.
std::string Bytes(const CfNode* root) {
  std::string out(SerializeNode(root, nullptr), '\0');
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&out[0]);
  if (SerializeNode(root, &cursor, out.size()) != out.size()) std::abort();
  return out;
}

// The node at |steps| below |root|.
const CfNode* At(CfNode* root, const std::vector<orvo::settool::NodeStep>& steps) {
  return steps.empty() ? root : orvo::settool::StepChild(steps.back());
}

// Picks a key by the input's bytes, names it, exports it and reads it back.
void CheckPathAndExport(CfNode* root, const uint8_t* data, size_t size) {
  using orvo::settool::NodeStep;
  std::vector<NodeStep> steps;
  std::u16string path;
  CfNode* node = root;
  for (size_t k = 0; k < 8 && k < size && CfChildCount(node) > 0; ++k) {
    const int32_t index = data[size - 1 - k] % CfChildCount(node);
    if (!path.empty()) path += u'/';
    path += orvo::settool::PathComponentOf(node, index);
    steps.push_back({node, index});
    node = orvo::settool::StepChild(steps.back());
  }
  std::vector<NodeStep> found;
  if (!orvo::settool::FindNodePath(root, path, &found) || At(root, found) != node) std::abort();
  std::string exported;
  orvo::settool::AppendTreeJsonFromRoot(root, steps, &exported);
  std::string error;
  CfNode* again = orvo::settool::ParseTreeJson(exported, &error);
  if (again == nullptr) std::abort();
  const bool same =
      orvo::settool::FindNodePath(again, path, &found) && Bytes(At(again, found)) == Bytes(node);
  FreeNodeTree(again, nullptr);
  if (!same) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  CfNode* root = orvo::settool::ParseTreeJson(text, &error);
  if (root == nullptr) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  std::string json;
  orvo::settool::AppendTreeJson(root, &json);
  const std::string bytes = Bytes(root);
  CheckPathAndExport(root, data, size);
  FreeNodeTree(root, nullptr);
  CfNode* again = orvo::settool::ParseTreeJson(json, &error);
  if (again == nullptr) std::abort();
  std::string json2;
  orvo::settool::AppendTreeJson(again, &json2);
  const std::string bytes2 = Bytes(again);
  FreeNodeTree(again, nullptr);
  if (json2 != json || bytes2 != bytes) std::abort();
  return 0;
}

// Feeds each input to settool's JSON tree reader. A tree it accepts must
// write out as JSON that reads back to the same tree, byte for byte (typed
// values included: a typed member is written only where it is exact), and
// to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/format.h"
#include "tools/settool/tree_json.h"

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

// Feeds each input to settool's JSON tree reader. A tree it accepts must
// write out as JSON that reads back to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/settool/tree_json.h"

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
  FreeNodeTree(root, nullptr);
  CfNode* again = orvo::settool::ParseTreeJson(json, &error);
  if (again == nullptr) std::abort();
  std::string json2;
  orvo::settool::AppendTreeJson(again, &json2);
  FreeNodeTree(again, nullptr);
  if (json2 != json) std::abort();
  return 0;
}

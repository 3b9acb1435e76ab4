// settool dump FILE [--json]: the tree of a file, for people or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "store/file_io.h"
#include "tools/settool/commands.h"
#include "tools/settool/json.h"
#include "tools/settool/key_path.h"
#include "tools/settool/messages.h"
#include "tools/settool/tree_json.h"
#include "tools/settool/tree_load.h"
#include "tools/settool/value_text.h"

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfType;
using orvo::store::CfValue;
using orvo::store::FreeNodeTree;

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "dump";
constexpr const char* kArguments = "FILE [--json]";

// One line per key, indented two spaces per level:
//   "Name" wstring "text"
//   #12345 none attr=0x30 protected
//   #1[2] none             (the second key with child id 1)
bool WriteTreeText(const CfNode* root, std::FILE* f) {
  struct Frame {
    const CfNode* node;
    uint32_t id;
    int32_t occurrence;  // among the siblings with the same id
    size_t depth;
  };
  std::vector<Frame> stack = {{root, 0, 0, 0}};
  std::vector<int32_t> occurrences;
  std::string line;
  std::string buf;
  while (!stack.empty()) {
    const Frame fr = stack.back();
    stack.pop_back();
    const CfNode* n = fr.node;
    line.assign(2 * fr.depth, ' ');
    if (n->name_length > 0 || fr.depth == 0) {
      AppendJsonString(CfName(n), n->name_length, &line);
    } else {
      line += UnnamedKeyLabel(fr.id, fr.occurrence);
    }
    line += ' ';
    line += ValueTypeName(CfType(n));
    if ((n->flags & kCfAttributeMask) != 0) {
      char attr[16];
      std::snprintf(attr, sizeof(attr), " attr=0x%02x", n->flags & kCfAttributeMask);
      line += attr;
      if ((n->flags & kCfProtected) != 0) line += " protected";
    }
    if (n->value_length > 0) line += ' ' + ValueText(CfType(n), CfValue(n), n->value_length);
    line += '\n';
    buf += line;
    if (buf.size() >= (1 << 16)) {
      if (std::fwrite(buf.data(), 1, buf.size(), f) != buf.size()) return false;
      buf.clear();
    }
    // Entries with one id stand together, in table order.
    const int32_t count = CfChildCount(n);
    occurrences.assign(static_cast<size_t>(count), 0);
    for (int32_t i = 1; i < count; ++i) {
      const CfChildEntry* entries = CfChildren(n)->entries;
      if (entries[i].id == entries[i - 1].id) occurrences[i] = occurrences[i - 1] + 1;
    }
    for (int32_t i = count - 1; i >= 0; --i) {
      const CfChildEntry& e = CfChildren(n)->entries[i];
      stack.push_back({e.child, e.id, occurrences[static_cast<size_t>(i)], fr.depth + 1});
    }
  }
  return std::fwrite(buf.data(), 1, buf.size(), f) == buf.size();
}

// Frees a tree when the scope ends, out-of-memory exceptions included.
class TreeOwner {
 public:
  explicit TreeOwner(CfNode* root) : root_(root) {}
  ~TreeOwner() {
    if (root_ != nullptr) FreeNodeTree(root_, nullptr);
  }
  TreeOwner(const TreeOwner&) = delete;
  TreeOwner& operator=(const TreeOwner&) = delete;

 private:
  CfNode* root_;
};

}  // namespace

int RunDump(CommandContext& ctx) {
  static const char* const kFlags[] = {"--json", nullptr};
  bool json = false;
  std::u16string file;
  if (!ParseFileAndFlags(ctx, kCommand, kArguments, kFlags, &json, &file)) return kExitError;
  CfNode* root = nullptr;
  CfLoadReport report;
  const int loaded = LoadAsTheStoreDoes(ctx, kCommand, file, LoadPurpose::kReading, &root, &report);
  const TreeOwner owner(root);
  if (loaded != kExitOk) return loaded;
  const bool written = json ? WriteTreeJson(root, ctx.out) : WriteTreeText(root, ctx.out);
  if (!written || std::fflush(ctx.out) != 0) {
    return Complain(ctx, kCommand, file, "cannot write the output", kExitError);
  }
  return kExitOk;
}

}  // namespace orvo::settool

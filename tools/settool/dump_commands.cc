// settool dump FILE [--json]: the tree of a file, for people or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "store/file_io.h"
#include "tools/settool/commands.h"
#include "tools/settool/json.h"
#include "tools/settool/messages.h"
#include "tools/settool/tree_json.h"
#include "tools/settool/tree_load.h"

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "dump";
constexpr const char* kArguments = "FILE [--json]";

const char* TypeName(int type) {
  switch (type) {
    case CfTypeBinary:
      return "binary";
    case CfTypeString:
      return "string";
    case CfTypeWString:
      return "wstring";
    default:
      return "none";
  }
}

void AppendHexBytes(const uint8_t* v, size_t n, std::string* out) {
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), i == 0 ? "%02x" : " %02x", v[i]);
    out->append(buf);
  }
}

// An 8-bit string: printable ASCII as it is, everything else escaped.
void AppendQuotedBytes(const uint8_t* v, size_t n, std::string* out) {
  out->push_back('"');
  char buf[8];
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = v[i];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c >= 0x20 && c < 0x7F) {
      out->push_back(static_cast<char>(c));
    } else {
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out->append(buf);
    }
  }
  out->push_back('"');
}

// The value as its type suggests; a 4-byte value also as an integer.
void AppendValue(const CfNode* n, std::string* out) {
  const uint8_t* v = CfValue(n);
  size_t len = n->value_length;
  if (len == 0) return;
  out->push_back(' ');
  const int type = CfType(n);
  if (type == CfTypeWString && len % 2 == 0) {
    std::u16string text(len / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(v[2 * i] | (v[2 * i + 1] << 8));
    }
    if (!text.empty() && text.back() == 0) text.pop_back();  // the terminator
    AppendJsonString(text.data(), text.size(), out);
  } else if (type == CfTypeString) {
    AppendQuotedBytes(v, v[len - 1] == 0 ? len - 1 : len, out);
  } else {
    AppendHexBytes(v, len, out);
  }
  if (len == 4) {
    const uint32_t u = static_cast<uint32_t>(v[0]) | (static_cast<uint32_t>(v[1]) << 8) |
                       (static_cast<uint32_t>(v[2]) << 16) | (static_cast<uint32_t>(v[3]) << 24);
    out->append(" (int " + std::to_string(static_cast<int32_t>(u)) + ")");
  }
}

// One line per key, indented two spaces per level:
//   "Name" wstring "text"
//   #12345 none attr=0x30 protected
bool WriteTreeText(const CfNode* root, std::FILE* f) {
  struct Frame {
    const CfNode* node;
    uint32_t id;
    size_t depth;
  };
  std::vector<Frame> stack = {{root, 0, 0}};
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
      line += "#" + std::to_string(fr.id);
    }
    line += ' ';
    line += TypeName(CfType(n));
    if ((n->flags & kCfAttributeMask) != 0) {
      char attr[16];
      std::snprintf(attr, sizeof(attr), " attr=0x%02x", n->flags & kCfAttributeMask);
      line += attr;
      if ((n->flags & kCfProtected) != 0) line += " protected";
    }
    AppendValue(n, &line);
    line += '\n';
    buf += line;
    if (buf.size() >= (1 << 16)) {
      if (std::fwrite(buf.data(), 1, buf.size(), f) != buf.size()) return false;
      buf.clear();
    }
    for (int32_t i = CfChildCount(n) - 1; i >= 0; --i) {
      const CfChildEntry& e = CfChildren(n)->entries[i];
      stack.push_back({e.child, e.id, fr.depth + 1});
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
  CfFileReport report;
  const int loaded = LoadForReading(ctx, kCommand, file, &root, &report);
  const TreeOwner owner(root);
  if (loaded != kExitOk) return loaded;
  const bool written = json ? WriteTreeJson(root, ctx.out) : WriteTreeText(root, ctx.out);
  if (!written || std::fflush(ctx.out) != 0) {
    return Complain(ctx, kCommand, file, "cannot write the output", kExitError);
  }
  return kExitOk;
}

}  // namespace orvo::settool

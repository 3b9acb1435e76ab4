// settool's reading commands: dump, ls, get and export. Each reads the file
// as the store opens it (tree_load.h) and finds its PATH in that tree with
// the store's own lookups (key_path.h); nothing is written to the file.
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "store/child_table.h"
#include "store/file_io.h"
#include "store/tree.h"
#include "tools/settool/commands.h"
#include "tools/settool/json.h"
#include "tools/settool/key_path.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"
#include "tools/settool/tree_json.h"
#include "tools/settool/tree_load.h"
#include "tools/settool/value_text.h"

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfType;
using orvo::store::CfValue;
using orvo::store::FreeNodeTree;
using orvo::store::OccurrenceAt;

namespace orvo::settool {

namespace {

constexpr size_t kFlushAt = 1 << 16;

// A tree read for a command and the key its PATH names.
struct Found {
  CfTree tree;
  std::vector<NodeStep> steps;  // from the root to the key
  CfNode* node = nullptr;
  uint32_t id = 0;         // the key's child id (0 for the root)
  int32_t occurrence = 0;  // among the siblings with that id
  std::u16string path;     // the path from the root that names it back
};

// Reads |file| and finds |path| in it into *found. Reports and returns the
// exit code, or kExitOk.
int LoadAndFind(CommandContext& ctx, const char* command, const char* arguments,
                const std::u16string& file, const std::u16string& path, Found* found) {
  if (int rc = CheckKeyPath(ctx, command, arguments, file, path)) return rc;
  CfLoadReport report;
  CfNode* root = nullptr;
  const int loaded = LoadAsTheStoreDoes(ctx, command, file, LoadPurpose::kReading, &root, &report);
  found->tree.reset(root);
  if (loaded != kExitOk) return loaded;
  if (!FindNodePath(found->tree.get(), path, &found->steps)) {
    return Complain(ctx, command, file, ShownPath(path) + ": no such key", kExitNo);
  }
  found->node = found->tree.get();
  for (const NodeStep& s : found->steps) {
    if (!found->path.empty()) found->path += u'/';
    found->path += PathComponentOf(s.parent, s.index);
    found->id = CfChildren(s.parent)->entries[s.index].id;
    found->occurrence = OccurrenceAt(CfChildren(s.parent), s.index);
    found->node = StepChild(s);
  }
  return kExitOk;
}

bool Written(CommandContext& ctx, const char* command, const std::u16string& file, bool ok) {
  if (ok && FlushOut(ctx.out)) return true;
  Complain(ctx, command, file, "cannot write the output", kExitError);
  return false;
}

// The type, the attributes when set, and (with |value|) the value:
// "wstring attr=0x10 protected \"text\"".
std::string TypeAndAttributes(const CfNode* n) {
  std::string s = ValueTypeName(CfType(n));
  if ((n->flags & kCfAttributeMask) != 0) {
    char attr[16];
    std::snprintf(attr, sizeof(attr), " attr=0x%02x", n->flags & kCfAttributeMask);
    s += attr;
    if ((n->flags & kCfProtected) != 0) s += " protected";
  }
  return s;
}

// One line per key, indented two spaces per level:
//   "Name" wstring "text"
//   #12345 none attr=0x30 protected
//   #1[2] none             (the second key with child id 1)
// The first line is |top| itself, named as |top_label| says.
bool WriteTreeText(const CfNode* top, const std::string& top_label, std::FILE* f) {
  struct Frame {
    const CfNode* node;
    uint32_t id;
    int32_t occurrence;  // among the siblings with the same id
    size_t depth;
  };
  std::vector<Frame> stack = {{top, 0, 0, 0}};
  std::vector<int32_t> occurrences;
  std::string line;
  std::string buf;
  while (!stack.empty()) {
    const Frame fr = stack.back();
    stack.pop_back();
    const CfNode* n = fr.node;
    line.assign(2 * fr.depth, ' ');
    if (fr.depth == 0) {
      line += top_label;
    } else if (n->name_length > 0) {
      AppendJsonString(CfName(n), n->name_length, &line);
    } else {
      line += UnnamedKeyLabel(fr.id, fr.occurrence);
    }
    line += ' ' + TypeAndAttributes(n);
    if (n->value_length > 0) line += ' ' + ValueText(CfType(n), CfValue(n), n->value_length);
    line += '\n';
    buf += line;
    if (buf.size() >= kFlushAt) {
      if (!WriteOut(f, buf)) return false;
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
  return WriteOut(f, buf);
}

// How a key is named on the first line of its dump and in ls: its name in
// JSON quotes, or #ID / #ID[N] for an unnamed key (the root is always
// named by its name).
std::string KeyLabel(const Found& found) {
  std::string label;
  if (found.node->name_length > 0 || found.steps.empty()) {
    AppendJsonString(CfName(found.node), found.node->name_length, &label);
  } else {
    label = UnnamedKeyLabel(found.id, found.occurrence);
  }
  return label;
}

// ls: the children of |top| (with |recursive|, every key below it, depth
// first in table order), one line each, or (|json|) one JSON array.
bool WriteListing(const Found& found, bool recursive, bool json, std::FILE* f) {
  struct Frame {
    CfNode* node;
    std::u16string path;
    int32_t next;
  };
  std::vector<Frame> stack = {{found.node, found.path, 0}};
  std::string buf = json ? "[" : "";
  bool first = true;
  while (!stack.empty()) {
    Frame& fr = stack.back();
    if (fr.next >= CfChildCount(fr.node)) {
      stack.pop_back();
      continue;
    }
    const int32_t index = fr.next++;
    const CfChildEntry& e = CfChildren(fr.node)->entries[index];
    const CfNode* n = e.child;
    std::u16string path = fr.path;
    if (!path.empty()) path += u'/';
    path += PathComponentOf(fr.node, index);
    if (json) {
      if (!first) buf += ", ";
      buf += "{\"path\": ";
      AppendJsonString(path.data(), path.size(), &buf);
      buf += ", \"id\": " + std::to_string(e.id) + ", \"node\": ";
      AppendNodeJson(n, &buf);
      buf += '}';
    } else {
      if (recursive) {
        AppendJsonString(path.data(), path.size(), &buf);
      } else if (n->name_length > 0) {
        AppendJsonString(CfName(n), n->name_length, &buf);
      } else {
        buf += UnnamedKeyLabel(e.id, OccurrenceAt(CfChildren(fr.node), index));
      }
      buf += ' ' + TypeAndAttributes(n) + ' ' + std::to_string(n->value_length) +
             (n->value_length == 1 ? " byte\n" : " bytes\n");
    }
    first = false;
    if (buf.size() >= kFlushAt) {
      if (!WriteOut(f, buf)) return false;
      buf.clear();
    }
    if (recursive && CfChildCount(e.child) > 0) {
      stack.push_back({e.child, std::move(path), 0});  // |fr| is not used past this point
    }
  }
  if (json) buf += "]\n";
  return WriteOut(f, buf);
}

// The value as `jq -r` gives a string: the text of a string value (UTF-8,
// without its terminator) and a newline; the bytes of any other value as
// they are.
std::string RawValue(const CfNode* n) {
  const uint8_t* v = CfValue(n);
  size_t length = static_cast<size_t>(n->value_length);
  if (CfType(n) == CfTypeWString && length % 2 == 0) {
    std::u16string text(length / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(v[2 * i] | (v[2 * i + 1] << 8));
    }
    if (!text.empty() && text.back() == 0) text.pop_back();
    return ForPeople(text) + '\n';
  }
  if (CfType(n) == CfTypeString) {
    if (length > 0 && v[length - 1] == 0) --length;
    return std::string(reinterpret_cast<const char*>(v), length) + '\n';
  }
  return std::string(reinterpret_cast<const char*>(v), length);
}

}  // namespace

int RunDump(CommandContext& ctx) {
  static const char* const kArguments = "FILE [PATH] [--json]";
  static const char* const kFlags[] = {"--json", nullptr};
  bool json = false;
  std::vector<std::u16string> operands;
  if (!ParseOperandsAndFlags(ctx, "dump", kArguments, kFlags, &json, 1, 2, &operands)) {
    return kExitError;
  }
  const std::u16string& file = operands[0];
  Found found;
  const std::u16string path = operands.size() > 1 ? operands[1] : std::u16string();
  if (int rc = LoadAndFind(ctx, "dump", kArguments, file, path, &found)) return rc;
  const bool written = json ? WriteTreeJson(found.node, ctx.out)
                            : WriteTreeText(found.node, KeyLabel(found), ctx.out);
  return Written(ctx, "dump", file, written) ? kExitOk : kExitError;
}

int RunList(CommandContext& ctx) {
  static const char* const kArguments = "FILE [PATH] [-r] [--json]";
  static const char* const kFlags[] = {"-r", "--json", nullptr};
  bool set[2] = {};
  std::vector<std::u16string> operands;
  if (!ParseOperandsAndFlags(ctx, "ls", kArguments, kFlags, set, 1, 2, &operands)) {
    return kExitError;
  }
  const std::u16string& file = operands[0];
  Found found;
  const std::u16string path = operands.size() > 1 ? operands[1] : std::u16string();
  if (int rc = LoadAndFind(ctx, "ls", kArguments, file, path, &found)) return rc;
  return Written(ctx, "ls", file, WriteListing(found, set[0], set[1], ctx.out)) ? kExitOk
                                                                                : kExitError;
}

int RunGet(CommandContext& ctx) {
  static const char* const kArguments = "FILE PATH [--raw | --json]";
  static const char* const kFlags[] = {"--raw", "--json", nullptr};
  bool set[2] = {};
  std::vector<std::u16string> operands;
  if (!ParseOperandsAndFlags(ctx, "get", kArguments, kFlags, set, 2, 2, &operands)) {
    return kExitError;
  }
  if (set[0] && set[1]) return UsageError(ctx, "get", kArguments, "--raw or --json, not both");
  const std::u16string& file = operands[0];
  Found found;
  if (int rc = LoadAndFind(ctx, "get", kArguments, file, operands[1], &found)) return rc;
  const CfNode* n = found.node;
  std::string text;
  if (set[0]) {
    text = RawValue(n);
  } else if (set[1]) {
    AppendNodeJson(n, &text);
    text += '\n';
  } else {
    text = DescribeValue(CfType(n), CfValue(n), static_cast<size_t>(n->value_length)) + '\n';
  }
  return Written(ctx, "get", file, WriteOut(ctx.out, text)) ? kExitOk : kExitError;
}

int RunExport(CommandContext& ctx) {
  static const char* const kArguments = "FILE PATH [OUT|-]";
  std::vector<std::u16string> operands;
  if (!ParseOperandsAndFlags(ctx, "export", kArguments, nullptr, nullptr, 2, 3, &operands)) {
    return kExitError;
  }
  const std::u16string& file = operands[0];
  const std::u16string out = operands.size() > 2 ? operands[2] : u"-";
  if (out.empty()) return UsageError(ctx, "export", kArguments, "OUT is empty");
  if (out != u"-" && !FilePathFits(ctx, "export", out)) return kExitError;
  platform::FileSystem* fs = platform::CurrentFileSystem();
  platform::OpenError error = platform::OpenError::kNone;
  if (out != u"-") {
    // Refused early, before the file is read, when OUT is there already.
    std::unique_ptr<platform::File> existing(
        fs->Open(out.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error));
    if (existing || error == platform::OpenError::kSharingViolation) {
      return Complain(ctx, "export", out, "already exists; it is not overwritten", kExitError);
    }
    if (error != platform::OpenError::kNotFound) {
      return Complain(ctx, "export", out, std::string("cannot create: ") + OpenErrorText(error),
                      kExitError);
    }
  }
  Found found;
  if (int rc = LoadAndFind(ctx, "export", kArguments, file, operands[1], &found)) return rc;
  if (out == u"-") {
    return Written(ctx, "export", file,
                   WriteTreeJsonFromRoot(found.tree.get(), found.steps, ctx.out))
               ? kExitOk
               : kExitError;
  }
  std::string json;
  AppendTreeJsonFromRoot(found.tree.get(), found.steps, &json);
  // Made new, so that nothing is ever overwritten.
  std::unique_ptr<platform::File> created(
      fs->Open(out.c_str(), platform::OpenMode::kReadWrite, platform::kCreateNew, &error));
  if (!created) {
    return Complain(
        ctx, "export", out,
        std::string("cannot create: ") +
            (error == platform::OpenError::kOther ? "it may exist already" : OpenErrorText(error)),
        kExitError);
  }
  uint32_t done = 0;
  const bool ok = json.size() <= UINT32_MAX &&
                  created->Write(json.data(), static_cast<uint32_t>(json.size()), &done) &&
                  done == json.size() && created->Flush() && created->Close();
  if (!ok) return GiveUpMadeFile(ctx, "export", out, std::move(created));
  return kExitOk;
}

}  // namespace orvo::settool

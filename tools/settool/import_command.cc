// settool import FILE JSON: merges a tree in the JSON form (tree_json.h)
// into an existing file, as `reg import` merges a registry file: keys are
// matched or added, values set, nothing is removed. The change is made in
// memory through the key interface and saved once (edit_file.h); any
// refusal saves nothing.
//
// Matching: the JSON's root is the file's root (the same name, letter case
// ignored); a named key is matched by its name, an unnamed one by child id
// and occurrence, as a PATH names it (#ID[N]). A node that gives neither
// "flags" nor a value (a "bare" node, as export writes the keys on the way)
// leaves a matched key's value and attributes as they are; any other node
// sets the key's type, value and attributes to exactly what it gives. A
// key that is protected in the file is never changed (the import is
// refused), though keys may be added below it.
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file.h"
#include "store/child_table.h"
#include "store/key.h"
#include "store/ref.h"
#include "tools/settool/commands.h"
#include "tools/settool/edit_file.h"
#include "tools/settool/key_path.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"
#include "tools/settool/tree_json.h"

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfType;
using orvo::store::CfValue;
using orvo::store::FreeNodeTree;
using orvo::store::OccurrenceAt;

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "import";
constexpr const char* kArguments = "FILE JSON|-";

// Reads all of |path| (or standard input for "-") into *text. Reports and
// returns the exit code, or kExitOk.
int ReadInput(CommandContext& ctx, const std::u16string& path, std::string* text) {
  char buf[1 << 16];
  if (path == u"-") {
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), ctx.in)) > 0) text->append(buf, n);
    if (std::ferror(ctx.in)) return Complain(ctx, kCommand, path, "cannot read", kExitError);
    return kExitOk;
  }
  if (!FilePathFits(ctx, kCommand, path)) return kExitError;
  platform::OpenError error = platform::OpenError::kNone;
  std::unique_ptr<platform::File> in(platform::CurrentFileSystem()->Open(
      path.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error));
  if (!in) {
    return Complain(ctx, kCommand, path, std::string("cannot open: ") + OpenErrorText(error),
                    kExitError);
  }
  for (;;) {
    uint32_t done = 0;
    if (!in->Read(buf, sizeof(buf), &done)) {
      return Complain(ctx, kCommand, path, "cannot read", kExitError);
    }
    if (done == 0) return kExitOk;
    text->append(buf, done);
  }
}

struct Counts {
  uint64_t added = 0;
  uint64_t changed = 0;
  uint64_t kept = 0;
};

class Merge {
 public:
  Merge(CommandContext& ctx, const std::u16string& file,
        const std::unordered_set<const CfNode*>& bare)
      : ctx_(ctx), file_(file), bare_(bare) {}

  // Merges the tree |json| into the file's root key. Returns the exit code.
  int Run(CConfigFile* config, CfNode* json);
  const Counts& counts() const { return counts_; }

 private:
  int Refuse(const std::u16string& path, const std::string& why, int code = kExitNo) {
    return Complain(ctx_, kCommand, file_, ShownPath(path) + ": " + why + "; nothing imported",
                    code);
  }
  // Gives |key| the value and attributes of |node| (unless it is bare).
  int Apply(const CfNode* node, ICfKey* key, const std::u16string& path);

  CommandContext& ctx_;
  const std::u16string& file_;
  const std::unordered_set<const CfNode*>& bare_;
  Counts counts_;
};

int Merge::Apply(const CfNode* node, ICfKey* key, const std::u16string& path) {
  if (bare_.count(node) != 0) {
    ++counts_.kept;
    return kExitOk;
  }
  const int type = CfType(node);
  const uint8_t attributes = node->flags & kCfAttributeMask;
  const std::string value(reinterpret_cast<const char*>(CfValue(node)),
                          static_cast<size_t>(node->value_length));
  const int32_t length = key->GetValueLength();
  std::vector<char> current(static_cast<size_t>(length < 0 ? 0 : length) + 1);
  const bool same_value =
      key->GetType() == type && length == node->value_length &&
      key->GetValue(current.data(), static_cast<int32_t>(current.size())) == length &&
      value.compare(0, value.size(), current.data(), static_cast<size_t>(length)) == 0;
  if (same_value && key->GetAttributes() == attributes) {
    ++counts_.kept;
    return kExitOk;
  }
  if (path.empty()) {
    return Refuse(path, "its value and attributes are not imported (leave flags and value out)");
  }
  if ((key->GetAttributes() & kCfProtected) != 0) return Refuse(path, "the key is protected");
  if (!same_value && !key->SetValue(type | (attributes & ~kCfProtected), value.data(),
                                    static_cast<int32_t>(value.size()))) {
    return Refuse(path, "the value cannot be stored: out of memory", kExitError);
  }
  if (key->GetAttributes() != attributes) key->SetAttributes(attributes);
  ++counts_.changed;
  return kExitOk;
}

int Merge::Run(CConfigFile* config, CfNode* json) {
  auto root = CfRef<ICfKey>::Adopt(config->GetRootKey());
  if (!root) return Refuse(u"", "out of memory", kExitError);
  CfChar name[kCfMaxNameLength + 1];
  const int32_t n = root->GetName(name, kCfMaxNameLength + 1);
  const std::u16string file_root(name, n > 0 ? static_cast<size_t>(n) : 0);
  const std::u16string json_root(CfName(json), static_cast<size_t>(json->name_length));
  bool same = file_root.size() == json_root.size();
  for (size_t i = 0; same && i < file_root.size(); ++i) {
    auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
    same = fold(file_root[i]) == fold(json_root[i]);
  }
  if (!same) {
    return Complain(ctx_, kCommand, file_,
                    "the JSON's root is \"" + ForPeople(json_root) + "\", the file's \"" +
                        ForPeople(file_root) +
                        "\": a tree is imported from the root down (as export writes it); "
                        "nothing imported",
                    kExitNo);
  }
  if (int rc = Apply(json, root.get(), u"")) return rc;
  counts_ = Counts();  // the root is not counted

  struct Frame {
    const CfNode* json;
    CfRef<ICfKey> key;
    std::u16string path;
    int32_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({json, std::move(root), std::u16string(), 0});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next >= CfChildCount(f.json)) {
      stack.pop_back();
      continue;
    }
    const int32_t index = f.next++;
    CfChildTable* table = CfChildren(f.json);
    const CfChildEntry& e = table->entries[index];
    const CfNode* c = e.child;
    std::u16string path = f.path.empty() ? std::u16string() : f.path + u'/';
    path += PathComponentOf(const_cast<CfNode*>(f.json), index);
    const bool bare = bare_.count(c) != 0;
    const int32_t type = bare ? CfTypeNone : CfType(c);
    const uint8_t attributes = bare ? 0 : (c->flags & kCfAttributeMask);
    CfRef<ICfKey> key;
    if (c->name_length > 0) {
      key.attach(f.key->FindChild(CfName(c), c->name_length, nullptr, false));
    } else {
      key.attach(f.key->GetChildById(e.id, OccurrenceAt(table, index)));
      if (key && key->GetName(nullptr, 0) > 0) {
        return Refuse(path, "the key there has a name; the JSON's has none");
      }
    }
    if (key) {
      if (int rc = Apply(c, key.get(), path)) return rc;
    } else {
      const int32_t flags = type | (attributes & ~kCfProtected);
      const CfChar* text = CfName(c);
      if (c->name_length > 0) {
        const std::u16string owned(text, static_cast<size_t>(c->name_length));
        key.attach(f.key->CreateChild(owned.c_str(), flags, CfValue(c), c->value_length));
      } else if (e.id == 0) {
        return Refuse(path, "an unnamed key needs a child id other than 0");
      } else {
        key.attach(f.key->CreateChildWithId(e.id, false, flags, CfValue(c), c->value_length));
      }
      if (!key) return Refuse(path, "cannot make the key: out of memory", kExitError);
      if (attributes != 0) key->SetAttributes(attributes);
      ++counts_.added;
    }
    if (CfChildCount(c) > 0) {
      stack.push_back({c, std::move(key), std::move(path), 0});  // |f| is not used past this
    }
  }
  return kExitOk;
}

}  // namespace

int RunImport(CommandContext& ctx) {
  std::vector<std::u16string> operands;
  if (!ParseOperandsAndFlags(ctx, kCommand, kArguments, nullptr, nullptr, 2, 2, &operands)) {
    return kExitError;
  }
  const std::u16string& file = operands[0];
  const std::u16string& input = operands[1];
  if (input.empty()) return UsageError(ctx, kCommand, kArguments, "no JSON file given");
  // The input is read and checked whole before the file is locked or read.
  std::string text;
  if (int rc = ReadInput(ctx, input, &text)) return rc;
  std::string why;
  std::unordered_set<const CfNode*> bare;
  CfNode* json = ParseTreeJson(text, &why, &bare);
  if (json == nullptr) {
    return Complain(ctx, kCommand, file, "input " + why, IsOutOfMemory(why) ? kExitError : kExitNo);
  }
  struct Owner {
    CfNode* root;
    ~Owner() { FreeNodeTree(root, nullptr); }
  } owner{json};
  Merge merge(ctx, file, bare);
  const int rc =
      EditFile(ctx, kCommand, file, EditOf::kExisting, [&](CConfigFile* config, bool* changed) {
        const int code = merge.Run(config, json);
        *changed = merge.counts().added + merge.counts().changed > 0;
        return code;
      });
  if (rc != kExitOk) return rc;
  const Counts& c = merge.counts();
  PrintOut(ctx.out, "imported %llu keys: %llu added, %llu changed, %llu as they were\n",
           static_cast<unsigned long long>(c.added + c.changed + c.kept),
           static_cast<unsigned long long>(c.added), static_cast<unsigned long long>(c.changed),
           static_cast<unsigned long long>(c.kept));
  return FlushOut(ctx.out) ? kExitOk
                           : Complain(ctx, kCommand, file, "cannot write the output", kExitError);
}

}  // namespace orvo::settool

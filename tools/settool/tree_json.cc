#include "tools/settool/tree_json.h"

#include <new>
#include <unordered_set>
#include <vector>

#include "platform/utf.h"
#include "store/child_table.h"
#include "store/name.h"
#include "tools/settool/json.h"
#include "tools/settool/output.h"
#include "tools/settool/value_text.h"

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfNameHash;
using orvo::store::CfType;
using orvo::store::CfValue;
using orvo::store::CreateNode;
using orvo::store::FreeNodeTree;
using orvo::store::InsertChild;

namespace orvo::settool {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kFlushAt = 1 << 16;

// Appends the value as a typed member when reading that member back gives
// exactly these bytes: "wstring" for a UTF-16 string value (type 3) with
// one NUL, at its end; "string" for an 8-bit one (type 2) in well-formed
// UTF-8 with one NUL, at its end; "int" for 4 bytes of type binary (1).
// False (nothing appended) otherwise.
bool AppendTypedValue(int type, const uint8_t* v, int length, std::string* out) {
  if (type == CfTypeWString && length >= 2 && length % 2 == 0) {
    std::u16string text;
    for (int i = 0; i + 2 < length; i += 2) {
      const char16_t unit = static_cast<char16_t>(v[i] | (v[i + 1] << 8));
      if (unit == 0) return false;
      text.push_back(unit);
    }
    if (v[length - 2] != 0 || v[length - 1] != 0) return false;
    out->append(", \"wstring\": ");
    AppendJsonString(text.data(), static_cast<int>(text.size()), out);
    return true;
  }
  if (type == CfTypeString && length >= 1 && v[length - 1] == 0) {
    const std::string bytes(reinterpret_cast<const char*>(v), static_cast<size_t>(length - 1));
    if (bytes.find('\0') != std::string::npos) return false;
    bool well_formed = false;
    const std::u16string text = platform::Utf8ToUtf16(bytes, &well_formed);
    if (!well_formed || StringValueBytes(text) != bytes + '\0') return false;
    out->append(", \"string\": ");
    AppendJsonString(text.data(), static_cast<int>(text.size()), out);
    return true;
  }
  if (type == CfTypeBinary && length == 4) {
    const int32_t n = static_cast<int32_t>(static_cast<uint32_t>(v[0]) | (uint32_t{v[1]} << 8) |
                                           (uint32_t{v[2]} << 16) | (uint32_t{v[3]} << 24));
    out->append(", \"int\": ");
    out->append(std::to_string(n));
    return true;
  }
  return false;
}

// The node's members but its children, without the closing brace.
void AppendNodeFields(const CfNode* n, std::string* out) {
  out->append("{\"name\": ");
  AppendJsonString(CfName(n), n->name_length, out);
  out->append(", \"flags\": ");
  out->append(std::to_string(n->flags & ~(kCfBranch | kCfKeyBound)));
  const uint8_t* v = CfValue(n);
  if (!AppendTypedValue(CfType(n), v, n->value_length, out)) {
    out->append(", \"value_hex\": \"");
    for (int i = 0; i < n->value_length; ++i) {
      out->push_back(kHexDigits[v[i] >> 4]);
      out->push_back(kHexDigits[v[i] & 15]);
    }
    out->push_back('"');
  }
}

void AppendNodeHead(const CfNode* n, std::string* out) {
  AppendNodeFields(n, out);
  out->append(", \"children\": [");
}

// Appends the JSON of |root| to *out, then |suffix| and a newline; with
// |file|, writes out whatever has gathered now and then. False when a write
// fails.
bool EmitTree(const CfNode* root, std::string* out, std::FILE* file,
              const std::string& suffix = std::string()) {
  struct Frame {
    const CfNode* node;
    int32_t next;
  };
  std::vector<Frame> stack;
  AppendNodeHead(root, out);
  stack.push_back({root, 0});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < CfChildCount(f.node)) {
      const CfChildEntry& e = CfChildren(f.node)->entries[f.next];
      if (f.next > 0) out->append(", ");
      ++f.next;
      out->append("{\"id\": ");
      out->append(std::to_string(e.id));
      out->append(", \"node\": ");
      AppendNodeHead(e.child, out);
      stack.push_back({e.child, 0});
    } else {
      out->append("]}");
      stack.pop_back();
      if (!stack.empty()) out->push_back('}');  // closes the child entry
    }
    if (file != nullptr && out->size() >= kFlushAt) {
      if (!WriteOut(file, *out)) return false;
      out->clear();
    }
  }
  out->append(suffix);
  out->push_back('\n');
  if (file != nullptr) {
    if (!WriteOut(file, *out)) return false;
    out->clear();
  }
  return true;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// One node being read, and the child entry being read inside it.
struct Frame {
  enum Phase {
    kNodeKeyOrEnd,        // after '{' of the node
    kNodeCommaOrEnd,      // after a member of the node
    kChildrenItemOrEnd,   // after '[' of "children"
    kChildrenCommaOrEnd,  // after an entry
    kEntryKeyOrEnd,       // after '{' of an entry
    kEntryCommaOrEnd,     // after a member of an entry
  };
  Phase phase = kNodeKeyOrEnd;
  std::u16string name;
  std::string value;
  std::vector<CfChildEntry> children;
  // The names of the named children so far, ASCII letters in lower case.
  std::unordered_set<std::u16string> names;
  int typed = -1;  // the type a typed value member gives, or -1
  uint8_t flags = 0;
  bool has_name = false;
  bool has_flags = false;
  bool has_value = false;
  bool has_children = false;
  // The entry being read.
  bool entry_has_id = false;
  bool entry_has_node = false;
  uint32_t entry_id = 0;
  CfNode* entry_node = nullptr;
};

class TreeReader {
 public:
  TreeReader(const std::string& text, std::unordered_set<const CfNode*>* bare)
      : lexer_(text), bare_(bare) {}
  ~TreeReader() {
    for (Frame& f : stack_) {
      for (const CfChildEntry& e : f.children) FreeNodeTree(e.child, nullptr);
      if (f.entry_node != nullptr) FreeNodeTree(f.entry_node, nullptr);
    }
    if (root_ != nullptr) FreeNodeTree(root_, nullptr);
  }

  CfNode* Read(std::string* error);

 private:
  bool Fail(const std::string& why);
  bool Expected(const char* what, JsonToken got);
  bool Token(JsonToken* t);
  bool NodeMember();
  bool EntryMember();
  bool BeginEntry();
  bool FinishEntry();
  bool FinishNode();

  JsonLexer lexer_;
  std::unordered_set<const CfNode*>* bare_;
  std::vector<Frame> stack_;
  CfNode* root_ = nullptr;
  std::string error_;
};

bool TreeReader::Fail(const std::string& why) {
  if (error_.empty()) {
    error_ = "line " + std::to_string(lexer_.line()) + ", column " +
             std::to_string(lexer_.column()) + ": " + why;
  }
  return false;
}

bool TreeReader::Expected(const char* what, JsonToken got) {
  if (got == JsonToken::kError) return Fail(lexer_.error());
  return Fail(std::string("expected ") + what + ", found " + JsonTokenName(got));
}

bool TreeReader::Token(JsonToken* t) {
  *t = lexer_.Next();
  return *t != JsonToken::kError || Fail(lexer_.error());
}

CfNode* TreeReader::Read(std::string* error) {
  JsonToken t;
  if (!Token(&t) || (t != JsonToken::kBeginObject && !Expected("'{' (a node)", t))) {
    *error = error_;
    return nullptr;
  }
  stack_.emplace_back();
  bool ok = true;
  while (ok && !stack_.empty()) {
    if (!Token(&t)) {
      ok = false;
      break;
    }
    Frame& f = stack_.back();
    switch (f.phase) {
      case Frame::kNodeKeyOrEnd:
      case Frame::kNodeCommaOrEnd:
        if (t == JsonToken::kEndObject) {
          ok = FinishNode();
        } else if (f.phase == Frame::kNodeKeyOrEnd) {
          ok = t == JsonToken::kString ? NodeMember() : Expected("a member name or '}'", t);
        } else if (t != JsonToken::kComma) {
          ok = Expected("',' or '}'", t);
        } else {
          ok = Token(&t) && (t == JsonToken::kString ? NodeMember() : Expected("a member name", t));
        }
        break;
      case Frame::kChildrenItemOrEnd:
      case Frame::kChildrenCommaOrEnd:
        if (t == JsonToken::kEndArray) {
          f.phase = Frame::kNodeCommaOrEnd;
        } else if (f.phase == Frame::kChildrenItemOrEnd) {
          ok = t == JsonToken::kBeginObject ? BeginEntry() : Expected("'{' (a child) or ']'", t);
        } else if (t != JsonToken::kComma) {
          ok = Expected("',' or ']'", t);
        } else {
          ok = Token(&t) &&
               (t == JsonToken::kBeginObject ? BeginEntry() : Expected("'{' (a child)", t));
        }
        break;
      case Frame::kEntryKeyOrEnd:
      case Frame::kEntryCommaOrEnd:
        if (t == JsonToken::kEndObject) {
          ok = FinishEntry();
        } else if (f.phase == Frame::kEntryKeyOrEnd) {
          ok = t == JsonToken::kString ? EntryMember() : Expected("a member name or '}'", t);
        } else if (t != JsonToken::kComma) {
          ok = Expected("',' or '}'", t);
        } else {
          ok =
              Token(&t) && (t == JsonToken::kString ? EntryMember() : Expected("a member name", t));
        }
        break;
    }
  }
  if (ok && Token(&t) && t != JsonToken::kEnd) ok = Expected("the end of the input", t);
  if (!ok || !error_.empty()) {
    *error = error_;
    return nullptr;
  }
  CfNode* root = root_;
  root_ = nullptr;
  return root;
}

// At a member name of a node: reads the ':' and the value.
bool TreeReader::NodeMember() {
  Frame& f = stack_.back();
  const std::u16string key = lexer_.string_value();
  JsonToken t;
  if (!Token(&t)) return false;
  if (t != JsonToken::kColon) return Expected("':'", t);
  if (!Token(&t)) return false;
  f.phase = Frame::kNodeCommaOrEnd;
  if (key == u"name") {
    if (f.has_name) return Fail("\"name\" is given twice");
    if (t != JsonToken::kString) return Expected("a string for \"name\"", t);
    f.name = lexer_.string_value();
    f.has_name = true;
    return true;
  }
  if (key == u"flags") {
    if (f.has_flags) return Fail("\"flags\" is given twice");
    if (t != JsonToken::kNumber) return Expected("a number for \"flags\"", t);
    if (!lexer_.number_is_integer() || lexer_.number_negative() ||
        lexer_.number_magnitude() > 255) {
      return Fail("\"flags\" must be an integer from 0 to 255");
    }
    f.flags = static_cast<uint8_t>(lexer_.number_magnitude());
    f.has_flags = true;
    return true;
  }
  if (key == u"wstring" || key == u"string" || key == u"int") {
    if (f.has_value) return Fail("a node has one value (value_hex, wstring, string or int)");
    f.has_value = true;
    if (key == u"int") {
      if (t != JsonToken::kNumber) return Expected("a number for \"int\"", t);
      const uint64_t m = lexer_.number_magnitude();
      if (!lexer_.number_is_integer() ||
          (lexer_.number_negative() ? m > 2147483648u : m > UINT32_MAX)) {
        return Fail("\"int\" must be an integer from -2147483648 to 4294967295");
      }
      const uint32_t u = static_cast<uint32_t>(lexer_.number_negative() ? 0 - m : m);
      f.value = std::string{static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                            static_cast<char>((u >> 16) & 0xFF), static_cast<char>(u >> 24)};
      f.typed = CfTypeBinary;
      return true;
    }
    if (t != JsonToken::kString) {
      return Expected(key == u"string" ? "a string for \"string\"" : "a string for \"wstring\"", t);
    }
    const std::u16string& text = lexer_.string_value();
    const bool wide = key == u"wstring";
    if (text.find(u'\0') != std::u16string::npos) return Fail("a text value holds NUL");
    f.value = wide ? WStringValueBytes(text) : StringValueBytes(text);
    if (f.value.size() > static_cast<size_t>(kCfMaxValueLength)) {
      return Fail("the value is longer than 65535 bytes");
    }
    f.typed = wide ? CfTypeWString : CfTypeString;
    return true;
  }
  if (key == u"value_hex") {
    if (f.has_value) return Fail("a node has one value (value_hex, wstring, string or int)");
    if (t != JsonToken::kString) return Expected("a string for \"value_hex\"", t);
    const std::u16string& hex = lexer_.string_value();
    if (hex.size() % 2 != 0) return Fail("\"value_hex\" must have an even number of digits");
    if (hex.size() / 2 > static_cast<size_t>(kCfMaxValueLength)) {
      return Fail("\"value_hex\" is longer than 65535 bytes");
    }
    f.value.resize(hex.size() / 2);
    for (size_t i = 0; i < f.value.size(); ++i) {
      const int hi = HexValue(hex[2 * i]);
      const int lo = HexValue(hex[2 * i + 1]);
      if (hi < 0 || lo < 0) return Fail("\"value_hex\" holds a character that is not a hex digit");
      f.value[i] = static_cast<char>(hi * 16 + lo);
    }
    f.has_value = true;
    return true;
  }
  if (key == u"children") {
    if (f.has_children) return Fail("\"children\" is given twice");
    if (t != JsonToken::kBeginArray) return Expected("'[' for \"children\"", t);
    f.has_children = true;
    f.phase = Frame::kChildrenItemOrEnd;
    return true;
  }
  return Fail("a node has no member \"" +
              platform::Utf16ToUtf8(key, platform::LoneSurrogate::kReplace) +
              "\" (known: name, flags, value_hex, wstring, string, int, children)");
}

bool TreeReader::BeginEntry() {
  Frame& f = stack_.back();
  f.entry_has_id = false;
  f.entry_has_node = false;
  f.entry_node = nullptr;
  f.phase = Frame::kEntryKeyOrEnd;
  return true;
}

// At a member name of a child entry.
bool TreeReader::EntryMember() {
  Frame& f = stack_.back();
  const std::u16string key = lexer_.string_value();
  JsonToken t;
  if (!Token(&t)) return false;
  if (t != JsonToken::kColon) return Expected("':'", t);
  if (!Token(&t)) return false;
  f.phase = Frame::kEntryCommaOrEnd;
  if (key == u"id") {
    if (f.entry_has_id) return Fail("\"id\" is given twice");
    if (t != JsonToken::kNumber) return Expected("a number for \"id\"", t);
    if (!lexer_.number_is_integer() || lexer_.number_negative() ||
        lexer_.number_magnitude() > UINT32_MAX) {
      return Fail("\"id\" must be an integer from 0 to 4294967295");
    }
    f.entry_id = static_cast<uint32_t>(lexer_.number_magnitude());
    f.entry_has_id = true;
    return true;
  }
  if (key == u"node") {
    if (f.entry_has_node) return Fail("\"node\" is given twice");
    if (t != JsonToken::kBeginObject) return Expected("'{' for \"node\"", t);
    f.entry_has_node = true;
    stack_.emplace_back();  // |f| is not used past this point
    return true;
  }
  return Fail("a child has no member \"" +
              platform::Utf16ToUtf8(key, platform::LoneSurrogate::kReplace) +
              "\" (known: id, node)");
}

bool TreeReader::FinishEntry() {
  Frame& f = stack_.back();
  if (!f.entry_has_node) return Fail("this child has no \"node\"");
  // A named key is found by the hash of its name, and one name names one
  // sibling: anything else would be listed but never found by name.
  const CfChar* name = CfName(f.entry_node);
  const int length = f.entry_node->name_length;
  if (length == 0) {
    if (!f.entry_has_id) return Fail("this unnamed child has no \"id\"");
  } else {
    int covered = 0;
    const uint32_t hash = CfNameHash(name, length, &covered);
    const std::string shown =
        platform::Utf16ToUtf8(std::u16string(name, length), platform::LoneSurrogate::kReplace);
    if (!f.entry_has_id) f.entry_id = hash;
    if (f.entry_id != hash) {
      return Fail("the key \"" + shown + "\" has the id " + std::to_string(f.entry_id) +
                  ", not its name's " + std::to_string(hash) +
                  " (leave \"id\" out for a named key)");
    }
    std::u16string folded(name, length);
    for (char16_t& c : folded) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    if (!f.names.insert(folded).second) {
      return Fail("two keys here are named \"" + shown +
                  "\" (ASCII letters are compared without case)");
    }
  }
  f.children.push_back({f.entry_id, f.entry_node});
  f.entry_node = nullptr;
  f.phase = Frame::kChildrenCommaOrEnd;
  return true;
}

bool TreeReader::FinishNode() {
  Frame& f = stack_.back();
  if (!f.has_name) return Fail("the node ending here has no \"name\"");
  if (!f.has_flags) {
    // The flags may be left out: no attributes, the type a typed value gives.
    if (f.typed < 0 && f.has_value) return Fail("the node ending here has no \"flags\"");
    f.flags = static_cast<uint8_t>(f.typed < 0 ? CfTypeNone : f.typed);
  } else if (f.typed >= 0 && (f.flags & kCfTypeMask) != f.typed) {
    return Fail("\"flags\" give the value type " + std::to_string(f.flags & kCfTypeMask) +
                ", the value member type " + std::to_string(f.typed));
  }
  if (f.name.size() > static_cast<size_t>(kCfMaxNameLength)) {
    return Fail("a name is longer than 255 units");
  }
  for (char16_t c : f.name) {
    if (c == 0 || c == u'\\' || c == u'/') return Fail("a name holds NUL, '\\' or '/'");
    if (c == u'<' || c == u'>') return Fail("a name holds '<' or '>'");
  }
  const uint8_t flags = f.flags & static_cast<uint8_t>(~(kCfBranch | kCfKeyBound));
  CfNode* node = CreateNode(f.name.c_str(), static_cast<int>(f.name.size()), flags, f.value.data(),
                            static_cast<int>(f.value.size()), f.children.empty() ? 0 : 1);
  if (node == nullptr) return Fail("out of memory");
  size_t placed = 0;
  for (; placed < f.children.size(); ++placed) {
    if (InsertChild(CfChildren(node), f.children[placed], false) < 0) break;
  }
  if (placed < f.children.size()) {
    // The children placed so far now belong to |node|; the rest stay listed.
    f.children.erase(f.children.begin(), f.children.begin() + static_cast<ptrdiff_t>(placed));
    FreeNodeTree(node, nullptr);
    return Fail("out of memory");
  }
  f.children.clear();
  const bool bare = !f.has_flags && !f.has_value;
  stack_.pop_back();
  if (stack_.empty()) {
    root_ = node;
  } else {
    stack_.back().entry_node = node;  // its entry continues after the node
  }
  if (bare && bare_ != nullptr) bare_->insert(node);  // |node| is owned by now
  return true;
}

}  // namespace

bool WriteTreeJson(const CfNode* root, std::FILE* out) {
  std::string buf;
  return EmitTree(root, &buf, out);
}

void AppendTreeJson(const CfNode* root, std::string* out) { EmitTree(root, out, nullptr); }

void AppendNodeJson(const CfNode* node, std::string* out) {
  AppendNodeFields(node, out);
  out->push_back('}');
}

namespace {

bool EmitTreeFromRoot(CfNode* root, const std::vector<NodeStep>& steps, std::string* out,
                      std::FILE* file) {
  std::string& buf = *out;
  std::string closing;
  for (const NodeStep& s : steps) {
    buf.append("{\"name\": ");
    AppendJsonString(CfName(s.parent), s.parent->name_length, &buf);
    buf.append(", \"children\": [");
    const CfChildEntry* entries = CfChildren(s.parent)->entries;
    int32_t first = s.index;
    while (first > 0 && entries[first - 1].id == entries[s.index].id) --first;
    for (int32_t i = first; i <= s.index; ++i) {
      buf.append("{\"id\": ");
      buf.append(std::to_string(entries[i].id));
      buf.append(", \"node\": ");
      if (i < s.index) {
        buf.append("{\"name\": ");
        AppendJsonString(CfName(entries[i].child), entries[i].child->name_length, &buf);
        buf.append("}}, ");
      }
    }
    closing.append("}]}");
  }
  const CfNode* node = steps.empty() ? root : StepChild(steps.back());
  return EmitTree(node, &buf, file, closing);
}

}  // namespace

bool WriteTreeJsonFromRoot(CfNode* root, const std::vector<NodeStep>& steps, std::FILE* out) {
  std::string buf;
  return EmitTreeFromRoot(root, steps, &buf, out);
}

void AppendTreeJsonFromRoot(CfNode* root, const std::vector<NodeStep>& steps, std::string* out) {
  EmitTreeFromRoot(root, steps, out, nullptr);
}

CfNode* ParseTreeJson(const std::string& text, std::string* error,
                      std::unordered_set<const CfNode*>* bare) {
  try {
    TreeReader reader(text, bare);
    return reader.Read(error);
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
    return nullptr;
  }
}

}  // namespace orvo::settool

#include "server/registrar/script.h"

#include <new>

#include "platform/result.h"
#include "server/registrar/fold.h"
#include "server/registrar/script_tokenizer.h"

namespace orvo::registrar {

namespace {

constexpr int kMaxNesting = 64;
constexpr char16_t kPercent = u'%';
constexpr char16_t kBackslash = u'\\';
constexpr char16_t kPerUserClasses[] = u"Software\\Classes";

// --- The parsed script ------------------------------------------------------

struct Entry {
  enum class Kind { kKey, kValue, kDelete };
  enum class Removal { kPlain, kNoRemove, kForceRemove };

  Kind kind = Kind::kKey;
  Removal removal = Removal::kPlain;
  std::u16string name;
  bool has_data = false;  // a key's default value; always set for a value
  std::u16string data;
  std::vector<Entry> entries;  // a key's body
};

struct Tree {
  RegistryRoot root;
  std::vector<Entry> entries;
};

// --- Parsing ----------------------------------------------------------------

using Kind = ScriptToken::Kind;

class Parser {
 public:
  Parser(std::u16string_view script, const ReplacementMap& replacements)
      : tokenizer_(script), replacements_(replacements) {}

  // Parses the whole script into |trees|. False when it is malformed.
  bool Parse(std::vector<Tree>* trees) {
    if (!Advance()) return false;
    while (token_.kind != Kind::kEnd) {
      Tree tree;
      if (token_.kind != Kind::kWord || !ParseRegistryRoot(token_.text, &tree.root)) return false;
      if (!Advance() || !ParseBody(0, &tree.entries)) return false;
      trees->push_back(std::move(tree));
    }
    return true;
  }

 private:
  bool Advance() { return tokenizer_.Next(&token_); }

  bool IsKeyword(const char16_t* keyword) const {
    return token_.kind == Kind::kWord && EqualsIgnoreCase(token_.text, keyword);
  }

  // "{" { entry } "}" at nesting |depth|.
  bool ParseBody(int depth, std::vector<Entry>* entries) {
    if (depth >= kMaxNesting || token_.kind != Kind::kOpenBrace || !Advance()) return false;
    while (token_.kind != Kind::kCloseBrace) {
      Entry entry;
      if (!ParseEntry(depth, &entry)) return false;
      entries->push_back(std::move(entry));
    }
    return Advance();
  }

  bool ParseEntry(int depth, Entry* entry) {
    if (IsKeyword(u"val")) {
      // An empty value name is the key's default value. Values belong to a
      // key: none directly under a root.
      entry->kind = Entry::Kind::kValue;
      entry->has_data = true;
      return depth > 0 && Advance() && ParseName(/*is_key=*/false, &entry->name) &&
             token_.kind == Kind::kEquals && ParseData(&entry->data);
    }
    if (IsKeyword(u"Delete")) {
      entry->kind = Entry::Kind::kDelete;
      return Advance() && ParseName(/*is_key=*/true, &entry->name);
    }
    if (IsKeyword(u"NoRemove")) {
      entry->removal = Entry::Removal::kNoRemove;
      if (!Advance()) return false;
    } else if (IsKeyword(u"ForceRemove")) {
      entry->removal = Entry::Removal::kForceRemove;
      if (!Advance()) return false;
    }
    if (!ParseName(/*is_key=*/true, &entry->name)) return false;
    if (token_.kind == Kind::kEquals) {
      if (!ParseData(&entry->data)) return false;
      entry->has_data = true;
    }
    if (token_.kind == Kind::kOpenBrace) return ParseBody(depth + 1, &entry->entries);
    return true;
  }

  // A name token, replacements applied; moves past it.
  bool ParseName(bool is_key, std::u16string* name) {
    if (token_.kind != Kind::kWord && token_.kind != Kind::kQuoted) return false;
    if (!Expand(token_.text, name)) return false;
    if (is_key && (name->empty() || !IsValidKeyPath(*name))) return false;
    return Advance();
  }

  // At "=": the type letter and the quoted data; moves past them.
  bool ParseData(std::u16string* data) {
    if (!Advance() || !IsKeyword(u"s") || !Advance()) return false;
    if (token_.kind != Kind::kQuoted || !Expand(token_.text, data)) return false;
    return Advance();
  }

  bool Expand(const std::u16string& text, std::u16string* out) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
      if (text[i] != kPercent) {
        out->push_back(text[i++]);
        continue;
      }
      const size_t close = text.find(kPercent, i + 1);
      if (close == std::u16string::npos) return false;
      if (close == i + 1) {
        out->push_back(kPercent);
      } else {
        const std::u16string* value =
            replacements_.Find(std::u16string_view(text).substr(i + 1, close - i - 1));
        if (value == nullptr) return false;
        out->append(*value);
      }
      i = close + 1;
    }
    return true;
  }

  ScriptTokenizer tokenizer_;
  const ReplacementMap& replacements_;
  ScriptToken token_;
};

// --- Running ----------------------------------------------------------------

class Runner {
 public:
  Runner(Registry* registry, bool per_user) : registry_(registry), per_user_(per_user) {}

  Result Run(const Tree& tree, bool do_register) {
    root_ = tree.root;
    base_.clear();
    if (per_user_ && root_ == RegistryRoot::kClassesRoot) {
      root_ = RegistryRoot::kCurrentUser;
      base_ = kPerUserClasses;
    }
    return do_register ? RegisterEntries(base_, tree.entries)
                       : UnregisterEntries(base_, tree.entries);
  }

 private:
  static std::u16string Join(const std::u16string& parent, const std::u16string& name) {
    return parent.empty() ? name : parent + kBackslash + name;
  }

  // Deletes a tree; a missing key is no failure.
  Result DeleteTreeIfPresent(const std::u16string& path) {
    const Result result = registry_->DeleteTree(root_, path);
    return result == kResultNotFound ? kResultOk : result;
  }

  Result RegisterEntries(const std::u16string& parent, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
      if (entry.kind == Entry::Kind::kValue) {
        ORVO_RETURN_IF_FAILED(registry_->SetStringValue(root_, parent, entry.name, entry.data));
        continue;
      }
      const std::u16string path = Join(parent, entry.name);
      if (entry.kind == Entry::Kind::kDelete) {
        ORVO_RETURN_IF_FAILED(DeleteTreeIfPresent(path));
        continue;
      }
      if (entry.removal == Entry::Removal::kForceRemove) {
        ORVO_RETURN_IF_FAILED(DeleteTreeIfPresent(path));
      }
      ORVO_RETURN_IF_FAILED(registry_->CreateKey(root_, path));
      if (entry.has_data) {
        ORVO_RETURN_IF_FAILED(registry_->SetDefaultValue(root_, path, entry.data));
      }
      ORVO_RETURN_IF_FAILED(RegisterEntries(path, entry.entries));
    }
    return kResultOk;
  }

  Result UnregisterEntries(const std::u16string& parent, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
      if (entry.kind == Entry::Kind::kDelete) continue;
      if (entry.kind == Entry::Kind::kValue) {
        const Result result = registry_->DeleteValue(root_, parent, entry.name);
        if (result != kResultNotFound) ORVO_RETURN_IF_FAILED(result);
        continue;
      }
      const std::u16string path = Join(parent, entry.name);
      if (entry.removal == Entry::Removal::kForceRemove) {
        ORVO_RETURN_IF_FAILED(DeleteTreeIfPresent(path));
        continue;
      }
      const Result exists = registry_->KeyExists(root_, path);
      ORVO_RETURN_IF_FAILED(exists);
      if (exists != kResultOk) continue;  // nothing of it to remove
      ORVO_RETURN_IF_FAILED(UnregisterEntries(path, entry.entries));
      if (entry.removal == Entry::Removal::kNoRemove) continue;
      std::vector<std::u16string> subkeys;
      ORVO_RETURN_IF_FAILED(registry_->EnumerateSubkeys(root_, path, &subkeys));
      if (subkeys.empty()) ORVO_RETURN_IF_FAILED(DeleteTreeIfPresent(path));
    }
    return kResultOk;
  }

  Registry* registry_;
  bool per_user_;
  RegistryRoot root_ = RegistryRoot::kClassesRoot;
  std::u16string base_;  // the path that stands for the root
};

}  // namespace

Result ReplacementMap::Add(std::u16string_view name, std::u16string_view value) {
  if (name.empty() || name.find(kPercent) != std::u16string_view::npos) return kResultInvalidArg;
  for (auto& entry : entries_) {
    if (EqualsIgnoreCase(entry.first, name)) {
      entry.second.assign(value);
      return kResultOk;
    }
  }
  entries_.emplace_back(std::u16string(name), std::u16string(value));
  return kResultOk;
}

const std::u16string* ReplacementMap::Find(std::u16string_view name) const {
  for (const auto& entry : entries_) {
    if (EqualsIgnoreCase(entry.first, name)) return &entry.second;
  }
  return nullptr;
}

Result ScriptRegistrar::Run(std::u16string_view script, bool do_register) {
  return CallNoThrow([&]() -> Result {
    std::vector<Tree> trees;
    if (!Parser(script, replacements_).Parse(&trees)) return kResultBadScript;
    Runner runner(registry_, per_user_);
    for (const Tree& tree : trees) ORVO_RETURN_IF_FAILED(runner.Run(tree, do_register));
    return kResultOk;
  });
}

Result ScriptRegistrar::RunAscii(std::string_view script, bool do_register) {
  std::u16string wide;
  try {
    wide.reserve(script.size());
    for (char c : script) {
      const unsigned char unit = static_cast<unsigned char>(c);
      if (unit == 0) break;  // the end of the script
      if (unit > 0x7F) return kResultBadScript;
      wide.push_back(static_cast<char16_t>(unit));
    }
  } catch (const std::bad_alloc&) {
    return kResultOutOfMemory;
  }
  return Run(wide, do_register);
}

}  // namespace orvo::registrar

#include "tools/settool/key_path.h"

#include <vector>

#include "store/child_table.h"
#include "store/key.h"
#include "store/ref.h"

using orvo::store::CfChildren;
using orvo::store::CfIsBranch;
using orvo::store::CfName;
using orvo::store::FindChildById;
using orvo::store::FindChildByName;
using orvo::store::OccurrenceAt;

namespace orvo::settool {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Reads decimal digits at |*pos| into *value (1 to 4294967295 fit).
bool ReadNumber(const std::u16string& text, size_t* pos, uint64_t* value) {
  const size_t start = *pos;
  *value = 0;
  while (*pos < text.size() && IsDigit(text[*pos])) {
    *value = *value * 10 + static_cast<uint64_t>(text[*pos] - u'0');
    if (*value > 0xFFFFFFFFu) return false;
    ++*pos;
  }
  return *pos > start;
}

// Whether |text| from |pos| on is "ID" or "ID[N]" (N at least 1), read into
// *id and *occurrence.
bool ReadIdForm(const std::u16string& text, size_t pos, uint32_t* id, int32_t* occurrence) {
  uint64_t number = 0;
  if (!ReadNumber(text, &pos, &number)) return false;
  *id = static_cast<uint32_t>(number);
  *occurrence = 0;
  if (pos == text.size()) return true;
  if (text[pos] != u'[') return false;
  ++pos;
  uint64_t n = 0;
  if (!ReadNumber(text, &pos, &n) || n == 0 || n > 0x7FFFFFFF) return false;
  if (pos + 1 != text.size() || text[pos] != u']') return false;
  *occurrence = static_cast<int32_t>(n - 1);
  return true;
}

}  // namespace

std::string UnnamedKeyLabel(uint32_t id, int32_t occurrence) {
  std::string label = "#" + std::to_string(id);
  if (occurrence > 0) label += "[" + std::to_string(static_cast<int64_t>(occurrence) + 1) + "]";
  return label;
}

PathComponent ReadComponent(const std::u16string& text) {
  PathComponent c;
  size_t hashes = 0;
  while (hashes < text.size() && text[hashes] == u'#') ++hashes;
  uint32_t id = 0;
  int32_t occurrence = 0;
  if (hashes == 0 || !ReadIdForm(text, hashes, &id, &occurrence)) {
    c.name = text;
  } else if (hashes == 1) {
    c.by_id = true;
    c.id = id;
    c.occurrence = occurrence;
  } else {
    c.name = text.substr(1);
  }
  return c;
}

bool PathNamesById(const std::u16string& path) {
  size_t start = 0;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (ReadComponent(path.substr(start, end - start)).by_id) return true;
    start = end + 1;
  }
  return false;
}

ICfKey* OpenKeyPath(ICfKey* root, const std::u16string& path, bool create) {
  root->AddRef();
  auto key = CfRef<ICfKey>::Adopt(root);
  size_t start = 0;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const PathComponent c = ReadComponent(path.substr(start, end - start));
    if (c.by_id) {
      key.attach(key->GetChildById(c.id, c.occurrence));
    } else {
      key.attach(
          key->FindChild(c.name.c_str(), static_cast<int32_t>(c.name.size()), nullptr, create));
    }
    if (!key) return nullptr;
    start = end + 1;
  }
  return key.release();
}

bool FindNodePath(CfNode* root, const std::u16string& path, std::vector<NodeStep>* steps) {
  steps->clear();
  CfNode* node = root;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (!CfIsBranch(node)) return false;
    const PathComponent c = ReadComponent(path.substr(start, end - start));
    int covered = 0;
    const int32_t index =
        c.by_id ? FindChildById(node, c.id, c.occurrence)
                : FindChildByName(node, c.name.c_str(), static_cast<int>(c.name.size()), &covered);
    if (index < 0) return false;
    steps->push_back({node, index});
    node = StepChild(steps->back());
    start = end + 1;
  }
  return true;
}

std::u16string PathComponentOf(CfNode* parent, int32_t index) {
  const CfChildEntry& e = CfChildren(parent)->entries[index];
  const std::u16string name(CfName(e.child), static_cast<size_t>(e.child->name_length));
  bool by_name = !name.empty();
  for (char16_t c : name) by_name = by_name && !IsSeparator(c) && c != 0;
  int covered = 0;
  if (by_name &&
      FindChildByName(parent, name.c_str(), static_cast<int>(name.size()), &covered) == index) {
    const PathComponent read = ReadComponent(name);
    return read.by_id || read.name != name ? u"#" + name : name;
  }
  const std::string label = UnnamedKeyLabel(e.id, OccurrenceAt(CfChildren(parent), index));
  return std::u16string(label.begin(), label.end());
}

}  // namespace orvo::settool

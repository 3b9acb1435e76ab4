#include "tools/msi_registry/wix_registry.h"

#include <vector>

#include "platform/result.h"

namespace orvo::msi {

namespace {

using registrar::Registry;
using registrar::RegistryRoot;

// UTF-8 of |text| with the five XML special characters escaped. Unpaired
// surrogates become U+FFFD.
void AppendXml(std::u16string_view text, std::string* out) {
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    switch (c) {
      case '&':
        *out += "&amp;";
        continue;
      case '<':
        *out += "&lt;";
        continue;
      case '>':
        *out += "&gt;";
        continue;
      case '"':
        *out += "&quot;";
        continue;
      case '\'':
        *out += "&apos;";
        continue;
      default:
        break;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

void AppendRow(const char* root, std::u16string_view key, const std::u16string* name,
               std::u16string_view data, std::string* out) {
  *out += "<RegistryValue Root=\"";
  *out += root;
  *out += "\" Key=\"";
  AppendXml(key, out);
  *out += "\"";
  if (name != nullptr && !name->empty()) {
    *out += " Name=\"";
    AppendXml(*name, out);
    *out += "\"";
  }
  *out += " Type=\"string\" Value=\"";
  if (!data.empty() && data[0] == u'#') *out += "#";
  AppendXml(data, out);
  *out += "\"/>\n";
}

int32_t WriteKey(Registry& registry, RegistryRoot root, const char* root_name,
                 const std::u16string& path, std::string* out) {
  std::vector<std::u16string> names;
  ORVO_RETURN_IF_FAILED(registry.EnumerateValues(root, path, &names));
  for (const std::u16string& name : names) {
    if (name == u"+" || name == u"-" || name == u"*") return kResultInvalidArg;
    std::u16string data;
    ORVO_RETURN_IF_FAILED(registry.GetStringValue(root, path, name, &data));
    AppendRow(root_name, path, &name, data, out);
  }
  std::vector<std::u16string> subkeys;
  ORVO_RETURN_IF_FAILED(registry.EnumerateSubkeys(root, path, &subkeys));
  if (names.empty() && subkeys.empty() && !path.empty()) {
    const std::u16string create_and_remove = u"*";
    AppendRow(root_name, path, &create_and_remove, u"", out);
  }
  for (const std::u16string& subkey : subkeys) {
    ORVO_RETURN_IF_FAILED(
        WriteKey(registry, root, root_name, path.empty() ? subkey : path + u"\\" + subkey, out));
  }
  return kResultOk;
}

}  // namespace

int32_t WriteWixRegistry(Registry& registry, std::string* out) {
  struct RootName {
    RegistryRoot root;
    const char* name;
  };
  static constexpr RootName kRoots[] = {{RegistryRoot::kClassesRoot, "HKCR"},
                                        {RegistryRoot::kCurrentUser, "HKCU"},
                                        {RegistryRoot::kLocalMachine, "HKLM"},
                                        {RegistryRoot::kUsers, "HKU"}};
  std::vector<std::u16string> top;
  ORVO_RETURN_IF_FAILED(registry.EnumerateSubkeys(RegistryRoot::kCurrentConfig, u"", &top));
  if (!top.empty()) return kResultInvalidArg;
  for (const RootName& root : kRoots) {
    std::vector<std::u16string> values;
    ORVO_RETURN_IF_FAILED(registry.EnumerateValues(root.root, u"", &values));
    if (!values.empty()) return kResultInvalidArg;  // the table has no row for a root's own value
    ORVO_RETURN_IF_FAILED(WriteKey(registry, root.root, root.name, u"", out));
  }
  return kResultOk;
}

}  // namespace orvo::msi

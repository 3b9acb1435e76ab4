// The content of generation g of a test file, written and checked through
// the key interface. Every generation differs in a counter, in a value whose
// length and bytes depend on g, and in a window of keys that moves on:
//   Gen        4 bytes, g
//   Data       100 + (53 g mod 3000) bytes, byte i = (31 g + i) mod 256
//   Keys\K<j>  4 bytes, j, for every j from max(1, g - 19) to g
// Generation 0 is the empty tree.
#ifndef ORVO_TESTS_STORE_GENERATION_H_
#define ORVO_TESTS_STORE_GENERATION_H_

#include <cstdint>
#include <string>

#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"

namespace orvo::testing {

constexpr uint32_t kGenerationWindow = 20;

inline std::string GenerationData(uint32_t g) {
  std::string data(100 + (53 * static_cast<size_t>(g)) % 3000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((31 * g + i) & 0xFF);
  return data;
}

inline std::u16string GenerationKey(uint32_t j) {
  std::u16string name = u"K";
  for (char c : std::to_string(j)) name += static_cast<char16_t>(c);
  return name;
}

inline bool SetBinary(CConfigFile* file, const std::u16string& path, const void* data,
                      size_t size) {
  auto key = CfRef<ICfKey>::Adopt(file->OpenKey(path.c_str(), true));
  return key && key->SetValue(CfTypeBinary, data, static_cast<int32_t>(size));
}

// Turns generation g - 1 into generation g.
inline bool WriteGeneration(CConfigFile* file, uint32_t g) {
  const std::string data = GenerationData(g);
  if (!SetBinary(file, u"Gen", &g, 4) || !SetBinary(file, u"Data", data.data(), data.size()) ||
      !SetBinary(file, u"Keys\\" + GenerationKey(g), &g, 4)) {
    return false;
  }
  if (g > kGenerationWindow) {
    auto gone = CfRef<ICfKey>::Adopt(
        file->OpenKey((u"Keys\\" + GenerationKey(g - kGenerationWindow)).c_str(), false));
    if (!gone || !gone->Delete()) return false;
  }
  return true;
}

inline bool ReadBinary(ICfKey* key, std::string* out) {
  if (key->GetType() != CfTypeBinary) return false;
  out->assign(static_cast<size_t>(key->GetValueLength()), '\0');
  return out->empty() || key->GetValue(&(*out)[0], static_cast<int32_t>(out->size())) ==
                             static_cast<int32_t>(out->size());
}

// The generation that |file| holds in full into *g; false, with the reason
// in *why, when the content is no whole generation.
inline bool ReadGeneration(CConfigFile* file, uint32_t* g, std::string* why) {
  auto gen = CfRef<ICfKey>::Adopt(file->OpenKey(u"Gen", false));
  if (!gen) {
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    auto first = CfRef<ICfKey>::Adopt(root ? root->GetFirstChild() : nullptr);
    *g = 0;
    if (first) *why = "keys without a generation";
    return !first;
  }
  std::string bytes;
  if (!ReadBinary(gen.get(), &bytes) || bytes.size() != 4) {
    *why = "Gen is not 4 bytes";
    return false;
  }
  *g = static_cast<uint8_t>(bytes[0]) | static_cast<uint8_t>(bytes[1]) << 8 |
       static_cast<uint8_t>(bytes[2]) << 16 |
       static_cast<uint32_t>(static_cast<uint8_t>(bytes[3])) << 24;
  auto data = CfRef<ICfKey>::Adopt(file->OpenKey(u"Data", false));
  if (!data || !ReadBinary(data.get(), &bytes) || bytes != GenerationData(*g)) {
    *why = "Data is not the one of generation " + std::to_string(*g);
    return false;
  }
  auto keys = CfRef<ICfKey>::Adopt(file->OpenKey(u"Keys", false));
  if (!keys) {
    *why = "no Keys";
    return false;
  }
  uint32_t j = *g > kGenerationWindow ? *g - kGenerationWindow + 1 : 1;
  int32_t count = 0;
  for (auto k = CfRef<ICfKey>::Adopt(keys->GetFirstChild()); k; k.attach(k->GetNextSibling()))
    ++count;
  if (count != static_cast<int32_t>(*g - j + 1)) {
    *why = std::to_string(count) + " keys under Keys in generation " + std::to_string(*g);
    return false;
  }
  for (; j <= *g; ++j) {
    auto k = CfRef<ICfKey>::Adopt(keys->FindChild(GenerationKey(j).c_str(), -1, nullptr, false));
    if (!k || !ReadBinary(k.get(), &bytes) ||
        bytes != std::string(reinterpret_cast<char*>(&j), 4)) {
      *why = "key " + std::to_string(j) + " missing or wrong in generation " + std::to_string(*g);
      return false;
    }
  }
  return true;
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_STORE_GENERATION_H_

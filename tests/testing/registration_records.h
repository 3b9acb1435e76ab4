// Reading the records of a registration file, as tests check them.
#ifndef ORVO_TESTS_TESTING_REGISTRATION_RECORDS_H_
#define ORVO_TESTS_TESTING_REGISTRATION_RECORDS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "install/record_layout.h"
#include "platform/file.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"

namespace orvo::testing {

// A record's values by name, each as stored.
using RecordValues = std::map<std::u16string, std::vector<uint8_t>>;

// The name of |key| (empty for an anonymous one).
inline std::u16string KeyName(ICfKey* key) {
  CfChar buffer[256] = {};
  const int32_t length = key->GetName(buffer, 256);
  return length > 0 ? std::u16string(buffer, static_cast<size_t>(length)) : std::u16string();
}

// The values under |record|.
inline RecordValues ReadRecordValues(ICfKey* record) {
  RecordValues values;
  for (ICfKey* value = record->GetFirstChild(); value != nullptr;
       value = value->MoveToNextSibling()) {
    std::vector<uint8_t> bytes(static_cast<size_t>(value->GetValueLength()));
    value->GetValue(bytes.data(), static_cast<int32_t>(bytes.size()));
    values[KeyName(value)] = bytes;
  }
  return values;
}

// What a registration file holds.
struct RegistrationRecords {
  bool loaded = false;  // the file opened (an existing one only)
  // The application records in order, with each one's id and key name.
  std::vector<RecordValues> apps;
  std::vector<uint32_t> app_ids;
  std::vector<std::u16string> app_names;
  std::map<std::u16string, RecordValues> widgets;  // by key name
  // Key objects of the file still alive after the walk (the root's included).
  int32_t live_keys_after_walk = 0;
};

// Opens the file at |path| if it exists and reads its records. A missing
// file gives none.
inline RegistrationRecords ReadRegistrationRecords(const std::u16string& path) {
  RegistrationRecords records;
  auto file = CfRef<CConfigFile>::Adopt(
      orvo::store::CreateConfigFile(path.c_str(), platform::kOpenExisting));
  if (!file) return records;
  records.loaded = true;
  {
    auto apps = CfRef<ICfKey>::Adopt(file->OpenKey(install::kAppSection, false));
    if (apps) {
      for (ICfKey* r = apps->GetFirstChild(); r != nullptr; r = r->MoveToNextSibling()) {
        records.apps.push_back(ReadRecordValues(r));
        records.app_ids.push_back(r->GetId(nullptr));
        records.app_names.push_back(KeyName(r));
      }
    }
    auto widgets = CfRef<ICfKey>::Adopt(file->OpenKey(install::kWidgetSection, false));
    if (widgets) {
      for (ICfKey* r = widgets->GetFirstChild(); r != nullptr; r = r->MoveToNextSibling()) {
        records.widgets[KeyName(r)] = ReadRecordValues(r);
      }
    }
  }
  records.live_keys_after_walk = file->LiveKeyCount();
  return records;
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_REGISTRATION_RECORDS_H_

#include "install/operations.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "install/external_config.h"
#include "install/file_lock.h"
#include "install/path_buffer.h"
#include "install/record_layout.h"
#include "platform/file.h"
#include "platform/file_failure.h"
#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/node.h"
#include "store/ref.h"

using orvo::store::CreateConfigFile;

namespace orvo::install {

namespace {

constexpr int kPathUnits = 260;

uint32_t g_lock_timeout_ms = kRegistrationLockTimeoutMs;

// The result that tells why a file call of this thread failed.
Result ResultForFailure(platform::FileFailure failure) {
  switch (failure) {
    case platform::FileFailure::kAccessDenied:
      return kResultAccessDenied;
    case platform::FileFailure::kDiskFull:
      return kResultDiskFull;
    case platform::FileFailure::kSharingViolation:
      return kResultSharingViolation;
    case platform::FileFailure::kNameInTheWay:
      return kResultNameInTheWay;
    case platform::FileFailure::kNone:
    case platform::FileFailure::kOther:
      break;
  }
  return kResultFail;
}

// What a notify operation's own step did with the section.
enum class StepOutcome {
  kWritten,     // a record was written: save and broadcast
  kNotCreated,  // the record key could not be made: save and broadcast
  kDuplicate,   // already registered: neither save nor broadcast
  kLost,        // a record was removed and its replacement could not be made,
                // or no duplicate test could be made: nothing is saved, so
                // the file keeps what it held
  kUnchanged,   // nothing to remove: neither save nor broadcast
  kProtected,   // a record to change is protected: nothing is saved
};

// "<common app data>\Tamsiver" in *folder; false when the application data
// folder is not known (or the path would be cut).
bool SuiteFolder(CPathBuffer* folder) {
  char16_t base[kPathUnits] = {};
  if (!platform::CommonAppDataFolder(base) || base[0] == 0) return false;
  *folder = CPathBuffer(base);
  folder->AddBackslash();
  return folder->Append(kSuiteFolder, false);
}

// Composes "<common app data>\Tamsiver\InstallApp.set" and creates the
// "Tamsiver" folder and its "Temp" subfolder on the way (a Temp that cannot
// be made is no failure). False when the application data folder is not
// known or "Tamsiver" is not a folder there once made: nothing is to be
// locked, read or written then.
bool ComposeFilePath(CPathBuffer* file) {
  if (!SuiteFolder(file)) return false;
  CPathBuffer temp(*file);
  temp.Append(kTempFolder, false);
  platform::FileSystem* fs = platform::CurrentFileSystem();
  fs->CreateFolder(file->text());
  if (!fs->IsFolder(file->text())) return false;
  fs->CreateFolder(temp.text());
  return file->Append(kRegistrationFile, false);
}

ICfKey* FindChild(ICfKey* parent, const char16_t* name) {
  return parent->FindChild(name, -1, nullptr, false);
}

// Writes a UTF-16 string value as a named child; the outcome is not needed.
void WriteString(ICfKey* record, const char16_t* name, const char16_t* text) {
  auto value = CfRef<ICfKey>::Adopt(record->CreateChild(name, CfTypeWString, text, -1));
}

void WriteOptional(ICfKey* record, const char16_t* name, const char16_t* text) {
  if (text != nullptr) WriteString(record, name, text);
}

void WriteInt(ICfKey* record, const char16_t* name, int32_t v) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                            static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  auto value = CfRef<ICfKey>::Adopt(record->CreateChild(name, CfTypeBinary, bytes, 4));
}

// The runtime's case-insensitive wide comparison in the "C" locale: only the
// ASCII letters are folded.
char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool SameTextIgnoringCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == 0) return true;
  }
}

// What a comparison of a stored value with a text found.
enum class Match { kNo, kYes, kNoMemory };

// Whether |value| holds |text| (ASCII letter case ignored), read whole
// whatever its length, up to its first NUL: a stored text without a
// terminator never matches.
Match ValueIsText(ICfKey* value, const char16_t* text, size_t units) {
  const int32_t length = value->GetValueLength();
  if (length < 0 || static_cast<size_t>(length) < (units + 1) * sizeof(char16_t)) return Match::kNo;
  const size_t stored = static_cast<size_t>(length) / sizeof(char16_t);
  char16_t* buffer = static_cast<char16_t*>(std::calloc(stored + 1, sizeof(char16_t)));
  if (buffer == nullptr) return Match::kNoMemory;
  bool same = value->GetValue(buffer, length) > 0;
  size_t end = 0;
  while (end < stored && buffer[end] != 0) ++end;
  same = same && end < stored && SameTextIgnoringCase(buffer, text);
  std::free(buffer);
  return same ? Match::kYes : Match::kNo;
}

size_t Units(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Whether some application record already holds |main_program_path|
// (kNoMemory: that could not be told). Every key visited is released before
// the next one is read.
Match IsApplicationRegistered(ICfKey* section, const char16_t* main_program_path) {
  const size_t units = Units(main_program_path);
  for (int32_t n = 0;; ++n) {
    auto record = CfRef<ICfKey>::Adopt(section->GetChildById(kAppRecordId, n));
    if (!record) return Match::kNo;
    auto value = CfRef<ICfKey>::Adopt(FindChild(record.get(), kValueMainProgramPath));
    const Match m = value ? ValueIsText(value.get(), main_program_path, units) : Match::kNo;
    if (m != Match::kNo) return m;
  }
}

// The values of an application record, in the order of the record layout.
struct AppValues {
  const char16_t* call_name;
  const char16_t* name;
  const char16_t* version;
  const char16_t* install_dir;
  const char16_t* main_program_path;
  const char16_t* param;
  const char16_t* main_icon_path;
  const char16_t* desc;
};

void WriteAppValues(ICfKey* record, const AppValues& v) {
  WriteString(record, kValueName, v.name);
  WriteString(record, kValueMainProgramPath, v.main_program_path);
  WriteString(record, kValueMainIcon, v.main_icon_path);
  WriteOptional(record, kValueVersion, v.version);
  WriteOptional(record, kValueInstallDir, v.install_dir);
  WriteOptional(record, kValueDesc, v.desc);
  WriteOptional(record, kValueCaller, v.call_name);
  WriteOptional(record, kValueParam, v.param);
}

// Whether |record| holds |main_program_path| (|units| long).
Match RecordHoldsPath(ICfKey* record, const char16_t* main_program_path, size_t units) {
  auto value = CfRef<ICfKey>::Adopt(FindChild(record, kValueMainProgramPath));
  return value ? ValueIsText(value.get(), main_program_path, units) : Match::kNo;
}

// Empties |record|: its value children go, its own value becomes none.
// False when it or one of them is protected (those before it are gone).
bool ClearRecord(ICfKey* record) {
  if ((record->GetAttributes() & kCfProtected) != 0) return false;
  for (auto child = CfRef<ICfKey>::Adopt(record->GetFirstChild()); child;
       child.attach(record->GetFirstChild())) {
    if (!child->Delete()) return false;
  }
  return record->GetType() == CfTypeNone || record->SetValue(CfTypeNone, nullptr, 0);
}

// What a walk over the application records of one path did.
struct PathRecords {
  StepOutcome failure = StepOutcome::kWritten;  // kWritten: no failure
  ICfKey* kept = nullptr;  // with |keep_first|: the first record, one reference
  bool removed = false;
};

// Removes the application records that hold |main_program_path|; with
// |keep_first| the first one stays and is handed out in |kept|. Stops at
// the first record that cannot be read (kLost) or removed (kProtected).
PathRecords RemoveRecordsOfPath(ICfKey* section, const char16_t* main_program_path,
                                bool keep_first) {
  PathRecords out;
  const size_t units = Units(main_program_path);
  for (int32_t n = 0;;) {
    auto record = CfRef<ICfKey>::Adopt(section->GetChildById(kAppRecordId, n));
    if (!record) break;
    const Match m = RecordHoldsPath(record.get(), main_program_path, units);
    if (m == Match::kNoMemory) {
      out.failure = StepOutcome::kLost;
      break;
    }
    if (m == Match::kNo) {
      ++n;
    } else if (keep_first && out.kept == nullptr) {
      out.kept = record.release();
      ++n;
    } else if (record->Delete()) {
      out.removed = true;  // the next record moved up to occurrence n
    } else {
      out.failure = StepOutcome::kProtected;
      break;
    }
  }
  if (out.failure != StepOutcome::kWritten && out.kept != nullptr) {
    out.kept->Release();
    out.kept = nullptr;
  }
  return out;
}

// Whether every required text fits in a value of the store (an optional one
// that does not is left out of the record).
bool AllFit(std::initializer_list<const char16_t*> texts) {
  for (const char16_t* t : texts) {
    if (t != nullptr && Units(t) > static_cast<size_t>(kMaxArgumentUnits)) return false;
  }
  return true;
}

// The frame shared by both notifications: obtain the file, find or create
// the section, run |step|, save and broadcast. Returns the result. Without
// |make_section| a missing section is left missing: nothing to remove.
template <class Step>
Result RunNotify(const char16_t* section_name, Step step, bool make_section = true) {
  CPathBuffer path;
  if (!ComposeFilePath(&path)) return kResultNoFolder;
  Result result = kResultInvalidArg;

  // Held from before the file is read until after it is saved, so that two
  // installers at once cannot both read the old tree and drop a record.
  // Going on without it could drop another installer's record: a lock that
  // cannot be had fails the call before anything is read.
  platform::SetLastFileFailure(platform::FileFailure::kNone);
  const StoreWriteLock lock(path.text(), g_lock_timeout_ms);
  if (!lock.held()) {
    return lock.timed_out() ? kResultTimeout : ResultForFailure(platform::LastFileFailure());
  }

  IConfigFile* raw = CallGetConfig();
  if (raw == nullptr) {
    platform::SetLastFileFailure(platform::FileFailure::kNone);
    CConfigFile* made = CreateConfigFile(path.text(), kCfOpenAlways);
    if (made == nullptr) {
      // Held by another program: say so, as a save would.
      return platform::LastFileFailure() == platform::FileFailure::kSharingViolation
                 ? kResultSharingViolation
                 : result;
    }
    const CfFileReport& found = made->load_report().file;
    if (found.state == CfFileState::kBadVersion && found.committed()) {
      made->Release();
      return kResultNewerFormat;  // never replaced by this version
    }
    raw = made;
  }
  auto file = CfRef<IConfigFile>::Adopt(raw);
  if (!file) return result;
  {
    // Released in reverse order: section, then root, then the file.
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    if (!root) return result;
    auto section = CfRef<ICfKey>::Adopt(FindChild(root.get(), section_name));
    if (!section && !make_section) return kResultNothingToRemove;
    if (!section) section.attach(root->CreateChild(section_name, CfTypeNone, nullptr, 0));
    if (!section) return result;

    const StepOutcome outcome = step(section.get());
    if (outcome == StepOutcome::kDuplicate) return kResultDuplicate;
    if (outcome == StepOutcome::kLost) return result;
    if (outcome == StepOutcome::kUnchanged) return kResultNothingToRemove;
    if (outcome == StepOutcome::kProtected) return kResultAccessDenied;
    if (outcome == StepOutcome::kWritten) result = kResultOk;

    // A file that did not change is not announced. The platform records why
    // the save's file calls failed (a file object from outside records
    // nothing here: E_FAIL).
    platform::SetLastFileFailure(platform::FileFailure::kNone);
    if (!file->Save(nullptr)) return ResultForFailure(platform::LastFileFailure());
    platform::BroadcastMessage(kBroadcastMessageName);
  }
  return result;
}

Result Report(Result result, int32_t* error_code) {
  if (error_code != nullptr) *error_code = result;
  return result;
}

Result MissingArgument(int32_t* error_code) {
  if (error_code != nullptr) *error_code = 1;
  return kResultInvalidArg;
}

// The argument checks of the application operations: kResultInvalidArg
// (reported) for a required argument that is missing or too long, else 0.
Result RefuseAppArguments(const char16_t* name, const char16_t* main_program_path,
                          const char16_t* main_icon_path, int32_t* error_code) {
  if (name == nullptr || main_program_path == nullptr || main_icon_path == nullptr) {
    return MissingArgument(error_code);
  }
  if (!AllFit({name, main_program_path, main_icon_path})) {
    return Report(kResultInvalidArg, error_code);
  }
  return kResultOk;
}

}  // namespace

bool RegistrationFilePath(CPathBuffer* path) {
  return SuiteFolder(path) && path->Append(kRegistrationFile, false);
}

Result CheckTamsiverInstalled(int32_t* installed) {
  if (installed != nullptr) *installed = 1;
  return kResultOk;
}

Result GetTamsiverInformation(void*, void*, void*, void*) { return kResultOk; }

Result NotifyApplicationInstalled(const char16_t* call_name, const char16_t* name,
                                  const char16_t* version, const char16_t* install_dir,
                                  const char16_t* main_program_path, const char16_t* param,
                                  const char16_t* main_icon_path, const char16_t* desc,
                                  int32_t* error_code) {
  if (const Result refused =
          RefuseAppArguments(name, main_program_path, main_icon_path, error_code)) {
    return refused;
  }
  const Result result = RunNotify(kAppSection, [&](ICfKey* section) {
    const Match registered = IsApplicationRegistered(section, main_program_path);
    if (registered == Match::kYes) return StepOutcome::kDuplicate;
    if (registered == Match::kNoMemory) return StepOutcome::kLost;  // nothing saved
    auto record = CfRef<ICfKey>::Adopt(
        section->CreateChildWithId(kAppRecordId, false, CfTypeNone, nullptr, 0));
    if (!record) return StepOutcome::kNotCreated;
    WriteAppValues(record.get(), {call_name, name, version, install_dir, main_program_path, param,
                                  main_icon_path, desc});
    return StepOutcome::kWritten;
  });
  return Report(result, error_code);
}

Result NotifyWidgetInstalled(const char16_t* call_name, const char16_t* name,
                             const char16_t* version, const char16_t* install_dir,
                             const char16_t* main_program_path, const char16_t* main_icon_path,
                             const char16_t* desc, int32_t width, int32_t height,
                             int32_t* error_code) {
  if (name == nullptr || main_program_path == nullptr || main_icon_path == nullptr || width == 0 ||
      height == 0) {
    return MissingArgument(error_code);
  }
  if (!AllFit({name, main_program_path, main_icon_path}))
    return Report(kResultInvalidArg, error_code);
  const Result result = RunNotify(kWidgetSection, [&](ICfKey* section) {
    bool replaced = false;
    if (auto old = CfRef<ICfKey>::Adopt(FindChild(section, name))) replaced = old->Delete();
    auto record = CfRef<ICfKey>::Adopt(section->CreateChild(name, CfTypeNone, nullptr, 0));
    // Saved now, a replacement that could not be made (no memory) would lose
    // the widget that was registered.
    if (!record) return replaced ? StepOutcome::kLost : StepOutcome::kNotCreated;
    WriteString(record.get(), kValueName, name);
    WriteString(record.get(), kValueMainProgramPath, main_program_path);
    WriteString(record.get(), kValueMainIcon, main_icon_path);
    WriteInt(record.get(), kValueWidth, width);
    WriteInt(record.get(), kValueHeight, height);
    WriteOptional(record.get(), kValueVersion, version);
    WriteOptional(record.get(), kValueInstallDir, install_dir);
    WriteOptional(record.get(), kValueDesc, desc);
    WriteOptional(record.get(), kValueCaller, call_name);
    return StepOutcome::kWritten;
  });
  return Report(result, error_code);
}

Result NotifyApplicationUpdated(const char16_t* call_name, const char16_t* name,
                                const char16_t* version, const char16_t* install_dir,
                                const char16_t* main_program_path, const char16_t* param,
                                const char16_t* main_icon_path, const char16_t* desc,
                                int32_t* error_code) {
  if (const Result refused =
          RefuseAppArguments(name, main_program_path, main_icon_path, error_code)) {
    return refused;
  }
  const AppValues values{call_name,         name,  version,        install_dir,
                         main_program_path, param, main_icon_path, desc};
  const Result result = RunNotify(kAppSection, [&](ICfKey* section) {
    PathRecords found = RemoveRecordsOfPath(section, main_program_path, true);
    if (found.failure != StepOutcome::kWritten) return found.failure;
    auto record = CfRef<ICfKey>::Adopt(found.kept);
    if (record && !ClearRecord(record.get())) return StepOutcome::kProtected;
    if (!record) {
      record.attach(section->CreateChildWithId(kAppRecordId, false, CfTypeNone, nullptr, 0));
      if (!record) return StepOutcome::kNotCreated;
    }
    WriteAppValues(record.get(), values);
    return StepOutcome::kWritten;
  });
  return Report(result, error_code);
}

Result NotifyApplicationUninstalled(const char16_t* main_program_path, int32_t* error_code) {
  if (main_program_path == nullptr) return MissingArgument(error_code);
  if (!AllFit({main_program_path})) return Report(kResultInvalidArg, error_code);
  const Result result = RunNotify(
      kAppSection,
      [&](ICfKey* section) {
        const PathRecords found = RemoveRecordsOfPath(section, main_program_path, false);
        if (found.failure != StepOutcome::kWritten) return found.failure;
        return found.removed ? StepOutcome::kWritten : StepOutcome::kUnchanged;
      },
      false);
  return Report(result, error_code);
}

Result NotifyWidgetUninstalled(const char16_t* name, int32_t* error_code) {
  if (name == nullptr) return MissingArgument(error_code);
  if (!AllFit({name})) return Report(kResultInvalidArg, error_code);
  const Result result = RunNotify(
      kWidgetSection,
      [&](ICfKey* section) {
        auto record = CfRef<ICfKey>::Adopt(FindChild(section, name));
        if (!record) return StepOutcome::kUnchanged;
        return record->Delete() ? StepOutcome::kWritten : StepOutcome::kProtected;
      },
      false);
  return Report(result, error_code);
}

uint32_t SetRegistrationLockTimeoutForTesting(uint32_t milliseconds) {
  const uint32_t previous = g_lock_timeout_ms;
  g_lock_timeout_ms = milliseconds;
  return previous;
}

}  // namespace orvo::install

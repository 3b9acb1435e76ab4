// settool ls, get, set, rm, rename and protect: reading and changing single
// keys through a file object and its key interface. A change is written with
// Save only once it has been made in memory; a refused change leaves the
// file as it was.
//
// Exit status: 0 done; 1 refused (no such key, protected key, name taken,
// invalid name, value too long, the root key, a file that would not load
// whole); 2 usage errors and files that cannot be opened or written.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/file_failure.h"
#include "store/config_file.h"
#include "store/file_io.h"
#include "store/key.h"
#include "store/ref.h"
#include "store/save_protocol.h"
#include "tools/settool/commands.h"
#include "tools/settool/json.h"
#include "tools/settool/key_path.h"
#include "tools/settool/messages.h"
#include "tools/settool/tree_load.h"
#include "tools/settool/value_text.h"
#include "tools/settool/write_lock.h"

using orvo::store::CfCompanionSuffix;
using orvo::store::CfLastSaveObstacle;
using orvo::store::CreateConfigFile;

namespace orvo::settool {

namespace {

struct Syntax {
  const char* command;
  const char* arguments;
};

// Operands and options of one command line.
struct Args {
  std::vector<std::u16string> operands;
  std::string option;  // the one value option given, or empty
  std::u16string option_value;
};

// Splits ctx.args into operands and at most one of |options|, each of which
// takes the next word as its value unless it is |flag|. "--" ends the
// options. False, having reported a usage error, for an unknown option, a
// missing value, two options, or a number of operands outside [min, max].
bool SplitArgs(CommandContext& ctx, const Syntax& syntax, const std::vector<const char*>& options,
               const char* flag, size_t min_operands, size_t max_operands, Args* args) {
  bool options_done = false;
  for (size_t i = 0; i < ctx.args.size(); ++i) {
    const std::u16string& arg = ctx.args[i];
    if (!options_done && arg == u"--") {
      options_done = true;
      continue;
    }
    if (options_done || arg.size() < 2 || arg[0] != u'-') {
      args->operands.push_back(arg);
      continue;
    }
    const std::string name = ForPeople(arg);
    bool known = false;
    for (const char* o : options) known = known || name == o;
    if (!known) {
      UsageError(ctx, syntax.command, syntax.arguments, "unknown option " + name);
      return false;
    }
    if (!args->option.empty()) {
      UsageError(ctx, syntax.command, syntax.arguments,
                 "one value only (" + args->option + " and " + name + ")");
      return false;
    }
    args->option = name;
    if (flag != nullptr && name == flag) continue;
    if (i + 1 >= ctx.args.size()) {
      UsageError(ctx, syntax.command, syntax.arguments, name + " needs a value");
      return false;
    }
    args->option_value = ctx.args[++i];
  }
  if (args->operands.empty() || args->operands[0].empty()) {
    UsageError(ctx, syntax.command, syntax.arguments, "no file given");
    return false;
  }
  if (args->operands.size() < min_operands) {
    UsageError(ctx, syntax.command, syntax.arguments, "too few arguments");
    return false;
  }
  if (args->operands.size() > max_operands) {
    UsageError(ctx, syntax.command, syntax.arguments,
               "too many arguments (extra: " + ForPeople(args->operands[max_operands]) + ")");
    return false;
  }
  return true;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Why |name| (one path component or a new name) cannot name a key, or empty.
std::string NameFault(const std::u16string& name) {
  if (name.size() > static_cast<size_t>(kCfMaxNameLength)) {
    return "a name has at most 255 characters";
  }
  for (char16_t c : name) {
    if (c == u'<' || c == u'>') return "a name cannot hold < or >";
    if (c == 0 || IsSeparator(c)) return "a name cannot hold \\ or /";
  }
  return std::string();
}

// A key path for messages.
std::string Shown(const std::u16string& path) {
  return path.empty() ? "the root key" : ForPeople(path);
}

// Checks a key path: names separated by backslash or slash, one separator
// allowed at the end. Reports and returns the exit code, or kExitOk.
int CheckPath(CommandContext& ctx, const Syntax& syntax, const std::u16string& file,
              const std::u16string& path) {
  size_t start = 0;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end == start) {
      return UsageError(ctx, syntax.command, syntax.arguments,
                        "empty name in the path " + ForPeople(path) +
                            " (a separator at the start or two in a row)");
    }
    const std::string fault = NameFault(path.substr(start, end - start));
    if (!fault.empty()) {
      return Complain(ctx, syntax.command, file,
                      ForPeople(path) + ": invalid name \"" +
                          ForPeople(path.substr(start, end - start)) + "\": " + fault,
                      kExitNo);
    }
    start = end + 1;
  }
  return kExitOk;
}

static_assert(kMaxFileChars == kCfPathCapacity - 1, "settool's FILE limit is the store's");

enum class OpenFor { kReading, kEditing, kCreating };

// Opens |file| as a file object into *out, or reports and returns the exit
// code. A file that the store would open as a new tree, or only in part, is
// refused for editing: saving would drop what it could not read.
int OpenFile(CommandContext& ctx, const char* command, const std::u16string& file, OpenFor purpose,
             CfRef<CConfigFile>* out, std::unique_ptr<install::StoreWriteLock>* lock = nullptr) {
  if (!FilePathFits(ctx, command, file)) return kExitError;
  // A command that saves holds the writers' lock from before it reads the
  // file until after it saves, as notifications do.
  if (lock != nullptr) {
    if (int rc = LockForWriting(ctx, command, file, lock)) return rc;
  }
  static constexpr LoadPurpose kPurposes[] = {LoadPurpose::kReading, LoadPurpose::kEditing,
                                              LoadPurpose::kCreating};
  CfLoadReport report;
  const int code = LoadAsTheStoreDoes(ctx, command, file, kPurposes[static_cast<int>(purpose)],
                                      nullptr, &report);
  if (code != kExitOk) return code;
  const uint32_t disposition =
      purpose == OpenFor::kCreating ? platform::kOpenAlways : platform::kOpenExisting;
  out->reset(CreateConfigFile(file.c_str(), disposition));
  if (!*out) {
    return Complain(ctx, command, file, "cannot open or read; not changed", kExitError);
  }
  return kExitOk;
}

// The key at |path| (key_path.h) with one new reference, or null.
ICfKey* OpenAt(CConfigFile* config, const std::u16string& path, bool create) {
  CfRef<ICfKey> root(config->GetRootKey());
  return root ? OpenKeyPath(root.get(), path, create) : nullptr;
}

// The existing key at |path| into *key, or reports and returns kExitNo.
int FindKey(CommandContext& ctx, const char* command, const std::u16string& file,
            CConfigFile* config, const std::u16string& path, CfRef<ICfKey>* key) {
  key->reset(OpenAt(config, path, false));
  if (!*key) return Complain(ctx, command, file, Shown(path) + ": no such key", kExitNo);
  return kExitOk;
}

// Whether the file object's tree came from the side file of a save caught
// mid-way: a save then completes the recovery, even with nothing changed.
bool Recovering(CConfigFile* config) {
  return config->load_report().source == CfTreeSource::kSideFile;
}

bool IsProtected(ICfKey* key) { return (key->GetAttributes() & kCfProtected) != 0; }

int SaveFile(CommandContext& ctx, const char* command, const std::u16string& file,
             CConfigFile* config) {
  platform::SetLastFileFailure(platform::FileFailure::kNone);
  if (!config->Save(nullptr)) {
    const CfCompanion obstacle = CfLastSaveObstacle();
    if (platform::LastFileFailure() == platform::FileFailure::kNameInTheWay &&
        obstacle != CfCompanion::kNone) {
      return Complain(ctx, command, file,
                      "cannot write the file: " + ForPeople(file + CfCompanionSuffix(obstacle)) +
                          " is in the way (a folder, a pipe, a device, a link, or a file that "
                          "another account made and this one may not replace); nothing is "
                          "saved until it is removed",
                      kExitError);
    }
    return Complain(ctx, command, file, "cannot write the file; it may be in use or read-only",
                    kExitError);
  }
  return kExitOk;
}

int WriteOutput(CommandContext& ctx, const char* command, const std::u16string& file,
                const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), ctx.out) != text.size() ||
      std::fflush(ctx.out) != 0) {
    return Complain(ctx, command, file, "cannot write the output", kExitError);
  }
  return kExitOk;
}

// "NAME TYPE[ attr=0xNN[ protected]] N bytes", NAME quoted, or #ID (#ID[N]
// for the N-th key with that id) for an unnamed key.
std::string DescribeKey(ICfKey* key) {
  std::string line;
  CfChar name[kCfMaxNameLength + 1];
  const int32_t n = key->GetName(name, kCfMaxNameLength + 1);
  if (n > 0) {
    AppendJsonString(name, static_cast<size_t>(n), &line);
  } else {
    int32_t occurrence = 0;
    const uint32_t id = key->GetId(&occurrence);
    line = UnnamedKeyLabel(id, occurrence);
  }
  line += ' ';
  line += ValueTypeName(key->GetType());
  const uint8_t attributes = key->GetAttributes();
  if (attributes != 0) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), " attr=0x%02x", attributes);
    line += buf;
    if ((attributes & kCfProtected) != 0) line += " protected";
  }
  const int32_t length = key->GetValueLength();
  line += ' ' + std::to_string(length) + (length == 1 ? " byte" : " bytes");
  return line;
}

}  // namespace

int RunList(CommandContext& ctx) {
  const Syntax syntax{"ls", "FILE [PATH]"};
  Args args;
  if (!SplitArgs(ctx, syntax, {}, nullptr, 1, 2, &args)) return kExitError;
  const std::u16string& file = args.operands[0];
  const std::u16string path = args.operands.size() > 1 ? args.operands[1] : std::u16string();
  if (int rc = CheckPath(ctx, syntax, file, path)) return rc;
  CfRef<CConfigFile> config;
  if (int rc = OpenFile(ctx, syntax.command, file, OpenFor::kReading, &config)) return rc;
  std::string text;
  {
    CfRef<ICfKey> key;
    if (int rc = FindKey(ctx, syntax.command, file, config.get(), path, &key)) return rc;
    for (CfRef<ICfKey> child(key->GetFirstChild()); child;) {
      text += DescribeKey(child.get()) + '\n';
      child.reset(child->GetNextSibling());
    }
  }
  return WriteOutput(ctx, syntax.command, file, text);
}

int RunGet(CommandContext& ctx) {
  const Syntax syntax{"get", "FILE PATH"};
  Args args;
  if (!SplitArgs(ctx, syntax, {}, nullptr, 2, 2, &args)) return kExitError;
  const std::u16string& file = args.operands[0];
  const std::u16string& path = args.operands[1];
  if (int rc = CheckPath(ctx, syntax, file, path)) return rc;
  CfRef<CConfigFile> config;
  if (int rc = OpenFile(ctx, syntax.command, file, OpenFor::kReading, &config)) return rc;
  std::string text;
  {
    CfRef<ICfKey> key;
    if (int rc = FindKey(ctx, syntax.command, file, config.get(), path, &key)) return rc;
    std::vector<uint8_t> value(static_cast<size_t>(key->GetValueLength()) + 1);
    const int32_t length = key->GetValue(value.data(), static_cast<int32_t>(value.size()));
    if (length < 0) return Complain(ctx, syntax.command, file, "cannot read the value", kExitError);
    text = DescribeValue(key->GetType(), value.data(), static_cast<size_t>(length)) + '\n';
  }
  return WriteOutput(ctx, syntax.command, file, text);
}

int RunSet(CommandContext& ctx) {
  const Syntax syntax{"set",
                      "FILE PATH (--wstring TEXT | --string TEXT | --int N | --hex HEX | --none)"};
  Args args;
  if (!SplitArgs(ctx, syntax, {"--wstring", "--string", "--int", "--hex", "--none"}, "--none", 2, 2,
                 &args)) {
    return kExitError;
  }
  const std::u16string& file = args.operands[0];
  const std::u16string& path = args.operands[1];
  int32_t type = CfTypeNone;
  std::string bytes;
  if (args.option == "--wstring") {
    type = CfTypeWString;
    bytes = WStringValueBytes(args.option_value);
  } else if (args.option == "--string") {
    type = CfTypeString;
    bytes = StringValueBytes(args.option_value);
  } else if (args.option == "--int") {
    type = CfTypeBinary;
    if (!ParseIntValue(args.option_value, &bytes)) {
      return UsageError(ctx, syntax.command, syntax.arguments,
                        "--int takes a 32-bit integer, decimal or 0x hex (got " +
                            ForPeople(args.option_value) + ")");
    }
  } else if (args.option == "--hex") {
    type = CfTypeBinary;
    if (!ParseHexValue(args.option_value, &bytes)) {
      return UsageError(
          ctx, syntax.command, syntax.arguments,
          "--hex takes pairs of hex digits (got " + ForPeople(args.option_value) + ")");
    }
  } else if (args.option != "--none") {
    return UsageError(ctx, syntax.command, syntax.arguments, "no value given");
  }
  if (int rc = CheckPath(ctx, syntax, file, path)) return rc;
  if (path.empty()) {
    return Complain(ctx, syntax.command, file, "the root key cannot hold a value", kExitNo);
  }
  if (bytes.size() > static_cast<size_t>(kCfMaxValueLength)) {
    return Complain(
        ctx, syntax.command, file,
        "value too long: " + std::to_string(bytes.size()) + " bytes (a value holds at most 65535)",
        kExitNo);
  }
  CfRef<CConfigFile> config;
  std::unique_ptr<install::StoreWriteLock> lock;
  if (int rc = OpenFile(ctx, syntax.command, file, OpenFor::kCreating, &config, &lock)) return rc;
  {
    CfRef<ICfKey> key(OpenAt(config.get(), path, true));
    if (!key) {
      // The names passed CheckPath: a key named by child id is missing (it is
      // never made), or memory is.
      if (!PathNamesById(path)) {
        return Complain(ctx, syntax.command, file,
                        Shown(path) + ": cannot make the key: out of memory; not changed",
                        kExitError);
      }
      return Complain(ctx, syntax.command, file,
                      Shown(path) + ": no such key (a key named by #ID is never made)", kExitNo);
    }
    if (IsProtected(key.get())) {
      return Complain(ctx, syntax.command, file, Shown(path) + ": the key is protected", kExitNo);
    }
    // The key's other attribute bits go along in the type argument: a value
    // that needs a new record takes its attributes from there.
    const int32_t flags = type | (key->GetAttributes() & kCfAttributeMask);
    if (!key->SetValue(flags, bytes.data(), static_cast<int32_t>(bytes.size()))) {
      // Not protected and not too long: only memory can be missing.
      return Complain(ctx, syntax.command, file,
                      Shown(path) + ": the value cannot be stored: out of memory; not changed",
                      kExitError);
    }
  }
  return SaveFile(ctx, syntax.command, file, config.get());
}

int RunRemove(CommandContext& ctx) {
  const Syntax syntax{"rm", "FILE PATH"};
  Args args;
  if (!SplitArgs(ctx, syntax, {}, nullptr, 2, 2, &args)) return kExitError;
  const std::u16string& file = args.operands[0];
  const std::u16string& path = args.operands[1];
  if (int rc = CheckPath(ctx, syntax, file, path)) return rc;
  if (path.empty()) {
    return Complain(ctx, syntax.command, file, "the root key cannot be removed", kExitNo);
  }
  CfRef<CConfigFile> config;
  std::unique_ptr<install::StoreWriteLock> lock;
  if (int rc = OpenFile(ctx, syntax.command, file, OpenFor::kEditing, &config, &lock)) return rc;
  {
    CfRef<ICfKey> key;
    if (int rc = FindKey(ctx, syntax.command, file, config.get(), path, &key)) return rc;
    if (!key->Delete()) {
      return Complain(ctx, syntax.command, file,
                      Shown(path) + (IsProtected(key.get()) ? ": the key is protected"
                                                            : ": a key below it is protected"),
                      kExitNo);
    }
  }
  return SaveFile(ctx, syntax.command, file, config.get());
}

int RunRename(CommandContext& ctx) {
  const Syntax syntax{"rename", "FILE PATH NEWNAME"};
  Args args;
  if (!SplitArgs(ctx, syntax, {}, nullptr, 3, 3, &args)) return kExitError;
  const std::u16string& file = args.operands[0];
  const std::u16string& path = args.operands[1];
  const std::u16string& new_name = args.operands[2];
  if (new_name.empty()) {
    return Complain(ctx, syntax.command, file, "invalid name \"\": a name must not be empty",
                    kExitNo);
  }
  if (int rc = CheckPath(ctx, syntax, file, path)) return rc;
  const std::string fault = NameFault(new_name);
  if (!fault.empty()) {
    return Complain(ctx, syntax.command, file,
                    "invalid name \"" + ForPeople(new_name) + "\": " + fault, kExitNo);
  }
  if (path.empty()) {
    return Complain(ctx, syntax.command, file, "the root key cannot be renamed", kExitNo);
  }
  CfRef<CConfigFile> config;
  std::unique_ptr<install::StoreWriteLock> lock;
  if (int rc = OpenFile(ctx, syntax.command, file, OpenFor::kEditing, &config, &lock)) return rc;
  {
    CfRef<ICfKey> key;
    if (int rc = FindKey(ctx, syntax.command, file, config.get(), path, &key)) return rc;
    if (IsProtected(key.get())) {
      return Complain(ctx, syntax.command, file, Shown(path) + ": the key is protected", kExitNo);
    }
    // A renamed key is a new record that starts without attributes; the
    // key's own are put back.
    const uint8_t attributes = key->GetAttributes();
    bool renamed;
    {
      CfRef<ICfKey> parent(key->GetParent());
      CfRef<ICfKey> holder;
      if (parent) holder.reset(parent->FindChild(new_name.c_str(), -1, nullptr, false));
      if (holder && holder.get() != key.get()) {
        return Complain(ctx, syntax.command, file,
                        Shown(path) + ": the name \"" + ForPeople(new_name) + "\" is taken",
                        kExitNo);
      }
      if (holder) {
        // The key carries the name already, perhaps in another letter case.
        CfChar old_name[kCfMaxNameLength + 1];
        const int32_t n = key->GetName(old_name, kCfMaxNameLength + 1);
        if (n >= 0 && std::u16string(old_name, static_cast<size_t>(n)) == new_name) {
          if (!Recovering(config.get())) return kExitOk;
          return SaveFile(ctx, syntax.command, file, config.get());
        }
        // Through a free temporary name (the store picks one near it), then
        // to the new spelling.
        renamed = key->Rename(u"settool-rename", false) && key->Rename(new_name.c_str(), true);
      } else {
        renamed = key->Rename(new_name.c_str(), true);
      }
    }
    if (!renamed) {
      return Complain(ctx, syntax.command, file, Shown(path) + ": cannot rename the key", kExitNo);
    }
    if (key->GetAttributes() != attributes) key->SetAttributes(attributes);
  }
  return SaveFile(ctx, syntax.command, file, config.get());
}

int RunProtect(CommandContext& ctx) {
  const Syntax syntax{"protect", "FILE PATH on|off"};
  Args args;
  if (!SplitArgs(ctx, syntax, {}, nullptr, 3, 3, &args)) return kExitError;
  const std::u16string& file = args.operands[0];
  const std::u16string& path = args.operands[1];
  const std::u16string& state = args.operands[2];
  if (state != u"on" && state != u"off") {
    return UsageError(ctx, syntax.command, syntax.arguments,
                      "the last argument is on or off (got " + ForPeople(state) + ")");
  }
  if (int rc = CheckPath(ctx, syntax, file, path)) return rc;
  CfRef<CConfigFile> config;
  std::unique_ptr<install::StoreWriteLock> lock;
  if (int rc = OpenFile(ctx, syntax.command, file, OpenFor::kEditing, &config, &lock)) return rc;
  {
    CfRef<ICfKey> key;
    if (int rc = FindKey(ctx, syntax.command, file, config.get(), path, &key)) return rc;
    const uint8_t old_attributes = key->GetAttributes();
    const uint8_t attributes = state == u"on"
                                   ? static_cast<uint8_t>(old_attributes | kCfProtected)
                                   : static_cast<uint8_t>(old_attributes & ~kCfProtected);
    // Nothing to change: saved all the same when the tree came from the
    // side file, so that the recovery the note announced is done.
    if (attributes == old_attributes && !Recovering(config.get())) return kExitOk;
    if (attributes != old_attributes) key->SetAttributes(attributes);
  }
  return SaveFile(ctx, syntax.command, file, config.get());
}

}  // namespace orvo::settool

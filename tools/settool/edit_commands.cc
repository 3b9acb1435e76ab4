// settool set, rm, rename and protect: changing single keys through a file
// object and its key interface (edit_file.h). A change is written with Save
// only once it has been made in memory; a refused change leaves the file as
// it was.
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
#include "tools/settool/edit_file.h"
#include "tools/settool/json.h"
#include "tools/settool/key_path.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"
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

// A key path for messages.
std::string Shown(const std::u16string& path) { return ShownPath(path); }

int CheckPath(CommandContext& ctx, const Syntax& syntax, const std::u16string& file,
              const std::u16string& path) {
  return CheckKeyPath(ctx, syntax.command, syntax.arguments, file, path);
}

// The key at |path| (key_path.h) with one new reference, or null.
ICfKey* OpenAt(CConfigFile* config, const std::u16string& path, bool create) {
  auto root = CfRef<ICfKey>::Adopt(config->GetRootKey());
  return root ? OpenKeyPath(root.get(), path, create) : nullptr;
}

// The existing key at |path| into *key, or reports and returns kExitNo.
int FindKey(CommandContext& ctx, const char* command, const std::u16string& file,
            CConfigFile* config, const std::u16string& path, CfRef<ICfKey>* key) {
  key->attach(OpenAt(config, path, false));
  if (!*key) return Complain(ctx, command, file, Shown(path) + ": no such key", kExitNo);
  return kExitOk;
}

bool IsProtected(ICfKey* key) { return (key->GetAttributes() & kCfProtected) != 0; }

}  // namespace

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
  return EditFile(ctx, syntax.command, file, EditOf::kAny, [&](CConfigFile* config, bool* changed) {
    auto key = CfRef<ICfKey>::Adopt(OpenAt(config, path, true));
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
    *changed = true;
    return kExitOk;
  });
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
  return EditFile(
      ctx, syntax.command, file, EditOf::kExisting, [&](CConfigFile* config, bool* changed) {
        CfRef<ICfKey> key;
        if (int rc = FindKey(ctx, syntax.command, file, config, path, &key)) return rc;
        if (!key->Delete()) {
          return Complain(ctx, syntax.command, file,
                          Shown(path) + (IsProtected(key.get()) ? ": the key is protected"
                                                                : ": a key below it is protected"),
                          kExitNo);
        }
        *changed = true;
        return kExitOk;
      });
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
  return EditFile(
      ctx, syntax.command, file, EditOf::kExisting, [&](CConfigFile* config, bool* changed) {
        CfRef<ICfKey> key;
        if (int rc = FindKey(ctx, syntax.command, file, config, path, &key)) return rc;
        if (IsProtected(key.get())) {
          return Complain(ctx, syntax.command, file, Shown(path) + ": the key is protected",
                          kExitNo);
        }
        // A renamed key is a new record that starts without attributes; the
        // key's own are put back.
        const uint8_t attributes = key->GetAttributes();
        bool renamed;
        {
          auto parent = CfRef<ICfKey>::Adopt(key->GetParent());
          CfRef<ICfKey> holder;
          if (parent) holder.attach(parent->FindChild(new_name.c_str(), -1, nullptr, false));
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
              return kExitOk;  // nothing to change
            }
            // Through a free temporary name (the store picks one near it), then
            // to the new spelling.
            renamed = key->Rename(u"settool-rename", false) && key->Rename(new_name.c_str(), true);
          } else {
            renamed = key->Rename(new_name.c_str(), true);
          }
        }
        if (!renamed) {
          return Complain(ctx, syntax.command, file, Shown(path) + ": cannot rename the key",
                          kExitNo);
        }
        if (key->GetAttributes() != attributes) key->SetAttributes(attributes);
        *changed = true;
        return kExitOk;
      });
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
  return EditFile(
      ctx, syntax.command, file, EditOf::kExisting, [&](CConfigFile* config, bool* changed) {
        CfRef<ICfKey> key;
        if (int rc = FindKey(ctx, syntax.command, file, config, path, &key)) return rc;
        const uint8_t old_attributes = key->GetAttributes();
        const uint8_t attributes = state == u"on"
                                       ? static_cast<uint8_t>(old_attributes | kCfProtected)
                                       : static_cast<uint8_t>(old_attributes & ~kCfProtected);
        if (attributes != old_attributes) {
          key->SetAttributes(attributes);
          *changed = true;
        }
        return kExitOk;
      });
}

}  // namespace orvo::settool

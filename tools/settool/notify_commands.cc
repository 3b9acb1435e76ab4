// notify-app, notify-widget, update-app, unregister-app, unregister-widget
// and check-installed: the install operations run for real on the
// machine-wide registration file.
//
// Every operation argument has an option named after it; an absent option
// passes "not given" (null), --desc "" passes an empty string. Each prints
// its result, the error code and what they mean. Exit status: 0 for S_OK, 3
// when the application is registered already (result 2) or there was
// nothing to remove (result 3), 1 for any other result (a refusal, or a file
// that could not be saved), 2 for usage errors.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "install/operations.h"
#include "platform/file.h"
#include "store/save_protocol.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"

using orvo::store::CfLastSaveObstacle;

namespace orvo::settool {
namespace {

constexpr int kExitNothingDone = 3;

// The options of one notify command: each takes one value.
struct NotifyOptions {
  std::optional<std::u16string> call_name, name, version, install_dir, main_program_path, param,
      main_icon_path, desc, width, height;
};

struct OptionSlot {
  const char16_t* name;
  std::optional<std::u16string> NotifyOptions::*slot;
};

const OptionSlot kAppOptions[] = {
    {u"--call-name", &NotifyOptions::call_name},
    {u"--name", &NotifyOptions::name},
    {u"--version", &NotifyOptions::version},
    {u"--install-dir", &NotifyOptions::install_dir},
    {u"--main-program-path", &NotifyOptions::main_program_path},
    {u"--param", &NotifyOptions::param},
    {u"--main-icon-path", &NotifyOptions::main_icon_path},
    {u"--desc", &NotifyOptions::desc},
};

const OptionSlot kPathOption[] = {{u"--main-program-path", &NotifyOptions::main_program_path}};
const OptionSlot kNameOption[] = {{u"--name", &NotifyOptions::name}};

const OptionSlot kWidgetOptions[] = {
    {u"--call-name", &NotifyOptions::call_name},
    {u"--name", &NotifyOptions::name},
    {u"--version", &NotifyOptions::version},
    {u"--install-dir", &NotifyOptions::install_dir},
    {u"--main-program-path", &NotifyOptions::main_program_path},
    {u"--main-icon-path", &NotifyOptions::main_icon_path},
    {u"--desc", &NotifyOptions::desc},
    {u"--width", &NotifyOptions::width},
    {u"--height", &NotifyOptions::height},
};

template <size_t N>
bool ParseOptions(CommandContext& ctx, const char* command, const char* usage,
                  const OptionSlot (&known)[N], NotifyOptions* options) {
  for (size_t i = 0; i < ctx.args.size(); ++i) {
    const std::u16string& arg = ctx.args[i];
    const OptionSlot* match = nullptr;
    for (const OptionSlot& o : known) {
      if (arg == o.name) match = &o;
    }
    if (match == nullptr) {
      UsageError(ctx, command, usage, "unknown argument " + ForPeople(arg));
      return false;
    }
    if (i + 1 >= ctx.args.size()) {
      UsageError(ctx, command, usage, ForPeople(arg) + " needs a value");
      return false;
    }
    (options->*(match->slot)) = ctx.args[++i];
  }
  return true;
}

const char16_t* Arg(const std::optional<std::u16string>& v) {
  return v.has_value() ? v->c_str() : nullptr;
}

// A 32-bit signed decimal; absent gives 0 (the operation refuses it).
bool ParseInt(CommandContext& ctx, const char* command, const char* usage, const char* option,
              const std::optional<std::u16string>& text, int32_t* value) {
  *value = 0;
  if (!text.has_value()) return true;
  const std::string s = ForPeople(*text);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (s.empty() || *end != 0 || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
    UsageError(ctx, command, usage, std::string(option) + " takes a 32-bit integer, not " + s);
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

// What a notify result means, for people.
const char* Meaning(int32_t result, int32_t code) {
  switch (result) {
    case install::kResultOk:
      return "recorded and broadcast";
    case install::kResultDuplicate:
      return "registered already: nothing written, nothing broadcast";
    case install::kResultNothingToRemove:
      return "no such record: nothing written, nothing broadcast";
    case install::kResultInvalidArg:
      return code == 1 ? "a required argument is missing: nothing done"
                       : "a required argument is too long for a value (over 32766 characters), "
                         "or the file, its section or the record could not be made";
    case install::kResultNewerFormat:
      return "not saved, nothing broadcast: the file was written by a newer version, which this "
             "one neither reads nor replaces";
    case install::kResultAccessDenied:
      return "not saved, nothing broadcast: access denied (this account may not write the "
             "file, or a link is planted at it or at its lock file)";
    case install::kResultNameInTheWay:
      return CfLastSaveObstacle() == CfCompanion::kKeptCopy
                 ? "not saved, nothing broadcast: the file's kept copy (its name with .old) is "
                   "in the way"
                 : "not saved, nothing broadcast: the file's side file (its name with .new) is "
                   "in the way";
    case install::kResultDiskFull:
      return "not saved, nothing broadcast: the disk is full";
    case install::kResultSharingViolation:
      return "not saved, nothing broadcast: another program holds the file";
    case install::kResultTimeout:
      return "not saved, nothing broadcast: another notification held the lock too long";
    default:
      return "not saved, nothing broadcast";
  }
}

// Why the registration file's folder cannot be had, for people.
std::string NoFolderMeaning() {
  const std::string nothing = "nothing done: ";
  install::CPathBuffer file;
  if (!install::RegistrationFilePath(&file)) {
    return nothing + "the machine-wide application data folder is not known";
  }
  std::u16string suite(file.text());
  suite.resize(suite.find_last_of(u'\\'));
  std::u16string base = suite.substr(0, suite.find_last_of(u'\\'));
  platform::FileSystem* fs = platform::CurrentFileSystem();
  if (!fs->IsFolder(base.c_str())) {
    return nothing + "the application data folder " + MachinePathForPeople(base) +
           " does not exist";
  }
  platform::OpenError error = platform::OpenError::kNone;
  std::unique_ptr<platform::File> there(
      fs->Open(suite.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error));
  if (there || error == platform::OpenError::kNotAFile || error == platform::OpenError::kLinked) {
    return nothing + MachinePathForPeople(suite) + " is not a folder";
  }
  return nothing + "the folder " + MachinePathForPeople(suite) +
         " cannot be made (this account may not create it)";
}

// |meaning|: what the result means here, when the caller knows better.
int Report(CommandContext& ctx, int32_t result, int32_t code, const char* meaning = nullptr) {
  const std::string text = meaning != nullptr                   ? std::string(meaning)
                           : result == install::kResultNoFolder ? NoFolderMeaning()
                                                                : Meaning(result, code);
  PrintOut(ctx.out, "result 0x%08" PRIX32 ", error code %" PRId32 " (0x%08" PRIX32 "): %s\n",
           static_cast<uint32_t>(result), code, static_cast<uint32_t>(code), text.c_str());
  install::CPathBuffer file;
  if (result != install::kResultNoFolder && install::RegistrationFilePath(&file)) {
    PrintOut(ctx.out, "file: %s\n", MachinePathForPeople(file.text()).c_str());
  }
  if (result == install::kResultOk) return kExitOk;
  if (result == install::kResultDuplicate || result == install::kResultNothingToRemove) {
    return kExitNothingDone;
  }
  return kExitNo;
}

constexpr char kAppUsage[] =
    "--name N --main-program-path P --main-icon-path I [--call-name C] [--version V] "
    "[--install-dir D] [--param A] [--desc T]";
constexpr char kWidgetUsage[] =
    "--name N --main-program-path P --main-icon-path I --width W --height H [--call-name C] "
    "[--version V] [--install-dir D] [--desc T]";

}  // namespace

int RunNotifyApp(CommandContext& ctx) {
  NotifyOptions o;
  if (!ParseOptions(ctx, "notify-app", kAppUsage, kAppOptions, &o)) return kExitError;
  int32_t code = 0;
  const int32_t result = install::NotifyApplicationInstalled(
      Arg(o.call_name), Arg(o.name), Arg(o.version), Arg(o.install_dir), Arg(o.main_program_path),
      Arg(o.param), Arg(o.main_icon_path), Arg(o.desc), &code);
  return Report(ctx, result, code);
}

int RunNotifyWidget(CommandContext& ctx) {
  NotifyOptions o;
  if (!ParseOptions(ctx, "notify-widget", kWidgetUsage, kWidgetOptions, &o)) return kExitError;
  int32_t width = 0, height = 0;
  if (!ParseInt(ctx, "notify-widget", kWidgetUsage, "--width", o.width, &width) ||
      !ParseInt(ctx, "notify-widget", kWidgetUsage, "--height", o.height, &height)) {
    return kExitError;
  }
  int32_t code = 0;
  const int32_t result = install::NotifyWidgetInstalled(
      Arg(o.call_name), Arg(o.name), Arg(o.version), Arg(o.install_dir), Arg(o.main_program_path),
      Arg(o.main_icon_path), Arg(o.desc), width, height, &code);
  const bool zero = o.width && o.height && (width == 0 || height == 0);
  return Report(
      ctx, result, code,
      zero && code == 1 ? "the width and the height must not be 0: nothing done" : nullptr);
}

int RunUpdateApp(CommandContext& ctx) {
  NotifyOptions o;
  if (!ParseOptions(ctx, "update-app", kAppUsage, kAppOptions, &o)) return kExitError;
  int32_t code = 0;
  const int32_t result = install::NotifyApplicationUpdated(
      Arg(o.call_name), Arg(o.name), Arg(o.version), Arg(o.install_dir), Arg(o.main_program_path),
      Arg(o.param), Arg(o.main_icon_path), Arg(o.desc), &code);
  return Report(ctx, result, code,
                result == install::kResultOk ? "recorded (replacing the record of that path) and "
                                               "broadcast"
                : result == install::kResultAccessDenied
                    ? "not saved, nothing broadcast: a record of that path is protected, or the "
                      "file cannot be written by this account"
                    : nullptr);
}

int RunUnregisterApp(CommandContext& ctx) {
  NotifyOptions o;
  if (!ParseOptions(ctx, "unregister-app", "--main-program-path P", kPathOption, &o)) {
    return kExitError;
  }
  int32_t code = 0;
  const int32_t result = install::NotifyApplicationUninstalled(Arg(o.main_program_path), &code);
  return Report(ctx, result, code,
                result == install::kResultOk ? "removed and broadcast"
                : result == install::kResultAccessDenied
                    ? "not saved, nothing broadcast: a record of that path is protected, or the "
                      "file cannot be written by this account"
                    : nullptr);
}

int RunUnregisterWidget(CommandContext& ctx) {
  NotifyOptions o;
  if (!ParseOptions(ctx, "unregister-widget", "--name N", kNameOption, &o)) return kExitError;
  int32_t code = 0;
  const int32_t result = install::NotifyWidgetUninstalled(Arg(o.name), &code);
  return Report(ctx, result, code,
                result == install::kResultOk ? "removed and broadcast"
                : result == install::kResultAccessDenied
                    ? "not saved, nothing broadcast: the widget's record is protected, or the "
                      "file cannot be written by this account"
                    : nullptr);
}

int RunCheckInstalled(CommandContext& ctx) {
  if (!ctx.args.empty()) return UsageError(ctx, "check-installed", "", "takes no arguments");
  int32_t installed = 0;
  const int32_t result = install::CheckTamsiverInstalled(&installed);
  PrintOut(ctx.out, "installed %" PRId32 ", result 0x%08" PRIX32 "\n", installed,
           static_cast<uint32_t>(result));
  return kExitOk;
}

int RunWhere(CommandContext& ctx) {
  if (!ctx.args.empty()) return UsageError(ctx, "where", "", "takes no arguments");
  install::CPathBuffer file;
  if (!install::RegistrationFilePath(&file)) {
    WriteOut(ctx.err, "settool: where: the machine-wide application data folder is not known\n");
    return kExitNo;
  }
  PrintOut(ctx.out, "%s\n", MachinePathForPeople(file.text()).c_str());
  return kExitOk;
}

}  // namespace orvo::settool

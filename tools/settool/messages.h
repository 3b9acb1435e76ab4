// Text helpers shared by settool's commands.
#ifndef ORVO_TOOLS_SETTOOL_MESSAGES_H_
#define ORVO_TOOLS_SETTOOL_MESSAGES_H_

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tools/settool/commands.h"

namespace orvo::settool {

// |s| as UTF-8 for people (lone surrogates shown as U+FFFD).
std::string ForPeople(const std::u16string& s);

// A path the install operations composed (backslashes between its parts)
// as ForPeople shows it, with the platform's separator.
std::string MachinePathForPeople(const std::u16string& path);

// Why an open failed, in words.
const char* OpenErrorText(platform::OpenError error);

// Writes "settool: <command>: <file>: <why>" and a newline to ctx.err.
// Returns |code|, so a command can end with: return Complain(...);
int Complain(CommandContext& ctx, const char* command, const std::u16string& file,
             const std::string& why, int code);

// Writes "settool: <command>: <why>" and the command's usage line to ctx.err.
// Returns kExitError.
int UsageError(CommandContext& ctx, const char* command, const char* arguments,
               const std::string& why);

// Every command takes a FILE (IN, OUT) of at most this many characters:
// the store's file object holds no longer path.
constexpr size_t kMaxFileChars = 255;

// False (having complained "cannot open: the path is longer than 255
// characters", exit 2) when |file| is longer than kMaxFileChars.
bool FilePathFits(CommandContext& ctx, const char* command, const std::u16string& file);

// For a file this command made new at |path| and then failed to write:
// closes it and removes it while the name still holds that file (never what
// another program put there since), reports which, and returns kExitError.
int GiveUpMadeFile(CommandContext& ctx, const char* command, const std::u16string& path,
                   std::unique_ptr<platform::File> created);

// Splits ctx.args into one file operand and known "--" options. Returns false
// (having reported a usage error) on a missing or extra operand or an unknown
// option. |flags| is a null-terminated list of option names; |set| receives,
// per option, whether it was given.
bool ParseFileAndFlags(CommandContext& ctx, const char* command, const char* arguments,
                       const char* const* flags, bool* set, std::u16string* file);

// As ParseFileAndFlags, for a FILE and more operands: *operands receives
// them all, the file first. A usage error for fewer than |min_operands|
// ("too few arguments") or more than |max_operands| ("too many arguments").
bool ParseOperandsAndFlags(CommandContext& ctx, const char* command, const char* arguments,
                           const char* const* flags, bool* set, size_t min_operands,
                           size_t max_operands, std::vector<std::u16string>* operands);

// Why |name| (one path component or a new name) cannot name a key, or empty.
std::string NameFault(const std::u16string& name);

// A key path for messages ("the root key" for the empty one).
std::string ShownPath(const std::u16string& path);

// Checks a key path (key_path.h): names separated by backslash or slash, one
// separator allowed at the end. Reports and returns the exit code (2 for an
// empty name, 1 for a name no key can have), or kExitOk.
int CheckKeyPath(CommandContext& ctx, const char* command, const char* arguments,
                 const std::u16string& file, const std::u16string& path);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_MESSAGES_H_

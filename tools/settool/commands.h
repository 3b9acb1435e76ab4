// settool's commands. Each command is one function in its own .cc file and
// one row of the table in main.cc:
//   {"name", "ARGUMENTS", "what it does", RunName, "longer help text\n"},
#ifndef ORVO_TOOLS_SETTOOL_COMMANDS_H_
#define ORVO_TOOLS_SETTOOL_COMMANDS_H_

#include <cstdio>
#include <string>
#include <vector>

namespace orvo::settool {

// Exit codes shared by all commands.
constexpr int kExitOk = 0;
constexpr int kExitNo = 1;     // the command's answer is no, or its input was refused
constexpr int kExitError = 2;  // usage errors, files that cannot be opened, read or written

// What a command is given: its arguments (the words after its name, UTF-16)
// and the streams it reads and writes. Output is UTF-8.
struct CommandContext {
  std::vector<std::u16string> args;
  std::FILE* in;
  std::FILE* out;
  std::FILE* err;
};

using CommandFunction = int (*)(CommandContext& ctx);

struct Command {
  const char* name;
  const char* arguments;  // for the usage text, e.g. "FILE [--json]"
  const char* summary;
  CommandFunction run;
  // For "settool help NAME": what the command prints, its options and its
  // exit status, one or more lines each ending with a newline.
  const char* help;
};

// dump_commands.cc
int RunDump(CommandContext& ctx);
int RunList(CommandContext& ctx);
int RunGet(CommandContext& ctx);
int RunExport(CommandContext& ctx);
// import_command.cc
int RunImport(CommandContext& ctx);
// build_command.cc
int RunBuild(CommandContext& ctx);
int RunRecover(CommandContext& ctx);
// check_command.cc
int RunCheck(CommandContext& ctx);
// notify_commands.cc
int RunNotifyApp(CommandContext& ctx);
int RunNotifyWidget(CommandContext& ctx);
int RunUpdateApp(CommandContext& ctx);
int RunUnregisterApp(CommandContext& ctx);
int RunUnregisterWidget(CommandContext& ctx);
int RunCheckInstalled(CommandContext& ctx);
int RunWhere(CommandContext& ctx);
// edit_commands.cc
int RunSet(CommandContext& ctx);
int RunRemove(CommandContext& ctx);
int RunRename(CommandContext& ctx);
int RunProtect(CommandContext& ctx);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_COMMANDS_H_

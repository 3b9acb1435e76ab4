// settool: looks into and makes configuration files.
//
//   settool COMMAND ARGUMENTS...
//   settool help [COMMAND]
//   settool --version
//
// Arguments are taken as UTF-16: from the wide command line on Windows, from
// UTF-8 elsewhere. Output is UTF-8 (binary mode on Windows), or UTF-16 text
// to a Windows console (output.h).
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "orvo/version.h"
#include "platform/utf.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"

namespace orvo::settool {
namespace {

// The last line of the help of every command that takes a PATH.
#define PATH_HELP                                                                           \
  "PATH: key names separated by \\ or /, letter case ignored. A key is also named by its\n" \
  "child id as ls and dump show unnamed keys: #ID the first key with child id ID, #ID[N]\n" \
  "the N-th (APP/#1[3]/Name: the Name of the third application record). A name of that\n"   \
  "form takes one more # in front (##1 is the key named \"#1\").\n"

// One row per command.
const Command kCommands[] = {
    {"dump", "FILE [PATH] [--json]", "prints the tree (or the subtree at PATH), or as JSON",
     RunDump,
     "Prints every key of FILE (of the subtree at PATH: the key there first), depth first\n"
     "in table order. Text form: one line per key,\n"
     "indented two spaces a level: the name in JSON quotes (an unnamed key as #ID, #ID[N] for\n"
     "the N-th with that id, as a PATH names it), the type, the attributes when set, then the\n"
     "value (text in quotes, other bytes in hex, a 4-byte value that is not a UTF-16 string\n"
     "also as \"(int N)\"). --json: the tree (the subtree) as one line of\n"
     "JSON that \"settool build\" takes back.\n"
     "Exit status: 0 printed; 1 no such key, or the file would open as a new tree (empty,\n"
     "unfinished save, damaged); 2 usage errors, a file that cannot be opened, output that\n"
     "cannot be written.\n" PATH_HELP},
    {"build", "OUT < JSON", "makes a new file from the JSON form of a tree", RunBuild,
     "Reads the JSON form of a tree (as \"settool dump --json\" writes it) from standard\n"
     "input and writes it to the new file OUT. An existing OUT is never overwritten.\n"
     "Exit status: 0 written; 1 the input is not a valid tree (the line and column are\n"
     "given); 2 usage errors, OUT exists already or cannot be written.\n"},
    {"recover", "IN OUT", "writes every record that can still be read from IN to a new file",
     RunRecover,
     "Reads IN (a kept copy such as InstallApp.set.old, or a damaged file) whatever its commit\n"
     "marks, checksum and body size say, and writes every record that parses, up to the first\n"
     "that cannot be read, to the new file OUT, which is never overwritten; IN is not changed.\n"
     "Prints \"recovered N keys from IN\". Check OUT with \"settool dump\" before copying it\n"
     "over the registration file.\n"
     "Exit status: 0 written; 1 nothing to recover (not a configuration file, no readable\n"
     "record); 2 usage errors, IN cannot be opened or OUT exists already or cannot be\n"
     "written.\n"},
    {"check", "FILE", "reports the header, the checksum and whether the file loads", RunCheck,
     "Prints what the reader makes of FILE without changing it: size, magic, format version,\n"
     "commit marks, body size, stored and computed checksum, the number of keys, and bytes\n"
     "that are ignored. A damaged body (a checksum that does not match, a body cut short)\n"
     "loads in part: the keys that parse are kept, and the next save copies the file to\n"
     "FILE.old first (\"settool recover\" reads such a copy).\n"
     "Exit status: 0 the file loads; 1 it would open as a new tree; 2 usage errors or a file\n"
     "that cannot be opened or sized.\n"},
    {"notify-app", "--name N ...", "registers an application in the machine-wide file",
     RunNotifyApp,
     "settool notify-app --name N --main-program-path P --main-icon-path I [--call-name C]\n"
     "    [--version V] [--install-dir D] [--param A] [--desc T]\n"
     "Runs NotifyApplicationInstalled on the machine-wide InstallApp.set (natively under\n"
     "$ORVO_COMMON_APPDATA/Tamsiver, else /var/lib/Tamsiver) and prints its result and error\n"
     "code. An option left out is \"not given\"; --desc \"\" gives an empty text.\n"
     "Exit status: 0 registered; 3 the main program path is registered already; 1 any\n"
     "other result (a required option missing, the file cannot be written); 2 usage errors.\n"},
    {"notify-widget", "--name N ...", "registers a widget in the machine-wide file",
     RunNotifyWidget,
     "settool notify-widget --name N --main-program-path P --main-icon-path I --width W\n"
     "    --height H [--call-name C] [--version V] [--install-dir D] [--desc T]\n"
     "Runs NotifyWidgetInstalled on the machine-wide InstallApp.set and prints its result and\n"
     "error code; a widget of the same name is replaced.\n"
     "Exit status: 0 registered; 1 refused (a required option missing, width or height 0,\n"
     "the file cannot be written); 2 usage errors (a width that is not a 32-bit integer).\n"},
    {"update-app", "--name N ...", "brings an application's record up to date", RunUpdateApp,
     "settool update-app --name N --main-program-path P --main-icon-path I [--call-name C]\n"
     "    [--version V] [--install-dir D] [--param A] [--desc T]\n"
     "Runs NotifyApplicationUpdated on the machine-wide InstallApp.set: the record of the main\n"
     "program path P (letter case ignored) keeps its place and gets exactly the values given\n"
     "(values left out are removed); further records of P are removed; without one a record\n"
     "is added.\n"
     "Exit status: 0 recorded; 1 refused (a required option missing, a record of P is\n"
     "protected, the file cannot be written); 2 usage errors.\n"},
    {"unregister-app", "--main-program-path P", "removes an application's records",
     RunUnregisterApp,
     "Runs NotifyApplicationUninstalled on the machine-wide InstallApp.set: every application\n"
     "record of the main program path P (letter case ignored) is removed.\n"
     "Exit status: 0 removed; 3 no record of P (nothing written, nothing broadcast); 1\n"
     "refused (the option missing, a record is protected, the file cannot be written); 2\n"
     "usage errors.\n"},
    {"unregister-widget", "--name N", "removes a widget's record", RunUnregisterWidget,
     "Runs NotifyWidgetUninstalled on the machine-wide InstallApp.set: the record that\n"
     "notify-widget --name N would replace is removed (letter case ignored; a name is cut at\n"
     "its first \\ or / as notify-widget cuts it).\n"
     "Exit status: 0 removed; 3 no such widget (nothing written, nothing broadcast); 1 refused\n"
     "(the option missing, the record is protected, the file cannot be written); 2 usage\n"
     "errors.\n"},
    {"check-installed", "", "prints the fixed answer of the installed check", RunCheckInstalled,
     "Runs CheckTamsiverInstalled and prints \"installed 1, result 0x00000000\".\n"
     "Exit status: 0; 2 when given arguments.\n"},
    {"where", "", "prints the machine-wide registration file's path", RunWhere,
     "Prints the path the notify commands (and the DLL's operations) read and write on this\n"
     "machine: <common application data>/Tamsiver/InstallApp.set (natively the folder is\n"
     "ORVO_COMMON_APPDATA, or /var/lib). Makes nothing; the file need not exist.\n"
     "Exit status: 0 printed; 1 the application data folder is not known; 2 when given\n"
     "arguments.\n"},
    {"ls", "FILE [PATH] [-r] [--json]", "lists the keys below a key: name, type, length", RunList,
     "One line per child of the key at PATH (the root when PATH is absent): its name (an\n"
     "unnamed key as #ID, or #ID[N] for the N-th with that id), type, attributes and value\n"
     "length in bytes.\n"
     "-r: every key below it, depth first in table order, each by its full path from the\n"
     "root in JSON quotes, as get takes it (\"APP/#1[2]/Name\").\n"
     "--json: one line, a JSON array of {\"path\": P, \"id\": N, \"node\": {...}}, the node as\n"
     "dump --json writes it without its children.\n"
     "Exit status: 0 listed; 1 no such key, or the file would not load; 2 usage or file\n"
     "errors.\n" PATH_HELP},
    {"get", "FILE PATH [--raw|--json]", "prints the value of a key", RunGet,
     "Prints the type and value of the key at PATH as \"dump\" shows it.\n"
     "--raw: the value alone, as jq -r gives it: a string's text (UTF-8, without its\n"
     "terminator) and a newline; the bytes of any other value as they are.\n"
     "--json: the key as dump --json writes it, without its children.\n"
     "Exit status: 0 printed; 1 no such key, or the file would not load; 2 usage or file\n"
     "errors.\n" PATH_HELP},
    {"set", "FILE PATH VALUE", "sets a value: --wstring T, --string T, --int N, --hex H, --none",
     RunSet,
     "VALUE is one of --wstring TEXT, --string TEXT, --int N, --hex HEX, --none.\n"
     "Stores a value in the key at PATH, making the file and the missing keys on the way\n"
     "(not a key named by #ID: it must exist).\n"
     "--wstring: UTF-16 text; --string: 8-bit (UTF-8) text; --int: 32-bit integer, decimal\n"
     "or 0x hex, 4 bytes little-endian (type binary); --hex: bytes as hex pairs, spaces\n"
     "allowed; --none: no value.\n"
     "Exit status: 0 stored; 1 refused (protected key, invalid name, value over 65535\n"
     "bytes, the root key, a file that would not load whole); 2 usage or file errors.\n" PATH_HELP},
    {"rm", "FILE PATH", "removes a key and everything below it", RunRemove,
     "Exit status: 0 removed; 1 refused (no such key, the root key, a protected key in the\n"
     "subtree, a file that would not load whole); 2 usage or file errors.\n" PATH_HELP},
    {"rename", "FILE PATH NAME", "gives a key a new name", RunRename,
     "A change of letter case only is allowed. Exit status: 0 renamed; 1 refused (no such\n"
     "key, the root key, a protected key, a name taken by a sibling, an invalid name: empty,\n"
     "over 255 characters, holding \\ / < or >); 2 usage or file errors.\n" PATH_HELP},
    {"protect", "FILE PATH on|off", "sets or clears a key's protected attribute", RunProtect,
     "A protected key keeps its value, name and place. Other attribute bits stay.\n"
     "Exit status: 0 done; 1 refused (no such key, a file that would not load whole);\n"
     "2 usage or file errors.\n" PATH_HELP},
    {"export", "FILE PATH [OUT|-]", "writes the subtree at PATH as JSON that import takes back",
     RunExport,
     "Writes the key at PATH and everything below it as one line of JSON, from the root\n"
     "down: the keys on the way as bare nodes (a name and the child, no flags, no value;\n"
     "before an unnamed key also the siblings that share its child id, so that it keeps its\n"
     "#ID[N]), then the subtree in full. \"settool import\" puts it back at the same PATH.\n"
     "OUT is a new file (never overwritten); without it, or with -, standard output.\n"
     "Exit status: 0 written; 1 no such key, or the file would open as a new tree; 2 usage\n"
     "errors, a file that cannot be opened, OUT exists already or cannot be written.\n" PATH_HELP},
    {"import", "FILE JSON|-", "merges a JSON tree into FILE: keys matched or added, values set",
     RunImport,
     "Reads a tree in the JSON form of build (from the file JSON, or standard input for -)\n"
     "and merges it into the existing FILE under the writers' lock, in one save: the JSON's\n"
     "root is FILE's root (the same name); a named key is matched by its name, an unnamed\n"
     "one by child id and occurrence (#ID[N]); a key not there is added; a matched key takes\n"
     "the JSON's type, value and attributes, except from a bare node (neither flags nor a\n"
     "value: left as it is). Nothing is removed. A key that is protected in FILE is never\n"
     "changed: an import that would change one is refused (keys may be added below it).\n"
     "Prints \"imported N keys: A added, C changed, K as they were\".\n"
     "Exit status: 0 imported; 1 refused, nothing changed (the JSON is not a valid tree: the\n"
     "line and column are given; another root name; a protected key; the root's value; a\n"
     "file that would not load whole); 2 usage errors, a file that cannot be opened, read or\n"
     "written.\n"},
};

const Command* FindCommand(const std::u16string& name) {
  for (const Command& c : kCommands) {
    if (name == platform::Utf8ToUtf16(c.name)) return &c;
  }
  return nullptr;
}

void PrintUsage(std::FILE* f) {
  PrintOut(f, "usage: settool COMMAND ARGUMENTS...\ncommands:\n");
  for (const Command& c : kCommands) {
    PrintOut(f, "  %-15s %-16s %s\n", c.name, c.arguments, c.summary);
  }
  PrintOut(f, "  %-15s %-16s %s\n", "help", "[COMMAND]", "prints this text, or one command's help");
  PrintOut(f, "  %-15s %-16s %s\n", "--version", "", "prints settool's version");
  PrintOut(f,
           "exit status: 0 done, 1 the answer is no or the input was refused, 2 usage or "
           "file errors, 3 (notify-app) registered already or (unregister-app, unregister-widget)\n"
           "nothing to remove\n"
           "FILE, IN, OUT and JSON are paths of at most 255 characters (the store's limit), "
           "for every command\n");
}

// Standard output written in full: 0, else a message and 2.
int Flushed(CommandContext& ctx) {
  if (FlushOut(ctx.out)) return kExitOk;
  WriteOut(ctx.err, "settool: cannot write the output\n");
  return kExitError;
}

const Command kHelpCommand = {
    "help", "[COMMAND]", "prints the command list, or one command's help", nullptr,
    "Without COMMAND: every command with its arguments, and the exit statuses.\n"
    "Exit status: 0 printed; 2 an unknown command, or output that cannot be written.\n"};

// settool help [COMMAND]
int RunHelp(CommandContext& ctx) {
  if (ctx.args.empty()) {
    PrintUsage(ctx.out);
    return Flushed(ctx);
  }
  if (ctx.args.size() > 1) return UsageError(ctx, "help", "[COMMAND]", "one command only");
  const Command* c = ctx.args[0] == u"help" ? &kHelpCommand : FindCommand(ctx.args[0]);
  if (c == nullptr) {
    return UsageError(ctx, "help", "[COMMAND]", "unknown command " + ForPeople(ctx.args[0]));
  }
  PrintOut(ctx.out, "usage: settool %s%s%s\n%s.\n%s", c->name, *c->arguments ? " " : "",
           c->arguments, c->summary, c->help);
  return Flushed(ctx);
}

int Run(std::vector<std::u16string> args) {
  CommandContext ctx{{}, stdin, stdout, stderr};
  if (args.empty()) {
    PrintUsage(ctx.err);
    return kExitError;
  }
  if (args[0] == u"--help" || args[0] == u"-h") {
    PrintUsage(ctx.out);
    return Flushed(ctx);
  }
  ctx.args.assign(args.begin() + 1, args.end());
  if (args[0] == u"--version") {
    if (!ctx.args.empty()) return UsageError(ctx, "--version", "", "takes no arguments");
    PrintOut(ctx.out, "settool %s\n", ORVO_VERSION_STRING);
    return Flushed(ctx);
  }
  if (args[0] == u"help") return RunHelp(ctx);
  if (const Command* c = FindCommand(args[0])) return c->run(ctx);
  PrintOut(ctx.err, "settool: unknown command %s\n", ForPeople(args[0]).c_str());
  PrintUsage(ctx.err);
  return kExitError;
}

// Running out of memory anywhere, the arguments included, ends the program
// with a message and exit status 2; a file is never written half-way by it
// (a save writes only a buffer made before it starts).
int OutOfMemory() {
  std::fputs("settool: out of memory\n", stderr);
  return kExitError;
}

}  // namespace

template <class MakeArgs>
int Main(MakeArgs make_args) {
  int code;
  try {
    code = Run(make_args());
  } catch (const std::bad_alloc&) {
    code = OutOfMemory();
  }
  FlushOut(stdout);
  FlushOut(stderr);
  return code;
}

}  // namespace orvo::settool

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  return orvo::settool::Main([argc, argv] {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return args;
  });
}
#else
int main(int argc, char** argv) {
  return orvo::settool::Main([argc, argv] {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
      args.push_back(orvo::platform::Utf8ToUtf16(argv[i], std::strlen(argv[i])));
    }
    return args;
  });
}
#endif

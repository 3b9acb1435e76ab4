// settool: looks into and makes configuration files.
//
//   settool COMMAND ARGUMENTS...
//
// Arguments are taken as UTF-16: from the wide command line on Windows, from
// UTF-8 elsewhere. Output is UTF-8 (binary mode on Windows).
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/utf.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"

namespace orvo::settool {
namespace {

// One row per command.
const Command kCommands[] = {
    {"dump", "FILE [--json]", "prints the tree, one key a line, or as JSON", RunDump},
    {"build", "OUT < JSON", "makes a new file from the JSON form of a tree", RunBuild},
    {"check", "FILE", "reports the header, the checksum and whether the file loads", RunCheck},
    {"notify-app", "--name N ...", "registers an application in the machine-wide file",
     RunNotifyApp},
    {"notify-widget", "--name N ...", "registers a widget in the machine-wide file",
     RunNotifyWidget},
    {"check-installed", "", "prints the fixed answer of the installed check", RunCheckInstalled},
    {"ls", "FILE [PATH]", "lists the keys below a key: name, type, attributes, length", RunList},
    {"get", "FILE PATH", "prints the value of a key", RunGet},
    {"set", "FILE PATH VALUE", "sets a value: --wstring T, --string T, --int N, --hex H, --none",
     RunSet},
    {"rm", "FILE PATH", "removes a key and everything below it", RunRemove},
    {"rename", "FILE PATH NAME", "gives a key a new name", RunRename},
    {"protect", "FILE PATH on|off", "sets or clears a key's protected attribute", RunProtect},
};

void PrintUsage(std::FILE* f) {
  std::fprintf(f, "usage: settool COMMAND ARGUMENTS...\ncommands:\n");
  for (const Command& c : kCommands) {
    std::fprintf(f, "  %-6s %-16s %s\n", c.name, c.arguments, c.summary);
  }
  std::fprintf(f,
               "exit status: 0 done, 1 the answer is no or the input was refused, 2 usage or "
               "file errors\n");
}

int Run(std::vector<std::u16string> args) {
  CommandContext ctx{{}, stdin, stdout, stderr};
  if (args.empty()) {
    PrintUsage(ctx.err);
    return kExitError;
  }
  if (args[0] == u"--help" || args[0] == u"-h" || args[0] == u"help") {
    PrintUsage(ctx.out);
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (args[0] == platform::Utf8ToUtf16(c.name)) {
      ctx.args.assign(args.begin() + 1, args.end());
      return c.run(ctx);
    }
  }
  std::fprintf(ctx.err, "settool: unknown command %s\n", ForPeople(args[0]).c_str());
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
  try {
    return Run(make_args());
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
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

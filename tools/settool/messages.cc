#include "tools/settool/messages.h"

#include "platform/utf.h"
#include "store/node.h"
#include "tools/settool/output.h"

namespace orvo::settool {

std::string ForPeople(const std::u16string& s) {
  return platform::Utf16ToUtf8(s, platform::LoneSurrogate::kReplace);
}

std::string MachinePathForPeople(const std::u16string& path) {
#ifdef _WIN32
  return ForPeople(path);
#else
  std::u16string native = path;
  for (char16_t& c : native) {
    if (c == u'\\') c = u'/';
  }
  return ForPeople(native);
#endif
}

const char* OpenErrorText(platform::OpenError error) {
  switch (error) {
    case platform::OpenError::kNone:
      return "no error";
    case platform::OpenError::kNotFound:
      return "no such file";
    case platform::OpenError::kAccessDenied:
      return "access denied";
    case platform::OpenError::kSharingViolation:
      return "the file is in use by another program";
    case platform::OpenError::kInvalidPath:
      return "the path is not valid";
    case platform::OpenError::kNoMemory:
      return "out of memory";
    case platform::OpenError::kLinked:
      return "it is a link (symbolic, or one of several names of one file): refused";
    case platform::OpenError::kNotAFile:
      return "it is not a file (a folder, a pipe or a device): refused";
    case platform::OpenError::kOther:
      break;
  }
  return "the file cannot be opened";
}

int Complain(CommandContext& ctx, const char* command, const std::u16string& file,
             const std::string& why, int code) {
  PrintOut(ctx.err, "settool: %s: %s: %s\n", command, ForPeople(file).c_str(), why.c_str());
  return code;
}

int UsageError(CommandContext& ctx, const char* command, const char* arguments,
               const std::string& why) {
  PrintOut(ctx.err, "settool: %s: %s\nusage: settool %s %s\n", command, why.c_str(), command,
           arguments);
  return kExitError;
}

namespace {

// Sorts ctx.args, in order, into the flags of |flags| (marked in |set|) and
// operands, each handed to |operand|, which returns false once it has
// reported a usage error. "--" ends the options. False, reported, on an
// unknown option.
template <typename OnOperand>
bool SortArguments(CommandContext& ctx, const char* command, const char* arguments,
                   const char* const* flags, bool* set, OnOperand operand) {
  size_t nflags = 0;
  while (flags != nullptr && flags[nflags] != nullptr) set[nflags++] = false;
  bool options_done = false;
  for (const std::u16string& arg : ctx.args) {
    if (!options_done && arg == u"--") {
      options_done = true;
      continue;
    }
    if (!options_done && arg.size() > 1 && arg[0] == u'-') {
      size_t i = 0;
      while (i < nflags && arg != platform::Utf8ToUtf16(flags[i])) ++i;
      if (i == nflags) {
        UsageError(ctx, command, arguments, "unknown option " + ForPeople(arg));
        return false;
      }
      set[i] = true;
      continue;
    }
    if (!operand(arg)) return false;
  }
  return true;
}

}  // namespace

bool ParseFileAndFlags(CommandContext& ctx, const char* command, const char* arguments,
                       const char* const* flags, bool* set, std::u16string* file) {
  bool have_file = false;
  const bool sorted =
      SortArguments(ctx, command, arguments, flags, set, [&](const std::u16string& arg) {
        if (have_file) {
          UsageError(ctx, command, arguments, "one file only (extra: " + ForPeople(arg) + ")");
          return false;
        }
        *file = arg;
        have_file = true;
        return true;
      });
  if (!sorted) return false;
  if (!have_file || file->empty()) {
    UsageError(ctx, command, arguments, "no file given");
    return false;
  }
  return FilePathFits(ctx, command, *file);
}

bool ParseOperandsAndFlags(CommandContext& ctx, const char* command, const char* arguments,
                           const char* const* flags, bool* set, size_t min_operands,
                           size_t max_operands, std::vector<std::u16string>* operands) {
  operands->clear();
  const bool sorted =
      SortArguments(ctx, command, arguments, flags, set, [&](const std::u16string& arg) {
        operands->push_back(arg);
        return true;
      });
  if (!sorted) return false;
  if (operands->empty() || (*operands)[0].empty()) {
    UsageError(ctx, command, arguments, "no file given");
    return false;
  }
  if (operands->size() < min_operands) {
    UsageError(ctx, command, arguments, "too few arguments");
    return false;
  }
  if (operands->size() > max_operands) {
    UsageError(ctx, command, arguments,
               "too many arguments (extra: " + ForPeople((*operands)[max_operands]) + ")");
    return false;
  }
  return FilePathFits(ctx, command, (*operands)[0]);
}

namespace {
bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
}  // namespace

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

std::string ShownPath(const std::u16string& path) {
  return path.empty() ? "the root key" : ForPeople(path);
}

int CheckKeyPath(CommandContext& ctx, const char* command, const char* arguments,
                 const std::u16string& file, const std::u16string& path) {
  size_t start = 0;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end == start) {
      return UsageError(ctx, command, arguments,
                        "empty name in the path " + ForPeople(path) +
                            " (a separator at the start or two in a row)");
    }
    const std::string fault = NameFault(path.substr(start, end - start));
    if (!fault.empty()) {
      return Complain(ctx, command, file,
                      ForPeople(path) + ": invalid name \"" +
                          ForPeople(path.substr(start, end - start)) + "\": " + fault,
                      kExitNo);
    }
    start = end + 1;
  }
  return kExitOk;
}

bool FilePathFits(CommandContext& ctx, const char* command, const std::u16string& file) {
  if (file.size() <= kMaxFileChars) return true;
  Complain(ctx, command, file, "cannot open: the path is longer than 255 characters", kExitError);
  return false;
}

int GiveUpMadeFile(CommandContext& ctx, const char* command, const std::u16string& path,
                   std::unique_ptr<platform::File> created) {
  platform::FileSystem* fs = platform::CurrentFileSystem();
  platform::FileStamp mine, now;
  const bool stamped = created->Stamp(&mine);
  created.reset();
  platform::OpenError error = platform::OpenError::kNone;
  std::unique_ptr<platform::File> again =
      fs->Open(path.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error);
  const bool still_mine = stamped && again && again->Stamp(&now) && now == mine;
  again.reset();
  if (still_mine) fs->Remove(path.c_str());
  return Complain(ctx, command, path,
                  still_mine ? "cannot write the file; nothing is left of it"
                             : "cannot write the file; what is there now is left alone",
                  kExitError);
}

}  // namespace orvo::settool

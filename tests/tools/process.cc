#include "tests/tools/process.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/utf.h"

namespace orvo::testing {

namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path U8Path(const std::string& s) {
  return std::filesystem::path(platform::Utf8ToUtf16(s));
}

#ifdef _WIN32
// Quotes one argument the way the C runtime splits command lines.
std::u16string QuoteArg(const std::u16string& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string::npos) return arg;
  std::u16string out = u"\"";
  size_t slashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    out.append(c == u'"' ? 2 * slashes + 1 : slashes, u'\\');
    slashes = 0;
    out.push_back(c);
  }
  out.append(2 * slashes, u'\\');
  out.push_back(u'"');
  return out;
}

HANDLE InheritableFile(const std::filesystem::path& p, bool write) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  return CreateFileW(p.wstring().c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     0, nullptr);
}
#endif

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input, const std::string& scratch_dir) {
  ProcessResult result;
  const std::filesystem::path dir = U8Path(scratch_dir);
  const std::filesystem::path in_path = dir / "stdin.txt";
  const std::filesystem::path out_path = dir / "stdout.txt";
  const std::filesystem::path err_path = dir / "stderr.txt";
  {
    std::ofstream in(in_path, std::ios::binary | std::ios::trunc);
    in.write(input.data(), static_cast<std::streamsize>(input.size()));
    if (!in) return result;
  }
#ifdef _WIN32
  std::u16string exe = platform::Utf8ToUtf16(program);
  for (char16_t& c : exe) {
    if (c == u'/') c = u'\\';
  }
  std::u16string cmd = QuoteArg(exe);
  for (const std::string& a : args) cmd += u" " + QuoteArg(platform::Utf8ToUtf16(a));
  HANDLE hin = InheritableFile(in_path, false);
  HANDLE hout = InheritableFile(out_path, true);
  HANDLE herr = InheritableFile(err_path, true);
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = hin;
  si.hStdOutput = hout;
  si.hStdError = herr;
  PROCESS_INFORMATION pi = {};
  std::wstring mutable_cmd(cmd.begin(), cmd.end());
  const BOOL ok = CreateProcessW(reinterpret_cast<const wchar_t*>(exe.c_str()), &mutable_cmd[0],
                                 nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(hin);
  CloseHandle(hout);
  CloseHandle(herr);
  if (!ok) return result;
  result.started = true;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  result.exit_code = static_cast<int>(code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
#else
  std::vector<std::string> argv_storage = {program};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_storage) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(127);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.started = true;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  result.out = Slurp(out_path);
  result.err = Slurp(err_path);
  return result;
}

}  // namespace orvo::testing

// Runs a program with its standard input from a string and its output and
// errors captured, for tests of command-line tools.
#ifndef ORVO_TESTS_TOOLS_PROCESS_H_
#define ORVO_TESTS_TOOLS_PROCESS_H_

#include <string>
#include <vector>

namespace orvo::testing {

struct ProcessResult {
  bool started = false;
  int exit_code = -1;
  std::string out;
  std::string err;
};

// |program| and |args| are UTF-8. Temporary files for the streams go into
// |scratch_dir| (UTF-8, must exist).
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input, const std::string& scratch_dir);

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TOOLS_PROCESS_H_

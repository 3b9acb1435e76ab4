// Acting as a second account in native tests run as root: a child process
// that becomes "nobody" (uid and gid 65534, no supplementary groups).
#ifndef ORVO_TESTS_TESTING_AS_NOBODY_H_
#define ORVO_TESTS_TESTING_AS_NOBODY_H_

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace orvo::testing {

constexpr uid_t kNobody = 65534;

// Runs |body| in a child process as nobody, for at most |seconds|; returns
// what it returns (0 to 125), or -1 when it died or ran out of time.
// REQUIRES: the caller is root.
inline int AsNobody(const std::function<int()>& body, unsigned seconds = 10) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    alarm(seconds);  // a body that blocks is killed, and counts as failed
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_AS_NOBODY_H_

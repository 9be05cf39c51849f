#include "support/unprivileged.h"

#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

}  // namespace

std::string unprivileged_tmpdir(const char* tag) {
  // Not under the test folder: that one is private to the user running the suite.
  std::string templ = std::string("/tmp/kelp-") + (tag ? tag : "user") + "-XXXXXX";
  if (!mkdtemp(&templ[0])) return "";
  if (chmod(templ.c_str(), 0755) != 0) return "";
  if (geteuid() == 0 && chown(templ.c_str(), kNobody, kNobody) != 0) return "";
  return templ;
}

int run_unprivileged(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
          setresuid(kNobody, kNobody, kNobody) != 0)
        _exit(254);
    }
    _exit(fn() & 0xFF);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  int code = WEXITSTATUS(status);
  return code == 254 ? -2 : code;
}

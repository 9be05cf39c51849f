// Kelp NOVA: the program. It takes no options.
#include <cstdio>
#include <sys/utsname.h>

#include "base/log.h"
#include "base/version.h"

int main() {
  log_clock();
  log_open(nullptr);
  struct utsname u;
  const char* os = uname(&u) == 0 ? u.sysname : "unknown";
  log_line("main: Kelp NOVA %s for %s", KELP_VERSION_TEXT, os);
  log_line("main: the window is not built yet - nothing more to do");
  log_close();
  return 0;
}

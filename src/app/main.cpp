// Kelp NOVA: the program. It takes no options.
#include "app/shell.h"

#ifdef KELP_SANITIZED
// fontconfig keeps a few bytes from parsing its configuration files and never frees them. Its
// libraries have no frame pointers, so the leak is matched by the library that made it.
// The shell checks for leaks itself, before SDL lets go of the desktop's libraries.
extern "C" const char* __lsan_default_options() {
  return "leak_check_at_exit=0";
}
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libexpat.so\nleak:libdbus-1.so\n";
}
#endif

int main() {
  return shell_run();
}

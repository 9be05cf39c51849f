// Kelp NOVA: the program. It takes no options.
#include "app/shell.h"

int main() {
  return shell_run();
}

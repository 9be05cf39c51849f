// plain_peak: runs a command and writes its peak resident memory (kB) to a file. A process
// reports at least the peak of the process it was started from (the kernel carries the old
// memory's high-water mark across exec), so a benchmark holding big buffers starts this small
// program, and this starts the command being measured.
//
//   plain_peak FILE COMMAND [ARGS...]
//
// Exit: the command's own exit code, 127 when it couldn't start.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: plain_peak FILE COMMAND [ARGS...]\n");
    return 127;
  }
  pid_t pid = fork();
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  if (pid < 0) return 127;
  int status = 0;
  struct rusage ru = {};
  if (wait4(pid, &status, 0, &ru) != pid) return 127;
  FILE* f = fopen(argv[1], "w");
  if (f) {
    fprintf(f, "%ld\n", ru.ru_maxrss);
    fclose(f);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}

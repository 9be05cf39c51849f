// plain_read: reads a file into memory made the way tape chunks are (4 MiB blocks aligned for
// huge pages, fresh from the system) with plain read() calls, then exits. The anchor a sketch's
// opening is measured against: the least a process can do to hold the same bytes.
//
//   plain_read FILE
//
// Exit 0 when every byte arrived, 1 otherwise.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: plain_read FILE\n");
    return 1;
  }
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  const size_t block = size_t{4} << 20;
  std::vector<char*> blocks;
  for (;;) {
    char* b = (char*)platform_block_alloc(block);
    if (!b) return 1;
    blocks.push_back(b);
    size_t got = 0;
    while (got < block) {
      ssize_t r = read(fd, b + got, block - got);
      if (r < 0) {
        perror(argv[1]);
        return 1;
      }
      if (r == 0) break;
      got += (size_t)r;
    }
    if (got < block) break;
  }
  close(fd);
  return 0;
}

#include "support/tmpfs.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

int tmpfs_mount(const std::string& folder, size_t bytes, std::string* why) {
  char opts[64];
  snprintf(opts, sizeof opts, "size=%zu,mode=0777", bytes);
  if (mount("kelp-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts) == 0) return 0;
  int e = errno;
  if (why) {
    char msg[256];
    snprintf(msg, sizeof msg,
             "can't mount a %zu-byte tmpfs on %s (error %d: %s) - these tests need root "
             "(CAP_SYS_ADMIN)",
             bytes, folder.c_str(), e, strerror(e));
    *why = msg;
  }
  return -1;
}

int tmpfs_unmount(const std::string& folder) {
  if (umount2(folder.c_str(), 0) == 0) return 0;
  return umount2(folder.c_str(), MNT_DETACH) == 0 ? 0 : -1;
}

uint64_t tmpfs_free(const std::string& path) {
  struct statvfs v;
  if (statvfs(path.c_str(), &v) != 0) return 0;
  return (uint64_t)v.f_bavail * v.f_frsize;
}

int tmpfs_fill(const std::string& folder, uint64_t leave) {
  std::string path = folder + "/filler";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  std::vector<char> block(4096, 'f');
  while (tmpfs_free(folder) > leave) {
    uint64_t room = tmpfs_free(folder) - leave;
    size_t n = room < block.size() ? (size_t)room : block.size();
    if (write(fd, block.data(), n) <= 0) break;
  }
  close(fd);
  return 0;
}

ScratchVolume::ScratchVolume(size_t bytes, const char* tag) : dir(tag) {
  if (dir.path.empty()) {
    why = "no scratch folder for the tmpfs";
    return;
  }
  path = dir.path + "/mnt";
  mkdir(path.c_str(), 0777);
  mounted = tmpfs_mount(path, bytes, &why) == 0;
}

ScratchVolume::~ScratchVolume() {
  if (mounted) tmpfs_unmount(path);
}

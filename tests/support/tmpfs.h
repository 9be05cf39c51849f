// A small RAM volume for disk-full tests. Mounting needs root (CAP_SYS_ADMIN); when it can't be
// had, the reason says so and the test skips:
//   ScratchVolume vol(2 << 20);
//   if (!vol.mounted) GTEST_SKIP() << vol.why;
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/tmpdir.h"

// Mounts a tmpfs of bytes on folder (which must exist). 0, or -1 with the reason in *why.
int tmpfs_mount(const std::string& folder, size_t bytes, std::string* why);
// Unmounts it (lazily when busy). 0 or -1.
int tmpfs_unmount(const std::string& folder);
// Bytes the user may still write at path.
uint64_t tmpfs_free(const std::string& path);
// Fills the volume holding folder with a file "filler" until at most leave bytes stay free.
// 0, or -1 when the file couldn't be written.
int tmpfs_fill(const std::string& folder, uint64_t leave);

// A mounted tmpfs in a scratch folder for the life of a test.
struct ScratchVolume {
  TmpDir dir;
  std::string path;  // the mount point
  bool mounted = false;
  std::string why;  // why it isn't mounted
  explicit ScratchVolume(size_t bytes = 2u << 20, const char* tag = "vol");
  ~ScratchVolume();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  ScratchVolume(const ScratchVolume&) = delete;
  ScratchVolume& operator=(const ScratchVolume&) = delete;
};

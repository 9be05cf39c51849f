#include "support/tmpdir.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int g_failures = 0;

int open_up(const char* path, const struct stat* st, int type, struct FTW*) {
  // A folder a test made read-only must still be emptied.
  if (type == FTW_D) chmod(path, (st->st_mode & 07777) | S_IRWXU);
  return 0;
}

int remove_one(const char* path, const struct stat*, int type, struct FTW*) {
  int r = (type == FTW_DP || type == FTW_D) ? rmdir(path) : unlink(path);
  if (r != 0) g_failures++;
  return 0;
}

}  // namespace

std::string tmpdir_make(const char* tag) {
  const char* base = getenv("KELP_TEST_TMP");
  std::string root = base && *base ? base : "/tmp";
  mkdir(root.c_str(), 0777);
  std::string templ =
      root + "/kelp-" + (tag ? tag : "test") + "-" + std::to_string(getpid()) + "-XXXXXX";
  if (!mkdtemp(&templ[0])) return "";
  return templ;
}

int tmpdir_remove(const std::string& folder) {
  if (folder.empty() || folder == "/") return -1;
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) return 0;
  // Not a test's folder: a link or a file is only removed itself.
  if (!S_ISDIR(st.st_mode)) return unlink(folder.c_str()) == 0 ? 0 : -1;
  nftw(folder.c_str(), open_up, 16, FTW_PHYS | FTW_MOUNT);
  g_failures = 0;
  nftw(folder.c_str(), remove_one, 16, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
  return g_failures == 0 ? 0 : -1;
}

std::string tmpdir_read(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.append(buf, n);
  fclose(f);
  return r;
}

void tmpdir_write(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

ScratchHome::ScratchHome(const char* tag) : dir(tag), home(dir.path + "/home") {
  for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
    const char* old = getenv(v);
    saved_.emplace_back(v, old ? std::string("=") + old : "");
    unsetenv(v);
  }
  mkdir(home.c_str(), 0755);
  setenv("HOME", home.c_str(), 1);
}

ScratchHome::~ScratchHome() {
  for (auto& [name, value] : saved_) {
    if (value.empty())
      unsetenv(name.c_str());
    else
      setenv(name.c_str(), value.c_str() + 1, 1);
  }
}
